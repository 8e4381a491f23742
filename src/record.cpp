#include "record.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format.hpp"
#include "output.hpp"

int32_t startChars = 24;
bool verbose = false;

const char* const fields[kFieldCount] = {
    "EquilPumpOn pCO2",         "EquilPumpOn Temp",     "EquilPumpOn Pressure",
    "EquilPumpOff pCO2",        "EquilPumpOff Temp",    "EquilPumpOff Pressure",
    "EquilPumpOff Humidity",    "ZeroPumpOn pCO2",      "ZeroPumpOn Temp",
    "ZeroPumpOn Pressure",      "ZeroPumpOff pCO2",     "ZeroPumpOff Temp",
    "ZeroPumpOff Pressure",     "AirPumpOn pCO2",       "AirPumpOn Temp",
    "AirPumpOn Pressure",       "AirPumpOff pCO2",      "AirPumpOff Temp",
    "AirPumpOff Pressure",      "AirPumpOff Humdity",   "StandardFlowOn Pressure",
    "StandardFlowOff pCO2",     "StandardFlowOff Temp", "StandardFlowOff Pressure",
    "StandardFlowOff Humidity", "Durafet pH 1",         "Durafet pH 2",
    "Durafet pH 3",             "Durafet pH 4",         "Durafet pH 5",
    "Durafet pH 6",             "Can Humidity",
};

namespace {

// isxdigit() in the C locale.
bool isHexDigit(char c) {
  unsigned u = static_cast<unsigned char>(c);
  return u - '0' < 10 || (u | 0x20) - 'a' < 6;
}

}  // namespace

uint32_t getHexLong(const char* p) {
  // The copy keeps strtoll from reading beyond the window.
  char window[9];
  size_t n = 0;
  while (n < 8 && p[n] != '\0') {
    window[n] = p[n];
    ++n;
  }
  window[n] = '\0';
  // strtoll, not strtol: eight digits must not clamp where long has 32 bits.
  long long value = std::strtoll(window, nullptr, 16);
  return static_cast<uint32_t>(static_cast<unsigned long long>(value));
}

namespace {

// Each name padded to the 24-column name field, then the tab.
constexpr size_t kNameColumn = 24;
struct PaddedNames {
  char text[kFieldCount][kNameColumn + 1];
  PaddedNames() {
    for (int k = 0; k < kFieldCount; ++k) {
      std::memset(text[k], ' ', kNameColumn);
      std::memcpy(text[k], fields[k], std::strlen(fields[k]));
      text[k][kNameColumn] = '\t';
    }
  }
};
const PaddedNames kPaddedNames;

// Room for one printed value: a name column and tab, the number, CR LF.
constexpr size_t kValueRoom = kNameColumn + 1 + kMaxValueText + 2;
static_assert(kValueRoom <= kMaxReserve);

char* printName(char* o, size_t k) {
  if (k < kFieldCount) {
    std::memcpy(o, kPaddedNames.text[k], kNameColumn + 1);
    return o + kNameColumn + 1;
  }
  char name[kNameColumn + 1];
  int length = std::snprintf(name, sizeof name, "Reading %zu", k + 1);
  std::memset(o, ' ', kNameColumn);
  std::memcpy(o, name, static_cast<size_t>(length));
  o[kNameColumn] = '\t';
  return o + kNameColumn + 1;
}

}  // namespace

namespace {

// The eight characters are tested and converted together, as the bytes of
// one 64-bit word; anything but eight plain digits takes the general path.
inline uint32_t wholeWindow(const char* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHigh = 0x80 * kOnes;
  uint64_t x;
  std::memcpy(&x, p, sizeof x);  // p[0] in the lowest byte
  if ((x & kHigh) == 0) {
    // With every byte below 0x80, byte + (0x80 - m) sets its own high bit
    // exactly when byte >= m, and never carries into the next byte.
    uint64_t lower = x | 0x20 * kOnes;
    uint64_t digit = (x + 0x50 * kOnes) & ~(x + 0x46 * kOnes);              // '0' <= c <= '9'
    uint64_t letter = (lower + 0x1F * kOnes) & ~(lower + 0x19 * kOnes);     // 'a' <= c|0x20 <= 'f'
    if (((digit | letter) & kHigh) == kHigh) {
      // Digits keep their low nibble; letters (bit 6 set) add 9 to it.
      uint64_t v = (x & 0x0F * kOnes) + 9 * (x >> 6 & kOnes);
      v = (v & 0x00FF00FF00FF00FFu) << 4 | (v >> 8 & 0x00FF00FF00FF00FFu);  // digit pairs to bytes
      v = (v | v >> 8) & 0x0000FFFF0000FFFFu;
      v = (v | v >> 16) & 0xFFFFFFFFu;                                       // first byte lowest
      return __builtin_bswap32(static_cast<uint32_t>(v));
    }
  }
  return getHexLong(p);
#else
  return getHexLong(p);
#endif
}

}  // namespace

uint32_t getWholeWindow(const char* p) {
  return wholeWindow(p);
}

void printOneRecord(const char* text) {
  printOneRecord(text, std::strlen(text));
}

void printOneRecord(const char* text, size_t length) {
  const char* end = text + length;
  // A prefix that reaches outside the text leaves no time word: pointing at
  // the terminating NUL prints time 0 and no values, and reads nothing more.
  const char* pos = end;
  if (startChars >= 0 && static_cast<size_t>(startChars) <= length)
    pos = text + startChars;

  size_t left = static_cast<size_t>(end - pos);
  int32_t time = static_cast<int32_t>(left >= 8 ? wholeWindow(pos) : getHexLong(pos));
  char* o = outputReserve(kValueRoom);
  if (verbose) {
    o = formatDate(o, time);
    std::memcpy(o, "\r\n", 2);
    o += 2;
  } else {
    o = formatInt(o, time);
  }
  outputCommit(o);

  // Remaining lengths, not pointers, are compared, so that no pointer is
  // ever formed beyond the end of the text.
  size_t k = 0;
  for (; left > 8 && isHexDigit(pos[8]); left -= 8, ++k) {
    pos += 8;
    o = outputKeepRoom(o, kValueRoom);
    uint32_t word = left >= 16 ? wholeWindow(pos) : getHexLong(pos);
    if (verbose) {
      o = printName(o, k);
      o = formatValue(o, word);
      std::memcpy(o, "\r\n", 2);
      o += 2;
    } else {
      std::memcpy(o, ", ", 2);
      o = formatValue(o + 2, word);
    }
  }
  outputCommit(o);
  o = outputReserve(2);
  std::memcpy(o, "\r\n", 2);
  outputCommit(o + 2);
}
