// Buffered standard output for hexlog: records are collected in one large
// buffer and written in big blocks, and a failed write never goes unnoticed.
#pragma once

#include <cstddef>

// Where flushOutput() writes. Standard output unless a test or fuzzer
// points it somewhere else.
extern int outputFd;

// The pending output is [outputBuffer, outputNext).
constexpr size_t kOutputSize = 64 * 1024;
extern char outputBuffer[kOutputSize];
extern char* outputNext;

// The largest room outputReserve() may be asked for.
constexpr size_t kMaxReserve = 256;

// Writes everything pending. On failure prints "hexlog: write error: ..."
// to standard error and ends the process with status 1: a run whose output
// was lost must never look successful.
void flushOutput();

// Room for at least `n` (<= kMaxReserve) bytes at the end of the pending
// output; what is written there counts once outputCommit() gets its end.
inline char* outputReserve(size_t n) {
  if (static_cast<size_t>(outputBuffer + kOutputSize - outputNext) < n)
    flushOutput();
  return outputNext;
}

inline void outputCommit(char* end) {
  outputNext = end;
}

// Appends `n` bytes of any length.
void outputText(const char* text, size_t n);
