#include "output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace hexlog {

bool Output::flush() {
  const char* done = buffer_;
  while (error_ == 0 && done < next_) {
    ssize_t n = write(fd_, done, static_cast<size_t>(next_ - done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      error_ = n < 0 ? errno : EIO;
    else
      done += n;
  }
  next_ = buffer_;
  return error_ == 0;
}

void Output::text(const char* text, size_t n) {
  while (n > 0) {
    size_t room = static_cast<size_t>(buffer_ + kSize - next_);
    if (room == 0) {
      flush();
      room = kSize;
    }
    size_t chunk = n < room ? n : room;
    std::memcpy(next_, text, chunk);
    next_ += chunk;
    text += chunk;
    n -= chunk;
  }
}

}  // namespace hexlog
