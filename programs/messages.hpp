// What the hexlog tool says of itself and of a run: the usage and help, the
// option and file failures, the run's failure in one line, the notices and
// the --summary table. Each way of failing says one line. What is said in
// or after a run erases the progress line first.
#pragma once

#include <cstdio>

#include "hexlog/hexlog.hpp"

// Where "Cannot open file" and its like go: standard output, as the records
// do, unless the records go somewhere else.
extern bool messagesToStderr;

// Text of the tool's own on standard output (the usage), through stdio:
// `status`, or 1 when it could not be written.
int printed(int status);
void printUsage(const char* name);
// The usage and the long options.
void printHelp(const char* name);
void printVersion();

// What getopt itself would have said of a short option; opterr is off so
// that long options get messages of their own.
void shortOptionMessage(const char* name, int option);
// A long option getopt_long refused (`option` its value, 0 if unknown);
// returns the exit status.
int longOptionFailed(const char* argument, int option);

// A bad combination of options: one line, before anything is read.
template <typename... Values>
bool failed(const char* format, Values... values) {
  std::fprintf(stderr, "hexlog: ");
  std::fprintf(stderr, format, values...);
  std::fprintf(stderr, "\n");
  return false;
}

// "Cannot open file NAME" and its like: after the records of the files
// before, on standard output as described, or on standard error when the
// records go elsewhere. Returns the exit status.
int fileFailed(hexlog::Run& run, const char* what, const char* name, int error);
// The run's failure, said in one line; `outputName` is --output's FILE, if
// any. Returns the exit status.
int runFailed(const hexlog::Run& run, const char* outputName);

// One line on standard error for each kind of line or record that was not
// written as it stood, naming the first.
void printNotices(const hexlog::Tally& tally);
// --summary: a tab-separated table of what became of each file's lines.
void printSummary(const hexlog::Tally& tally);

// Memory that ran out in the tool or the library, even where no exception
// can be made any more: the run ends here, FILE as it was.
[[noreturn]] void outOfMemory();
// The tool's own memory that ran out, caught (the library says so itself):
// FILE as it was; returns the exit status.
int outOfMemoryCaught();
