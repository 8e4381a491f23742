// netCDF is written by a library that may crash after an I/O error: the
// decoding and the library run in a child process, so that whatever happens
// there, this one removes the temporary file and says so.
#pragma once

#include "hexlog/hexlog.hpp"
#include "options.hpp"

// The metadata and the netCDF library are checked before FILE is opened,
// as for any format; the library is loaded for it in a process of its own,
// since loading it (and the forty libraries it needs) may crash where
// memory is short. Whatever that process says goes to a pipe: one line of
// its own, or of this process's if it crashed, reaches standard error.
bool prepareIsolated(hexlog::Run& run);

// The tool's decoding of every input, with the files from argv[first] on:
// the exit status, the output file left uncommitted.
using DecodeAll = int(hexlog::Run& run, const Options& options, int first, int argc, char** argv);

// decodeAll in a child process; back here the output file is committed, or
// discarded when the child failed (a crash said here, in one line).
// Returns the exit status.
int decodeIsolated(DecodeAll* decodeAll, hexlog::Run& run, const Options& options, int first, int argc,
                   char** argv);
