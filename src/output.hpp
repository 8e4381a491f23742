// Buffered output for hexlog: records are collected in one large buffer and
// written in big blocks, and a failed write never goes unnoticed.
#pragma once

#include <cstddef>

// Where flushOutput() writes: standard output, the temporary file behind
// --output, or whatever a test or fuzzer points it at.
extern int outputFd;

// The pending output is [outputBuffer, outputNext).
constexpr size_t kOutputSize = 64 * 1024;
extern char outputBuffer[kOutputSize];
extern char* outputNext;

// The largest room outputReserve() may be asked for.
constexpr size_t kMaxReserve = 8192;

// Writes everything pending. On failure prints "hexlog: write error: ..."
// to standard error, removes an unfinished output file and ends the process
// with status 1: a run whose output was lost must never look successful.
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

// For a writer that holds `o` from outputReserve(): `o` itself while at
// least `n` bytes are free behind it, else the pending output up to `o` is
// committed and fresh room reserved.
inline char* outputKeepRoom(char* o, size_t n) {
  if (static_cast<size_t>(outputBuffer + kOutputSize - o) >= n)
    return o;
  outputCommit(o);
  return outputReserve(n);
}

// Appends `n` bytes of any length.
void outputText(const char* text, size_t n);

// --output: sends the output to a new temporary file beside `path`, which
// replaces `path` only when finishOutputFile() is reached. On failure prints
// why on standard error and returns false.
bool startOutputFile(const char* path);
// The temporary file's name while one is open, for writers that open it
// again through a library; nullptr otherwise.
const char* outputFileName();
// Flushes and moves the finished file into place. Ends the process with
// status 1, the file removed, if that fails.
void finishOutputFile();
// Removes an unfinished output file, so a failed run leaves nothing behind.
void discardOutputFile();
