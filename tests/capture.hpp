// Runs the decoder in-process and returns exactly the bytes it wrote.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "output.hpp"
#include "record.hpp"
#include "scan.hpp"

// Everything written to the output since the last call.
inline std::string takeOutput() {
  static int fd = memfd_create("hexlog-test-output", 0);
  outputFd = fd;
  flushOutput();
  std::string result(static_cast<size_t>(lseek(fd, 0, SEEK_CUR)), '\0');
  if (pread(fd, result.data(), result.size(), 0) != static_cast<ssize_t>(result.size()))
    result = "<read failed>";
  if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)
    result = "<reset failed>";
  return result;
}

// Decodes `text` with the given settings, as one call of printOneRecord.
inline std::string decode(const std::string& text, bool verboseMode = false, int32_t start = 24) {
  takeOutput();
  startChars = start;
  verbose = verboseMode;
  printOneRecord(text.c_str());
  startChars = 24;
  verbose = false;
  return takeOutput();
}

// Decodes a whole file holding `bytes`, read in blocks of `bufferSize`.
inline std::string decodeFile(const std::string& bytes, bool verboseMode = false, int32_t start = 24,
                              size_t bufferSize = 1 << 16) {
  takeOutput();
  int fd = memfd_create("hexlog-test-input", 0);
  if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || lseek(fd, 0, SEEK_SET) != 0)
    return "<input failed>";
  std::vector<char> buf(bufferSize);
  startChars = start;
  verbose = verboseMode;
  bool read = scanFile(fd, buf.data(), buf.size());
  startChars = 24;
  verbose = false;
  close(fd);
  return read ? takeOutput() : "<read failed>";
}

// Eight upper-case hexadecimal digits of a word.
inline std::string hex8(uint32_t word) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s(8, '0');
  for (int i = 7; i >= 0; --i, word >>= 4)
    s[static_cast<size_t>(i)] = digits[word & 15];
  return s;
}

// A record text with the default 24-character prefix and a CR LF line end.
inline std::string recordText(uint32_t time, const std::vector<uint32_t>& values) {
  std::string text = "2026/12/08 01:02:03 ABC ";
  text += hex8(time);
  for (uint32_t v : values)
    text += hex8(v);
  return text + "\r\n";
}
