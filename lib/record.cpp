#include "record.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format.hpp"

namespace hexlog {

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
static_assert(kValueRoom <= Output::kMaxReserve);

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

// Whether the eight characters at `p` are eight hexadecimal digits, and
// then their word. They are tested and converted together, as the bytes of
// one 64-bit word.
inline bool cleanWindow(const char* p, uint32_t& word) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHigh = 0x80 * kOnes;
  uint64_t x;
  std::memcpy(&x, p, sizeof x);  // p[0] in the lowest byte
  if ((x & kHigh) != 0)
    return false;
  // With every byte below 0x80, byte + (0x80 - m) sets its own high bit
  // exactly when byte >= m, and never carries into the next byte.
  uint64_t lower = x | 0x20 * kOnes;
  uint64_t digit = (x + 0x50 * kOnes) & ~(x + 0x46 * kOnes);           // '0' <= c <= '9'
  uint64_t letter = (lower + 0x1F * kOnes) & ~(lower + 0x19 * kOnes);  // 'a' <= c|0x20 <= 'f'
  if (((digit | letter) & kHigh) != kHigh)
    return false;
  // Digits keep their low nibble; letters (bit 6 set) add 9 to it.
  uint64_t v = (x & 0x0F * kOnes) + 9 * (x >> 6 & kOnes);
  v = (v & 0x00FF00FF00FF00FFu) << 4 | (v >> 8 & 0x00FF00FF00FF00FFu);  // digit pairs to bytes
  v = (v | v >> 8) & 0x0000FFFF0000FFFFu;
  v = (v | v >> 16) & 0xFFFFFFFFu;  // first byte lowest
  word = __builtin_bswap32(static_cast<uint32_t>(v));
  return true;
#else
  for (int i = 0; i < 8; ++i)
    if (!isHexDigit(p[i]))
      return false;
  word = getHexLong(p);
  return true;
#endif
}

// Anything but eight plain digits takes the general path.
inline uint32_t wholeWindow(const char* p) {
  uint32_t word;
  return cleanWindow(p, word) ? word : getHexLong(p);
}

}  // namespace

uint32_t getWholeWindow(const char* p) {
  return wholeWindow(p);
}

namespace {

// The one walk over a record's words, whatever the format: the time word
// at startChars, then each value word for as long as its window begins with
// a hexadecimal digit. The sink takes the time first, then the values, one
// by one or many at once, each with whether its window held eight
// hexadecimal digits (`clean`); it returns false to stop the walk.
//
// With vectors the windows that hold eight hexadecimal digits each, from
// the time word on, are converted in one go; the first window that does
// not, and all after it, take the window-by-window path, so an odd record
// decodes exactly as it always has.
template <typename Sink>
inline void walkRecord(const char* text, size_t length, int32_t startChars, bool vectors, Sink& sink) {
  const char* end = text + length;
  // A prefix that reaches outside the text leaves no time word: pointing at
  // the terminating NUL gives time 0 and no values, and reads nothing more.
  const char* pos = end;
  if (startChars >= 0 && static_cast<size_t>(startChars) <= length)
    pos = text + startChars;
  size_t left = static_cast<size_t>(end - pos);
  size_t k = 0;
  size_t clean = 0;
  if (vectors) {
    uint32_t words[kMaxWindows + 4];
    clean = convertCleanWindows(pos, left, words, kMaxWindows);
    if (clean > 0) {
      if (!sink.time(static_cast<int32_t>(words[0]), true))
        return;
      if (clean > 1 && !sink.values(words + 1, clean - 1))
        return;
      k = clean - 1;  // the next value's index; pos stays at the last clean window
      pos += 8 * k;
      left -= 8 * k;
    }
  }
  if (clean == 0) {
    uint32_t word;
    bool whole = left >= 8 && cleanWindow(pos, word);
    if (!sink.time(static_cast<int32_t>(whole ? word : getHexLong(pos)), whole))
      return;
  }
  // Remaining lengths, not pointers, are compared, so that no pointer is
  // ever formed beyond the end of the text.
  for (; left > 8 && isHexDigit(pos[8]); left -= 8, ++k) {
    pos += 8;
    uint32_t word;
    bool whole = left >= 16 && cleanWindow(pos, word);
    if (!sink.value(k, whole ? word : getHexLong(pos), whole))
      return;
  }
}

struct PlainText {
  Output& out;
  bool vectors;
  char* o = nullptr;
  bool time(int32_t time, bool) {
    o = formatInt(out.reserve(kValueRoom), time);
    return true;
  }
  bool value(size_t, uint32_t word, bool) {
    o = out.keepRoom(o, kValueRoom);
    std::memcpy(o, ", ", 2);
    o = formatValue(o + 2, word);
    return true;
  }
  bool values(const uint32_t* words, size_t n) {
    if (!vectors) {
      for (size_t k = 0; k < n; ++k)
        value(k, words[k], true);
      return true;
    }
    o = formatPlainValues(out.keepRoom(o, n * kPlainValueRoom), words, n);
    return true;
  }
};

struct VerboseText {
  Output& out;
  bool vectors;
  DayCache& dates;
  char* o = nullptr;
  bool time(int32_t time, bool) {
    o = formatDate(out.reserve(kValueRoom), time, dates);
    std::memcpy(o, "\r\n", 2);
    o += 2;
    return true;
  }
  bool value(size_t k, uint32_t word, bool) {
    o = out.keepRoom(o, kValueRoom);
    o = printName(o, k);
    o = formatValue(o, word);
    std::memcpy(o, "\r\n", 2);
    o += 2;
    return true;
  }
  // Values 0 to n - 1.
  bool values(const uint32_t* words, size_t n) {
    size_t named = n < kFieldCount ? n : kFieldCount;
    if (vectors)
      o = formatVerboseValues(out.keepRoom(o, named * kVerboseValueRoom), words, named, kPaddedNames.text);
    else
      named = 0;
    for (size_t k = named; k < n; ++k)
      value(k, words[k], true);
    return true;
  }
};

// Every record ends in CR LF.
void endText(Output& out, char* o) {
  o = out.keepRoom(o, 2);
  std::memcpy(o, "\r\n", 2);
  out.commit(o + 2);
}

// Collects a record whole, under the field rules or not.
struct Collector {
  Record& record;
  bool fieldRules;
  bool cut = false;
  bool notRecord = false;
  bool time(int32_t time, bool clean) {
    notRecord = fieldRules && !clean;
    record.time = time;
    record.count = 0;
    record.missing = 0;
    return !notRecord;
  }
  bool value(size_t k, uint32_t word, bool clean) {
    cut = fieldRules && k == kFieldCount;
    if (cut)
      return false;
    if (fieldRules && !clean) {
      record.missing |= uint32_t{1} << k;
      word = 0;
    }
    record.words[k] = word;
    record.count = static_cast<uint32_t>(k) + 1;
    return true;
  }
  bool values(const uint32_t* words, size_t n) {
    cut = fieldRules && n > kFieldCount;
    record.count = static_cast<uint32_t>(cut ? kFieldCount : n);
    std::memcpy(record.words, words, record.count * sizeof *words);
    return !cut;
  }
};

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

const char* columnName(int k) {
  return kColumnNames.text[k];
}

const char* longName(int k) {
  return kColumnNames.longName[k];
}

void printRecordText(Output& out, const Record& record, bool verbose, bool vectors) {
  if (verbose) {
    DayCache dates;
    VerboseText sink{out, vectors, dates};
    sink.time(record.time, true);
    sink.values(record.words, record.count);
    endText(out, sink.o);
  } else {
    PlainText sink{out, vectors};
    sink.time(record.time, true);
    sink.values(record.words, record.count);
    endText(out, sink.o);
  }
}

void Decoder::printOneRecord(const char* text) {
  printOneRecord(text, std::strlen(text), 0);
}

void Decoder::printOneRecord(const char* text, size_t length, uint64_t line) {
  if (records != nullptr) {
    Record record;
    Collector collector{record, fieldRules};
    walkRecord(text, length, startChars, vectors, collector);
    if (collector.notRecord) {
      if (tally != nullptr)
        tally->note(Event::kNotRecord, file, line);
      return;
    }
    if (collector.cut && tally != nullptr)
      tally->note(Event::kCut, file, line);
    if (record.missing != 0 && tally != nullptr)
      tally->note(Event::kMissing, file, line, static_cast<uint64_t>(__builtin_popcount(record.missing)));
    record.file = file;
    record.line = line;
    record.text = text;
    record.length = length;
    records->put(record);
    return;
  }
  if (verbose) {
    VerboseText sink{*this->text, vectors, dates_};
    walkRecord(text, length, startChars, vectors, sink);
    endText(*this->text, sink.o);
  } else {
    PlainText sink{*this->text, vectors};
    walkRecord(text, length, startChars, vectors, sink);
    endText(*this->text, sink.o);
  }
  ++tally->counts(file).written;
}

}  // namespace hexlog
