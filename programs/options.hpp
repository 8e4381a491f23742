// The command line of the hexlog tool: its long options and their help,
// the settings they ask for, -s's number, and the line itself as the
// archive formats' history keeps it.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <string>

#include "hexlog/hexlog.hpp"
#include "progress.hpp"

// Long options only: a new short option would change how existing command
// lines are read ("-s -x" and "-vx" included).
enum LongOption {
  kHelp = 256,
  kVersion,
  kOutput,
  kFormat,
  kTime,
  kMetadata,
  kOrder,
  kFrom,
  kTo,
  kSummary,
  kProvenance,
  kForce,
  kQc,
  kSortMemory,
  kProgress,
  kNoProgress,
};
extern const struct option kLongOptions[];
// What --help says of them, after the usage.
extern const char kLongHelp[];

// The long options' values, as given.
struct Options {
  const char* output = nullptr;
  const char* format = nullptr;
  const char* time = nullptr;
  const char* metadata = nullptr;
  const char* qc = nullptr;
  const char* order = nullptr;
  const char* from = nullptr;
  const char* to = nullptr;
  const char* sortMemory = nullptr;
  bool summary = false;
  bool provenance = false;
  bool force = false;
  ProgressMode progress = ProgressMode::kAuto;  // the last of --progress and --no-progress
};

// The settings the options ask for; false, said why, for a combination
// that cannot be.
bool chooseSettings(const Options& options, bool verbose, hexlog::Settings& settings);

// "hexlog <arguments>" for the archive formats' history, each argument as
// the shell would take it back.
std::string commandLine(int argc, char** argv);
