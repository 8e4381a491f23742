#include "tally.hpp"

#include <string>
#include <vector>

namespace hexlog {

const CountColumn countColumns[kCountColumns] = {
    {"written", &FileCounts::written},       {"too_short", &FileCounts::tooShort},
    {"not_records", &FileCounts::notRecords}, {"cut", &FileCounts::cut},
    {"readings_missing", &FileCounts::missing}, {"duplicates", &FileCounts::duplicates},
    {"conflicts", &FileCounts::conflicts},   {"outside_window", &FileCounts::outside},
};

FileCounts& FileCounts::operator+=(const FileCounts& other) {
  written += other.written;
  tooShort += other.tooShort;
  notRecords += other.notRecords;
  cut += other.cut;
  missing += other.missing;
  duplicates += other.duplicates;
  conflicts += other.conflicts;
  outside += other.outside;
  return *this;
}

uint32_t Counter::addInput(const std::string& name) {
  names_.push_back(name);
  counts_.emplace_back();
  return static_cast<uint32_t>(names_.size() - 1);
}

FileCounts Tally::total() const {
  FileCounts sum;
  for (const FileCounts& counts : counts_)
    sum += counts;
  return sum;
}

void Counter::note(Event event, uint32_t file, uint64_t line, uint64_t n) {
  FileCounts& counts = counts_[file];
  switch (event) {
    case Event::kCut: counts.cut += n; break;
    case Event::kNotRecord: counts.notRecords += n; break;
    case Event::kMissing: counts.missing += n; break;
    case Event::kDuplicate: counts.duplicates += n; break;
    case Event::kConflict: counts.conflicts += n; break;
  }
  Place& first = first_[static_cast<int>(event)];
  // Events may be noted out of input order (duplicates are found while
  // merging), so the first is the earliest place, not the earliest noted.
  if (!first.seen || file < first.file || (file == first.file && line < first.line))
    first = {true, file, line};
}

std::vector<std::string> notices(const Tally& tally) {
  FileCounts total = tally.total();
  struct Notice {
    Event event;
    uint64_t count;
    const char* one;
    const char* many;
  };
  const Notice kinds[] = {
      {Event::kNotRecord, total.notRecords, "line had no time of eight hexadecimal digits and was skipped",
       "lines had no time of eight hexadecimal digits and were skipped"},
      {Event::kMissing, total.missing, "reading had no eight hexadecimal digits and was written as missing",
       "readings had no eight hexadecimal digits and were written as missing"},
      {Event::kCut, total.cut, "record had more than 32 readings and was cut to 32",
       "records had more than 32 readings and were cut to 32"},
      {Event::kDuplicate, total.duplicates, "record repeated an earlier one and was dropped",
       "records repeated earlier ones and were dropped"},
      {Event::kConflict, total.conflicts,
       "record had the time of an earlier one but other readings and was dropped (the first of a time is kept)",
       "records had the time of an earlier one but other readings and were dropped (the first of a time is kept)"},
  };
  std::vector<std::string> lines;
  for (const Notice& notice : kinds) {
    if (notice.count == 0)
      continue;
    const Place& first = tally.first(notice.event);
    lines.push_back(std::to_string(notice.count) + " " + (notice.count == 1 ? notice.one : notice.many) +
                    "; the first: " + tally.name(first.file) + ":" + std::to_string(first.line));
  }
  return lines;
}

}  // namespace hexlog
