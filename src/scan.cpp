#include "scan.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "output.hpp"
#include "record.hpp"

const char* inputName = "";
unsigned long long inputLine = 1;

namespace {

// isspace() in the C locale.
bool isSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// `end` may be written: the caller keeps one byte free behind every piece.
void scanPiece(char* piece, char* end) {
  char* text = piece;
  while (text < end && isSpace(*text))
    ++text;
  size_t left = static_cast<size_t>(end - text);
  if (left < kMinRecordLength)
    return;
  // fgets keeps reading past a NUL, but the text a C string holds ends there.
  const char* nul = static_cast<const char*>(std::memchr(text, '\0', left));
  size_t length = nul != nullptr ? static_cast<size_t>(nul - text) : left;
  if (length < kMinRecordLength)
    return;
  char saved = text[length];
  text[length] = '\0';
  printOneRecord(text, length);
  text[length] = saved;
}

// A terminal, pipe or socket may make read() wait for the next line; what
// is decoded so far must be out before that. A regular file never waits, and
// keeps its big output blocks.
void flushBeforeWaiting(int fd, bool mayWait) {
  if (!mayWait || outputNext == outputBuffer)
    return;
  struct pollfd ready = {fd, POLLIN, 0};
  if (poll(&ready, 1, 0) == 0)
    flushOutput();
}

}  // namespace

bool scanFile(int fd, char* buf, size_t size) {
  struct stat status;
  bool mayWait = fstat(fd, &status) != 0 || !S_ISREG(status.st_mode);
  inputLine = 1;
  //   buf: [ done ... | start: pieces not yet cut ... | filled: free ... | 1 spare ]
  size_t capacity = size - 1;
  size_t start = 0;
  size_t filled = 0;
  bool atEnd = false;
  for (;;) {
    while (start < filled) {
      char* piece = buf + start;
      size_t available = filled - start;
      size_t limit = available < kMaxPiece ? available : kMaxPiece;
      const char* lineFeed = static_cast<const char*>(std::memchr(piece, '\n', limit));
      size_t length;
      if (lineFeed != nullptr)
        length = static_cast<size_t>(lineFeed - piece) + 1;
      else if (available >= kMaxPiece)
        length = kMaxPiece;
      else if (atEnd)
        length = available;  // a last line without a line feed
      else
        break;  // the piece goes on in the next block
      scanPiece(piece, piece + length);
      inputLine += piece[length - 1] == '\n';
      start += length;
    }
    if (atEnd)
      return true;

    // Keep the unfinished piece (under 1023 characters) and read behind it.
    size_t rest = filled - start;
    std::memmove(buf, buf + start, rest);
    start = 0;
    filled = rest;
    flushBeforeWaiting(fd, mayWait);
    ssize_t n;
    do
      n = read(fd, buf + filled, capacity - filled);
    while (n < 0 && errno == EINTR);
    if (n < 0)
      return false;
    if (n == 0)
      atEnd = true;
    filled += static_cast<size_t>(n);
  }
}
