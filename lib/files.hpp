// Files the library opens. None of them may become descriptor 0, 1 or 2:
// with standard input, output or error closed, a file opened then would
// take its number, and receive what is written to standard error, or be
// read as standard input.
#pragma once

#include <sys/types.h>

namespace hexlog {

// `fd` itself, or when it is 0, 1 or 2 a duplicate of it from 3 up (closing
// `fd`); -1 stays -1. The duplicate is closed on exec.
int aboveStandard(int fd);

// open(2), never giving 0, 1 or 2.
int openFile(const char* path, int flags, mode_t mode = 0);

}  // namespace hexlog
