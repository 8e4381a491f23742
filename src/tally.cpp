#include "tally.hpp"

namespace hexlog {

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

uint32_t Tally::addInput(const std::string& name) {
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

void Tally::note(Event event, uint32_t file, uint64_t line, uint64_t n) {
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

}  // namespace hexlog
