// The one walk over a record's windows, which the decoder and the text
// writer's fast path both take, each with a sink of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record.hpp"
#include "vector.hpp"

namespace hexlog {

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

}  // namespace hexlog
