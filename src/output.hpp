// Buffered standard output for hexlog: records are collected in one large
// buffer and written in big blocks, and a failed write never goes unnoticed.
#pragma once

#include <cstddef>

// Where flushOutput() writes. Standard output unless a test or fuzzer
// points it somewhere else.
extern int outputFd;

// The largest reservation outputReserve() grants.
constexpr size_t kMaxReserve = 256;

// Returns room for at least `n` (<= kMaxReserve) bytes at the end of the
// pending output, flushing first when the buffer is too full. Bytes written
// there count once outputCommit() is given the end of what was written.
char* outputReserve(size_t n);
void outputCommit(char* end);

// Appends `n` bytes of any length.
void outputText(const char* text, size_t n);

// Writes everything pending. On failure prints "hexlog: write error: ..."
// to standard error and ends the process with status 1: a run whose output
// was lost must never look successful.
void flushOutput();
