#include "csv.hpp"

#include <cstring>

#include "format.hpp"
#include "output.hpp"

bool csvEpochTime = false;

namespace {

// The time, then every reading after its comma, with room for the bytes
// formatShortest may store beyond its text, and the line feed.
constexpr size_t kRowRoom = kIsoTimeText + kFieldCount * (1 + kMaxShortestText) + 8 + 1;
static_assert(kRowRoom <= kMaxReserve);

}  // namespace

void writeCsvHeader() {
  outputText("time", 4);
  for (int k = 0; k < kFieldCount; ++k) {
    outputText(",", 1);
    outputText(columnName(k), std::strlen(columnName(k)));
  }
  outputText("\n", 1);
}

void writeCsvRecord(const Record& record) {
  char* o = outputReserve(kRowRoom);
  o = csvEpochTime ? formatInt(o, record.time) : formatIsoTime(o, record.time);
  o = formatReadings(o, record.words, record.count, "", false);
  std::memset(o, ',', static_cast<size_t>(kFieldCount - record.count));
  o += kFieldCount - record.count;
  *o++ = '\n';
  outputCommit(o);
}
