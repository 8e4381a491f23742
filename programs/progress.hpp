// The progress line of a long run, on standard error:
//
//   hexlog: 1 of 3 files read, 212 of 580 MB, 731000 records, 0:04 left
//
// On a terminal it is drawn once the run has gone on for a second, and
// then over itself four times a second ("\r", the line, "\033[K" for what
// is left of the one before), cut to the terminal's width so that it
// never wraps; it is erased before any message and when the run ends, by
// a signal too. Forced onto a pipe or a file, it is a line of its own once
// a second, and one more with the final counts at the end, so that what
// reads it reads whole lines and no terminal's escapes.
//
// In a netCDF run the writer's process draws it. Whether it is drawn is
// kept in memory shared with this process, which erases what a writer
// that crashed or was killed left.
#pragma once

#include <string>
#include <vector>

#include "hexlog/hexlog.hpp"

enum class ProgressMode {
  kAuto,  // on a terminal, unless the records go to it too or are typed on it
  kOn,    // --progress: wherever standard error goes
  kOff,   // --no-progress
};

// Sets settings.progress where the line is to be shown: `recordsOnStdout`
// when the records go to standard output, `inputs` the files as named
// ("-" standard input), whose sizes are the total the time left is
// reckoned from (none when one is not a regular file).
void watchProgress(ProgressMode mode, bool recordsOnStdout, const std::vector<std::string>& inputs,
                   hexlog::Settings& settings);
// Erases the line where it is drawn, before a message: the next report
// draws it again. Safe in a signal handler.
void eraseProgress();
// The run is over, one way or another: the line erased for good, or on a
// pipe or file its last counts written, if any line was.
void endProgress();
