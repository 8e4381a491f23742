// A reading's bits and a value's bytes, taken apart the one way the C
// library defines for any object (memcpy), and a word as a log writes it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

// The object of type To holding the bytes of `from`.
template <typename To, typename From>
To bitCast(const From& from) {
  static_assert(sizeof(To) == sizeof(From) && std::is_trivially_copyable_v<To> && std::is_trivially_copyable_v<From>);
  To to;
  std::memcpy(&to, &from, sizeof to);
  return to;
}

inline uint32_t bitsOf(float value) {
  return bitCast<uint32_t>(value);
}

inline float floatOf(uint32_t bits) {
  return bitCast<float>(bits);
}

// A value's bytes as memory holds them (and a netCDF attribute's values).
template <typename T>
std::string bytesOf(T value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// Eight hexadecimal digits of a word, upper-case unless asked.
inline std::string hex8(uint32_t word, bool lowerCase = false) {
  const char* digits = lowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
  std::string s(8, '0');
  for (int i = 7; i >= 0; --i, word >>= 4)
    s[static_cast<size_t>(i)] = digits[word & 15];
  return s;
}
