#include "output.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int outputFd = STDOUT_FILENO;
char outputBuffer[kOutputSize];
char* outputNext = outputBuffer;

namespace {

[[noreturn]] void writeFailed(int error) {
  std::fprintf(stderr, "hexlog: write error: %s\n", std::strerror(error));
  std::exit(1);
}

}  // namespace

void flushOutput() {
  const char* done = outputBuffer;
  while (done < outputNext) {
    ssize_t n = write(outputFd, done, static_cast<size_t>(outputNext - done));
    if (n < 0) {
      if (errno == EINTR)
        continue;
      writeFailed(errno);
    }
    if (n == 0)
      writeFailed(EIO);
    done += n;
  }
  outputNext = outputBuffer;
}

void outputText(const char* text, size_t n) {
  while (n > 0) {
    size_t room = static_cast<size_t>(outputBuffer + kOutputSize - outputNext);
    if (room == 0) {
      flushOutput();
      room = kOutputSize;
    }
    size_t chunk = n < room ? n : room;
    std::memcpy(outputNext, text, chunk);
    outputNext += chunk;
    text += chunk;
    n -= chunk;
  }
}
