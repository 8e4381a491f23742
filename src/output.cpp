#include "output.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int outputFd = STDOUT_FILENO;

namespace {

char out[1 << 20];
size_t outLen = 0;

[[noreturn]] void writeFailed(int error) {
  std::fprintf(stderr, "hexlog: write error: %s\n", std::strerror(error));
  std::exit(1);
}

}  // namespace

void flushOutput() {
  size_t done = 0;
  while (done < outLen) {
    ssize_t n = write(outputFd, out + done, outLen - done);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      writeFailed(errno);
    }
    if (n == 0)
      writeFailed(EIO);
    done += static_cast<size_t>(n);
  }
  outLen = 0;
}

char* outputReserve(size_t n) {
  if (sizeof out - outLen < n)
    flushOutput();
  return out + outLen;
}

void outputCommit(char* end) {
  outLen = static_cast<size_t>(end - out);
}

void outputText(const char* text, size_t n) {
  while (n > 0) {
    size_t room = sizeof out - outLen;
    if (room == 0) {
      flushOutput();
      room = sizeof out;
    }
    size_t chunk = n < room ? n : room;
    std::memcpy(out + outLen, text, chunk);
    outLen += chunk;
    text += chunk;
    n -= chunk;
  }
}
