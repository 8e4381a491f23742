#include "record.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format.hpp"
#include "output.hpp"
#include "scan.hpp"
#include "vector.hpp"

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

// Each name padded to the 24-column name field, then the tab, in rows of
// kNameRoom bytes that the vector path copies whole.
constexpr size_t kNameColumn = 24;
static_assert(kNameColumn + 1 <= kNameRoom);
struct PaddedNames {
  char text[kFieldCount][kNameRoom] = {};
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

namespace {

// Windows in a piece of at most 1023 characters: 127 and a part.
constexpr size_t kMaxWindows = 128;

// The one walk over a record's words, whatever the format: the time word
// at startChars, then each value word for as long as its window begins with
// a hexadecimal digit. The sink takes the time first, then the values, one
// by one or many at once; it returns false to stop the walk.
//
// With vectors the windows that hold eight hexadecimal digits each, from
// the time word on, are converted in one go; the first window that does
// not, and all after it, take the window-by-window path, so an odd record
// decodes exactly as it always has.
template <typename Sink>
inline void walkRecord(const char* text, size_t length, Sink& sink) {
  const char* end = text + length;
  // A prefix that reaches outside the text leaves no time word: pointing at
  // the terminating NUL gives time 0 and no values, and reads nothing more.
  const char* pos = end;
  if (startChars >= 0 && static_cast<size_t>(startChars) <= length)
    pos = text + startChars;
  size_t left = static_cast<size_t>(end - pos);
  size_t k = 0;
  size_t clean = 0;
  if (useVectors) {
    uint32_t words[kMaxWindows + 4];
    clean = convertCleanWindows(pos, left, words, kMaxWindows);
    if (clean > 0) {
      sink.time(static_cast<int32_t>(words[0]));
      if (clean > 1 && !sink.values(words + 1, clean - 1))
        return;
      k = clean - 1;  // the next value's index; pos stays at the last clean window
      pos += 8 * k;
      left -= 8 * k;
    }
  }
  if (clean == 0)
    sink.time(static_cast<int32_t>(left >= 8 ? wholeWindow(pos) : getHexLong(pos)));
  // Remaining lengths, not pointers, are compared, so that no pointer is
  // ever formed beyond the end of the text.
  for (; left > 8 && isHexDigit(pos[8]); left -= 8, ++k) {
    pos += 8;
    if (!sink.value(k, left >= 16 ? wholeWindow(pos) : getHexLong(pos)))
      return;
  }
}

struct PlainText {
  char* o;
  void time(int32_t time) { o = formatInt(outputReserve(kValueRoom), time); }
  bool value(size_t, uint32_t word) {
    o = outputKeepRoom(o, kValueRoom);
    std::memcpy(o, ", ", 2);
    o = formatValue(o + 2, word);
    return true;
  }
  bool values(const uint32_t* words, size_t n) {
    o = formatPlainValues(outputKeepRoom(o, n * kPlainValueRoom), words, n);
    return true;
  }
};

struct VerboseText {
  char* o;
  void time(int32_t time) {
    o = formatDate(outputReserve(kValueRoom), time);
    std::memcpy(o, "\r\n", 2);
    o += 2;
  }
  bool value(size_t k, uint32_t word) {
    o = outputKeepRoom(o, kValueRoom);
    o = printName(o, k);
    o = formatValue(o, word);
    std::memcpy(o, "\r\n", 2);
    o += 2;
    return true;
  }
  // Values 0 to n - 1.
  bool values(const uint32_t* words, size_t n) {
    size_t named = n < kFieldCount ? n : kFieldCount;
    o = formatVerboseValues(outputKeepRoom(o, named * kVerboseValueRoom), words, named, kPaddedNames.text);
    for (size_t k = named; k < n; ++k)
      value(k, words[k]);
    return true;
  }
};

struct Collector {
  Record& record;
  bool cut = false;
  void time(int32_t time) {
    record.time = time;
    record.count = 0;
  }
  bool value(size_t k, uint32_t word) {
    cut = k == kFieldCount;
    if (cut)
      return false;
    record.words[k] = word;
    record.count = static_cast<int>(k) + 1;
    return true;
  }
  bool values(const uint32_t* words, size_t n) {
    cut = n > kFieldCount;
    record.count = static_cast<int>(cut ? kFieldCount : n);
    std::memcpy(record.words, words, static_cast<size_t>(record.count) * sizeof *words);
    return !cut;
  }
};

// Every record ends in CR LF.
void endText(char* o) {
  o = outputKeepRoom(o, 2);
  std::memcpy(o, "\r\n", 2);
  outputCommit(o + 2);
}

struct ColumnNames {
  char longName[kFieldCount][kNameColumn + 1];
  char text[kFieldCount][kNameColumn + 1];
  ColumnNames() {
    for (int k = 0; k < kFieldCount; ++k) {
      std::strcpy(longName[k], std::strcmp(fields[k], "AirPumpOff Humdity") == 0 ? "AirPumpOff Humidity" : fields[k]);
      std::strcpy(text[k], longName[k]);
      for (char* c = text[k]; *c != '\0'; ++c)
        if (*c == ' ')
          *c = '_';
    }
  }
};
const ColumnNames kColumnNames;

}  // namespace

void (*recordWriter)(const Record& record) = nullptr;
unsigned long long cutRecords = 0;
const char* firstCutName = nullptr;
unsigned long long firstCutLine = 0;

const char* columnName(int k) {
  return kColumnNames.text[k];
}

const char* longName(int k) {
  return kColumnNames.longName[k];
}

void printOneRecord(const char* text) {
  printOneRecord(text, std::strlen(text));
}

void printOneRecord(const char* text, size_t length) {
  if (recordWriter != nullptr) {
    Record record;
    Collector collector{record};
    walkRecord(text, length, collector);
    if (collector.cut && cutRecords++ == 0) {
      firstCutName = inputName;
      firstCutLine = inputLine;
    }
    recordWriter(record);
  } else if (verbose) {
    VerboseText sink{nullptr};
    walkRecord(text, length, sink);
    endText(sink.o);
  } else {
    PlainText sink{nullptr};
    walkRecord(text, length, sink);
    endText(sink.o);
  }
}
