#include "output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

int outputFd = STDOUT_FILENO;
char outputBuffer[kOutputSize];
char* outputNext = outputBuffer;

namespace {

// The --output file while it is being written: "DIR/.hexlog-XXXXXX", in the
// directory of the final name so that rename() replaces that atomically.
// Empty when there is none. A signal handler reads it, hence a plain array.
char tempName[PATH_MAX + 16];
const char* finalName;
mode_t finalMode;

[[noreturn]] void writeFailed(int error) {
  std::fprintf(stderr, "hexlog: write error: %s\n", std::strerror(error));
  discardOutputFile();
  std::exit(1);
}

// An interrupted run leaves no temporary file behind either.
void removeAndResignal(int signal) {
  if (tempName[0] != '\0')
    unlink(tempName);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

bool outputFileFailed(const char* path, const char* why) {
  std::fprintf(stderr, "hexlog: cannot write %s: %s\n", path, why);
  discardOutputFile();
  return false;
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

bool startOutputFile(const char* path) {
  if (*path == '\0') {
    std::fprintf(stderr, "hexlog: --output needs a file name\n");
    return false;
  }
  struct stat existing;
  if (stat(path, &existing) == 0) {
    if (S_ISDIR(existing.st_mode))
      return outputFileFailed(path, std::strerror(EISDIR));
    // rename() would replace a file the user may not write; refuse as
    // opening it for writing would.
    if (access(path, W_OK) != 0)
      return outputFileFailed(path, std::strerror(errno));
    finalMode = existing.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    finalMode = 0666 & ~mask;
  }
  const char* slash = std::strrchr(path, '/');
  int dirLength = slash != nullptr ? static_cast<int>(slash - path + 1) : 0;
  if (std::snprintf(tempName, sizeof tempName, "%.*s.hexlog-XXXXXX", dirLength, path) >=
      static_cast<int>(sizeof tempName)) {
    tempName[0] = '\0';
    return outputFileFailed(path, std::strerror(ENAMETOOLONG));
  }
  int fd = mkstemp(tempName);
  if (fd < 0) {
    int error = errno;
    tempName[0] = '\0';
    return outputFileFailed(path, std::strerror(error));
  }
  for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
    if (std::signal(signal, removeAndResignal) == SIG_IGN)
      std::signal(signal, SIG_IGN);  // keep what nohup asked for
  finalName = path;
  outputFd = fd;
  return true;
}

const char* outputFileName() {
  return tempName[0] != '\0' ? tempName : nullptr;
}

void finishOutputFile() {
  flushOutput();
  // By name: a library that writes the file itself may have made it anew.
  if (chmod(tempName, finalMode) != 0 || close(outputFd) != 0)
    writeFailed(errno);
  outputFd = STDOUT_FILENO;
  if (rename(tempName, finalName) != 0)
    writeFailed(errno);
  tempName[0] = '\0';
}

void discardOutputFile() {
  if (tempName[0] != '\0')
    unlink(tempName);
  tempName[0] = '\0';
}
