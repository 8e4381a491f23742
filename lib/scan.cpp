#include "scan.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "vector.hpp"

namespace hexlog {

namespace {

// isspace() in the C locale.
bool isSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Where the line feeds and NULs of a block are. With vectors, one pass over
// the block marks them all; without, memchr finds each when it is asked for.
class Marks {
 public:
  Marks(const char* block, size_t size, bool vectors) : block_(block), vectors_(vectors) {
    if (vectors_) {
      lineFeeds_.resize(size / 64 + 1);
      nuls_.resize(size / 64 + 1);
    }
  }

  // After the block's first `filled` bytes have changed.
  void update(size_t filled) {
    if (vectors_)
      markLineFeedsAndNuls(block_, filled, lineFeeds_.data(), nuls_.data());
  }

  // The offset of the first line feed in [from, to), or `to`.
  size_t lineFeed(size_t from, size_t to) const { return find('\n', lineFeeds_, from, to); }

  // The offset of the first NUL in [from, to), or `to`.
  size_t nul(size_t from, size_t to) const { return find('\0', nuls_, from, to); }

 private:
  size_t find(char c, const std::vector<uint64_t>& marks, size_t from, size_t to) const {
    if (vectors_)
      return first(marks, from, to);
    const void* found = std::memchr(block_ + from, c, to - from);
    return found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - block_) : to;
  }

  static size_t first(const std::vector<uint64_t>& marks, size_t from, size_t to) {
    if (from >= to)
      return to;
    size_t word = from / 64;
    uint64_t bits = marks[word] & (~uint64_t{0} << (from % 64));
    while (bits == 0) {
      if (++word * 64 >= to)
        return to;
      bits = marks[word];
    }
    size_t found = word * 64 + static_cast<size_t>(__builtin_ctzll(bits));
    return found < to ? found : to;
  }

  const char* block_;
  bool vectors_;
  std::vector<uint64_t> lineFeeds_;
  std::vector<uint64_t> nuls_;
};

// The piece [start, end) of the block. `end` may be written: the caller
// keeps one byte free behind every piece. Inlined into both readings' loops
// (a call per line cost the plain path 2% of its instructions).
__attribute__((always_inline)) inline void scanPiece(char* block, size_t start, size_t end, uint64_t line, const Marks& marks, PieceSink& sink) {
  size_t text = start;
  while (text < end && isSpace(block[text]))
    ++text;
  // fgets keeps reading past a NUL, but the text a C string holds ends there.
  size_t length = end - text < kMinRecordLength ? 0 : marks.nul(text, end) - text;
  if (length < kMinRecordLength) {
    sink.tooShort(line);
    return;
  }
  char saved = block[text + length];
  block[text + length] = '\0';
  sink.record(block + text, length, line);
  block[text + length] = saved;
}

// A terminal, pipe or socket may make read() wait for the next line; what
// is decoded so far must be out before that. A regular file never waits, and
// keeps its big output blocks. A sink that may be interrupted is asked while
// the input is not ready; true if it asks to stop.
bool waitForInput(int fd, PieceSink& sink) {
  struct pollfd ready = {fd, POLLIN, 0};
  if (poll(&ready, 1, 0) != 0)
    return false;
  sink.beforeWait();
  if (!sink.interruptible())
    return false;
  for (;;) {
    if (sink.stopped())
      return true;
    int n = poll(&ready, 1, 100);
    if (n > 0 || (n < 0 && errno != EINTR))
      return false;
    if (n < 0 && sink.cutShort())
      return true;
  }
}

// The pieces of what `read(buf, n)` gives, cut as fgets would cut them.
template <typename Read>
bool scan(Read read, int fd, bool mayWait, char* buf, size_t size, bool vectors, PieceSink& sink) {
  uint64_t line = 1;
  Marks marks(buf, size, vectors);
  //   buf: [ done ... | start: pieces not yet cut ... | filled: free ... | 1 spare ]
  size_t capacity = size - 1;
  size_t start = 0;
  size_t filled = 0;
  bool atEnd = false;
  for (;;) {
    while (start < filled) {
      size_t available = filled - start;
      size_t limit = start + (available < kMaxPiece ? available : kMaxPiece);
      size_t lineFeed = marks.lineFeed(start, limit);
      size_t end;
      if (lineFeed < limit)
        end = lineFeed + 1;
      else if (available >= kMaxPiece)
        end = limit;
      else if (atEnd)
        end = filled;  // a last line without a line feed
      else
        break;  // the piece goes on in the next block
      scanPiece(buf, start, end, line, marks, sink);
      line += buf[end - 1] == '\n';
      start = end;
    }
    if (atEnd || sink.stopped())
      return true;

    // Keep the unfinished piece (under 1023 characters) and read behind it.
    size_t rest = filled - start;
    std::memmove(buf, buf + start, rest);
    start = 0;
    filled = rest;
    if (mayWait && waitForInput(fd, sink))
      return true;
    ssize_t n;
    while ((n = read(buf + filled, capacity - filled)) < 0 && errno == EINTR)
      if (sink.cutShort())
        return true;
    if (n < 0)
      return false;
    if (n == 0)
      atEnd = true;
    filled += static_cast<size_t>(n);
    sink.blockRead(static_cast<size_t>(n));
    marks.update(filled);
  }
}

}  // namespace

bool scanFile(int fd, char* buf, size_t size, bool vectors, PieceSink& sink) {
  struct stat status;
  bool mayWait = fstat(fd, &status) != 0 || !S_ISREG(status.st_mode);
  auto next = [fd](char* to, size_t n) { return ::read(fd, to, n); };
  return scan(next, fd, mayWait, buf, size, vectors, sink);
}

bool scanRange(int fd, uint64_t offset, uint64_t end, char* buf, size_t size, bool vectors, PieceSink& sink) {
  auto next = [fd, &offset, end](char* to, size_t n) -> ssize_t {
    if (offset >= end)
      return 0;
    if (n > end - offset)
      n = static_cast<size_t>(end - offset);
    ssize_t got = ::pread(fd, to, n, static_cast<off_t>(offset));
    if (got > 0)
      offset += static_cast<uint64_t>(got);
    return got;
  };
  return scan(next, fd, false, buf, size, vectors, sink);
}

}  // namespace hexlog
