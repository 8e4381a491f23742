// A 64-bit hash of bytes, to tell that what is read again is what was read:
// each 16 bytes are multiplied, 64 by 64 bits into 128, and folded into the
// state, so a change of any bit spreads through every later one and no sum
// of changes cancels (a running sum of words is fooled by +d, -2d, +d).
//
//   state = fold((bytes[0..8) ^ k0) * (bytes[8..16) ^ state))
//   fold(x) = low 64 bits of x ^ high 64 bits of x
//
// Not a cryptographic hash: it guards against files written over while
// they are read, not against an adversary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace hexlog {

class Hash {
 public:
  void add(const void* data, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (; n >= 16; p += 16, n -= 16)
      step(load(p), load(p + 8));
    uint64_t tail[2] = {0, 0};
    if (n > 0)
      std::memcpy(tail, p, n);
    step(tail[0] ^ n, tail[1] ^ kTail);
  }
  void add(uint64_t value) { step(value, kNumber); }
  uint64_t value() const { return fold(state_ ^ kFinal, state_ ^ kTail); }

 private:
  static constexpr uint64_t kStart = 0x2D358DCCAA6C78A5u;
  static constexpr uint64_t kBlock = 0x8BB84B93962EACC9u;
  static constexpr uint64_t kTail = 0x4B33A62ED433D4A3u;
  static constexpr uint64_t kNumber = 0x4D5A2DA51DE1AA47u;
  static constexpr uint64_t kFinal = 0xA0761D6478BD642Fu;

  static uint64_t load(const unsigned char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
  }
  __extension__ typedef unsigned __int128 Wide;
  static uint64_t fold(uint64_t a, uint64_t b) {
    Wide product = static_cast<Wide>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
  }
  void step(uint64_t a, uint64_t b) { state_ = fold(a ^ kBlock, b ^ state_) ^ a; }

  uint64_t state_ = kStart;
};

}  // namespace hexlog
