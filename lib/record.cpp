#include "record.hpp"

#include <cctype>
#include <cstdlib>

#include "walk.hpp"

namespace hexlog {

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

int32_t parseStartChars(const char* s) {
  while (std::isspace(static_cast<unsigned char>(*s)))
    ++s;
  bool negative = *s == '-';
  if (*s == '+' || *s == '-')
    ++s;
  int64_t value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*s)) && value <= INT32_MAX; ++s)
    value = value * 10 + (*s - '0');
  if (negative)
    return value > -static_cast<int64_t>(INT32_MIN) ? INT32_MIN : static_cast<int32_t>(-value);
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

namespace {

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

}  // namespace

void Decoder::decode(const char* text, size_t length, uint64_t line) {
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
  record.flags = nullptr;
  ++decoded;
  records->put(record);
}

}  // namespace hexlog
