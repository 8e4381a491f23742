// Which lines of a log file are records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hexlog/hexlog.hpp"

namespace hexlog {

// fgets(buf, 1024, file) returns a line in pieces of at most this many
// characters; each piece is judged on its own.
constexpr size_t kMaxPiece = 1023;
// Shortest record text: what follows a piece's leading white space, line end
// included, up to a NUL if the piece holds one.
constexpr size_t kMinRecordLength = 132;
// scanFile needs room for one whole piece and the NUL that ends it.
constexpr size_t kMinScanBuffer = kMaxPiece + 2;
static_assert(kMinScanBuffer == kMinInputBuffer);

// Where scanFile hands what it finds.
class PieceSink {
 public:
  virtual ~PieceSink() = default;
  // A record text of `length` characters, NUL-terminated there, from line
  // `line` of the input (pieces of one long line share its number).
  virtual void record(const char* text, size_t length, uint64_t line) = 0;
  // A piece too short to be a record.
  virtual void tooShort(uint64_t line) = 0;
  // The next read may wait for input that is not there yet.
  virtual void beforeWait() = 0;
  // Another `bytes` bytes of the input were read (and are cut into pieces
  // before stopped() is asked).
  virtual void blockRead(size_t) {}
  // Whether to stop reading: the output has failed, or the caller asks.
  virtual bool stopped() = 0;
  // Whether stopped() may turn true while an input waits, so that it is
  // asked every tenth of a second then.
  virtual bool interruptible() { return false; }
  // Whether to stop after a read or wait that a signal cut short.
  virtual bool cutShort() { return stopped(); }
};

// Reads `fd` to its end in blocks through `buf`, cuts the blocks into exactly
// the pieces fgets(buf, 1024, file) would return, and hands every piece that
// holds a record to the sink. With `vectors`, one pass over each block finds
// its line ends and NULs. Returns false on a read error (errno tells).
bool scanFile(int fd, char* buf, size_t size, bool vectors, PieceSink& sink);

// scanFile over the bytes [offset, end) of a regular file, read with pread:
// the fd's own offset is neither used nor moved. The bytes at `end` are the
// end of the input, as if the file ended there, whatever follows now.
bool scanRange(int fd, uint64_t offset, uint64_t end, char* buf, size_t size, bool vectors, PieceSink& sink);

}  // namespace hexlog
