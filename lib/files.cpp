#include "files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace hexlog {

int aboveStandard(int fd) {
  if (fd < 0 || fd > 2)
    return fd;
  int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int error = errno;
  close(fd);
  errno = error;
  return high;
}

int openFile(const char* path, int flags, mode_t mode) {
  return aboveStandard(open(path, flags | O_CLOEXEC, mode));
}

}  // namespace hexlog
