#include "csv.hpp"

#include <cstring>

#include "format.hpp"
#include "output.hpp"

bool csvEpochTime = false;

namespace {

// The time, then every reading after its comma, with room for the bytes
// formatShortest may store beyond its text, and the line feed. ("NaN" is
// shorter than any reading's longest text.)
constexpr size_t kRowRoom = kIsoTimeText + kFieldCount * (1 + kMaxShortestText) + 8 + 1;
static_assert(kRowRoom <= kMaxReserve);

}  // namespace

void writeNamesRow() {
  outputText("time", 4);
  for (int k = 0; k < kFieldCount; ++k) {
    outputText(",", 1);
    outputText(columnName(k), std::strlen(columnName(k)));
  }
  outputText("\n", 1);
}

void writeReadingsRow(const Record& record, const char* missing, bool finiteOnly) {
  char* o = outputReserve(kRowRoom);
  o = csvEpochTime ? formatInt(o, record.time) : formatIsoTime(o, record.time);
  o = formatReadings(o, record.words, record.count, missing, finiteOnly);
  size_t length = std::strlen(missing);
  for (int k = record.count; k < kFieldCount; ++k) {
    *o++ = ',';
    std::memcpy(o, missing, length);
    o += length;
  }
  *o++ = '\n';
  outputCommit(o);
}

void writeCsvHeader() {
  writeNamesRow();
}

void writeCsvRecord(const Record& record) {
  writeReadingsRow(record, "", false);
}
