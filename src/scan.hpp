// Which lines of a log file are records.
#pragma once

#include <cstddef>

// fgets(buf, 1024, file) returns a line in pieces of at most this many
// characters; each piece is judged on its own.
constexpr size_t kMaxPiece = 1023;
// Shortest record text: what follows a piece's leading white space, line end
// included, up to a NUL if the piece holds one.
constexpr size_t kMinRecordLength = 132;
// scanFile needs room for one whole piece and the NUL that ends it.
constexpr size_t kMinScanBuffer = kMaxPiece + 2;

// Where the piece being decoded comes from, for messages: the name the
// caller gives the file, and the line, counted from 1 by scanFile.
extern const char* inputName;
extern unsigned long long inputLine;

// Reads `fd` to its end in blocks through `buf`, cuts the blocks into exactly
// the pieces fgets(buf, 1024, file) would return, and hands every piece that
// holds a record to printOneRecord. Returns false on a read error.
bool scanFile(int fd, char* buf, size_t size);
