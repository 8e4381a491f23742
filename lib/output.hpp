// Buffered output: records are collected in one large buffer and written in
// big blocks, and a failed write never goes unnoticed.
#pragma once

#include <cstddef>

namespace hexlog {

// One output stream. Writers reserve room, fill it and commit its end; the
// buffer goes to `fd` in blocks of kSize bytes.
//
// The first failed write is kept (error()) and everything after it is
// dropped, so that what reached the fd is exactly the bytes before the
// failure; writers carry on harmlessly and the caller stops at its next
// check. Not safe to use from two threads at once.
class Output {
 public:
  static constexpr size_t kSize = 64 * 1024;
  // The largest room reserve() may be asked for.
  static constexpr size_t kMaxReserve = 8192;

  explicit Output(int fd = -1) : fd_(fd) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  int fd() const { return fd_; }
  void setFd(int fd) { fd_ = fd; }

  // Room for at least `n` (<= kMaxReserve) bytes at the end of the pending
  // output; what is written there counts once commit() gets its end.
  char* reserve(size_t n) {
    if (static_cast<size_t>(buffer_ + kSize - next_) < n)
      flush();
    return next_;
  }
  void commit(char* end) { next_ = end; }

  // For a writer that holds `o` from reserve(): `o` itself while at least
  // `n` bytes are free behind it, else the pending output up to `o` is
  // committed and fresh room reserved.
  char* keepRoom(char* o, size_t n) {
    if (static_cast<size_t>(buffer_ + kSize - o) >= n)
      return o;
    commit(o);
    return reserve(n);
  }

  // Appends `n` bytes of any length.
  void text(const char* text, size_t n);

  // Writes everything pending; false once any write has failed.
  bool flush();
  // errno of the first failed write, 0 while none has failed.
  int error() const { return error_; }
  bool pending() const { return next_ != buffer_; }
  // The pending bytes, for a caller that takes them itself.
  const char* pendingBegin() const { return buffer_; }
  void dropPending() { next_ = buffer_; }

 private:
  int fd_;
  int error_ = 0;
  char* next_ = buffer_;
  char buffer_[kSize];
};

}  // namespace hexlog
