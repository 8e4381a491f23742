#include "text.hpp"

#include <cstring>

#include "names.hpp"
#include "vector.hpp"
#include "walk.hpp"

namespace hexlog {

namespace {

// Room for one printed value: a name column and tab, the number, CR LF.
constexpr size_t kValueRoom = kNameColumn + 1 + kMaxValueText + 2;
static_assert(kValueRoom <= Output::kMaxReserve);

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
    char row[kNameRoom];
    std::memcpy(o, paddedName(k, row), kNameColumn + 1);
    o += kNameColumn + 1;
    o = formatValue(o, word);
    std::memcpy(o, "\r\n", 2);
    o += 2;
    return true;
  }
  // Values 0 to n - 1.
  bool values(const uint32_t* words, size_t n) {
    size_t named = n < kFieldCount ? n : kFieldCount;
    if (vectors)
      o = formatVerboseValues(out.keepRoom(o, named * kVerboseValueRoom), words, named, paddedNames());
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

}  // namespace

void TextWriter::printOneRecord(const char* text, size_t length) {
  if (verbose_) {
    VerboseText sink{out_, vectors_, dates_};
    walkRecord(text, length, startChars_, vectors_, sink);
    endText(out_, sink.o);
  } else {
    PlainText sink{out_, vectors_};
    walkRecord(text, length, startChars_, vectors_, sink);
    endText(out_, sink.o);
  }
}

void TextWriter::put(const Record& record) {
  if (verbose_) {
    VerboseText sink{out_, vectors_, dates_};
    sink.time(record.time, true);
    sink.values(record.words, record.count);
    endText(out_, sink.o);
  } else {
    PlainText sink{out_, vectors_};
    sink.time(record.time, true);
    sink.values(record.words, record.count);
    endText(out_, sink.o);
  }
}

}  // namespace hexlog
