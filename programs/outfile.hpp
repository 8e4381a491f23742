// --output=FILE for the hexlog tool: a regular file (or a new name) is
// replaced atomically and durably, only when the whole run succeeds;
// anything else (a device, a FIFO, a socket, /dev/stdout) is opened and
// written directly, as the shell's > would.
//
//   FILE's directory:   .hexlog-XXXXXX  --fsync, rename-->  FILE  --fsync the directory
//
// The temporary file is removed on every failure and on every signal that
// can be caught; SIGKILL cannot be, and leaves it behind.
#pragma once

#include <string>
#include <vector>

// Opens FILE for the run. `binary` (netCDF): the writer needs a regular
// file of its own, by name, even for a direct target. FILE may not be one
// of the `inputs`, nor, unless `force`, an existing file that holds record
// lines (a log). On failure prints why and returns false, FILE untouched.
bool openOutputFile(const char* path, bool binary, const std::vector<const char*>& inputs, bool force);

// The fd that text goes to.
int outputFileFd();
// The file a writer creates by name (netCDF): the temporary file.
const char* outputFileWritePath();
// FILE as the user named it, for messages.
const char* outputFileName();

// Puts the finished output in place. On failure prints why ("hexlog:
// write error: FILE: REASON") and returns false, FILE as it was and no
// temporary file left, unless the message says otherwise.
bool commitOutputFile();
// Removes the temporary file: a failed run leaves nothing behind.
void discardOutputFile();

// The pid of a child writing the output, killed with the run on a signal.
void setOutputWriter(int pid);

// Standard input, output or error closed by the caller: each is opened on
// /dev/null the wrong way round (input for writing, output and error for
// reading), so that using it fails as using a closed one would, and no file
// opened later can take its number and receive the messages, or be read as
// the input.
void holdStandardDescriptors();
