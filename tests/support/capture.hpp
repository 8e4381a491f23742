// Runs the decoder in-process and returns exactly the bytes it wrote.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bits.hpp"
#include "csv.hpp"
#include "output.hpp"
#include "record.hpp"
#include "scan.hpp"
#include "text.hpp"

using namespace hexlog;

// Whether decode() and decodeFile() take the vector path: tests switch it
// to hold both paths to the same bytes.
inline bool captureVectors = vectorsAvailable();

// The memory file that decoders in tests write to.
inline int captureFd() {
  static int fd = memfd_create("hexlog-test-output", 0);
  return fd;
}

// Everything the decoder wrote to the memory file.
inline std::string takeOutput(Output& out) {
  int fd = captureFd();
  out.flush();
  std::string result(static_cast<size_t>(lseek(fd, 0, SEEK_CUR)), '\0');
  if (pread(fd, result.data(), result.size(), 0) != static_cast<ssize_t>(result.size()))
    result = "<read failed>";
  if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)
    result = "<reset failed>";
  return result;
}

// The text writer of plain or verbose text, and its output.
struct Captured : PieceSink {
  Output out;
  TextWriter writer;
  Captured(bool verboseMode, int32_t start) : out(captureFd()), writer(out, start, verboseMode, captureVectors) {}
  void record(const char* text, size_t length, uint64_t) override { writer.printOneRecord(text, length); }
  void tooShort(uint64_t) override {}
  void beforeWait() override {}
  bool stopped() override { return false; }
};

// Decodes `text` with the given settings, as one call of printOneRecord.
inline std::string decode(const std::string& text, bool verboseMode = false, int32_t start = 24) {
  auto captured = std::make_unique<Captured>(verboseMode, start);
  captured->writer.printOneRecord(text.c_str(), text.size());
  return takeOutput(captured->out);
}

// Decodes `text` as one csv row (no header).
inline std::string decodeCsv(const std::string& text, int32_t start = 24) {
  auto out = std::make_unique<Output>(captureFd());
  Counter tally;
  CsvWriter csv(*out, false, captureVectors, nullptr);
  Decoder decoder;
  decoder.startChars = start;
  decoder.vectors = captureVectors;
  decoder.fieldRules = true;
  decoder.records = &csv;
  decoder.tally = &tally;
  decoder.file = tally.addInput("test");
  decoder.decode(text.c_str(), std::strlen(text.c_str()), 0);
  return takeOutput(*out);
}

// A memory file holding `bytes`, to be read from its start; -1 if it
// cannot be made.
inline int memoryFile(const std::string& bytes) {
  int fd = memfd_create("hexlog-test-input", 0);
  if (fd >= 0 &&
      (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || lseek(fd, 0, SEEK_SET) != 0)) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// Decodes a whole file holding `bytes`, read in blocks of `bufferSize`.
inline std::string decodeFile(const std::string& bytes, bool verboseMode = false, int32_t start = 24,
                              size_t bufferSize = 1 << 16) {
  int fd = memoryFile(bytes);
  if (fd < 0)
    return "<input failed>";
  std::vector<char> buf(bufferSize);
  auto captured = std::make_unique<Captured>(verboseMode, start);
  bool read = scanFile(fd, buf.data(), buf.size(), captureVectors, *captured);
  close(fd);
  return read ? takeOutput(captured->out) : "<read failed>";
}
