// Plain and verbose text, the tool's own output, in one unit with its two
// paths:
//
//   printOneRecord(text)  the fast path: a record line decoded and printed
//                         in one walk over its windows, nothing held
//   put(record)           the general path: a record the stage held (time
//                         order, a window) printed from its words
//
// Both write exactly the bytes the C library's printf("%ld"), ", %.3hf",
// asctime(gmtime()) and puts("\r") would; tests hold one against the other.
//
//   plain:    1781395220, 396.207, 16.770<CR><LF>
//   verbose:  Sun Jun 14 00:00:20 2026<LF><CR><LF>
//             EquilPumpOn pCO2        <TAB>396.207<CR><LF>
//             ...
//             <CR><LF>
#pragma once

#include <cstddef>
#include <cstdint>

#include "format.hpp"
#include "output.hpp"
#include "writer.hpp"

namespace hexlog {

class TextWriter : public Writer {
 public:
  // Skips `startChars` characters of each line before the time word
  // (printOneRecord); labelled blocks when `verbose`; the vector path with
  // `vectors`.
  TextWriter(Output& out, int32_t startChars, bool verbose, bool vectors)
      : out_(out), startChars_(startChars), verbose_(verbose), vectors_(vectors) {}

  void begin(const Dataset&) override {}
  // Decodes the record text of `length` characters (NUL-terminated there)
  // and prints it.
  void printOneRecord(const char* text, size_t length);
  void put(const Record& record) override;

 private:
  Output& out_;
  int32_t startChars_;
  bool verbose_;
  bool vectors_;
  DayCache dates_;
};

}  // namespace hexlog
