#include "csv.hpp"

#include <cstring>

#include "dataset.hpp"
#include "format.hpp"

namespace hexlog {

namespace {

// A field as RFC 4180 has it: quoted when it holds a comma, a quote (then
// doubled) or a line end.
std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos)
    return text;
  std::string quoted = "\"";
  for (char c : text)
    quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

static_assert(kRowRoom >= kIsoTimeText + kFieldCount * (1 + kMaxShortestText) + 8 + 1);
static_assert(kRowRoom <= Output::kMaxReserve);

char* formatRow(char* o, const Record& record, bool epochTime, const char* missing, bool finiteOnly, bool vectors,
                DayCache& dates) {
  o = epochTime ? formatInt(o, record.time) : formatIsoTime(o, record.time, dates);
  const uint32_t* words = record.words;
  uint32_t count = record.count < kFieldCount ? record.count : kFieldCount;
  uint32_t padded[kFieldCount];
  if (record.missing != 0 || count < kFieldCount) {
    // NaN comes out as `missing`.
    for (uint32_t k = 0; k < kFieldCount; ++k)
      padded[k] = readingBits(record, k, kNaNBits);
    words = padded;
    count = kFieldCount;
  }
  return formatReadings(o, words, static_cast<int>(count), missing, finiteOnly, vectors);
}

CsvWriter::CsvWriter(Output& out, bool epochTime, bool vectors, const Tally* sources)
    : out_(out), epochTime_(epochTime), vectors_(vectors), sources_(sources) {}

void CsvWriter::begin(const Dataset& dataset) {
  out_.text("time", 4);
  for (int k = 0; k < kFieldCount; ++k) {
    out_.text(",", 1);
    out_.text(columnName(k), std::strlen(columnName(k)));
  }
  std::vector<const Variable*> flags = flagVariables(dataset);
  flags_ = flags.size();
  for (const Variable* flag : flags) {
    out_.text(",", 1);
    out_.text(flag->name.data(), flag->name.size());
  }
  if (sources_ != nullptr)
    out_.text(",source_file,source_line", 24);
  out_.text("\n", 1);
}

void CsvWriter::put(const Record& record) {
  char* o = formatRow(out_.reserve(kRowRoom), record, epochTime_, "", false, vectors_, dates_);
  o = out_.keepRoom(o, 2 * flags_ + 1);
  for (size_t f = 0; f < flags_; ++f) {  // a flag is one digit
    o[0] = ',';
    o[1] = static_cast<char>('0' + flagOf(record, f));
    o += 2;
  }
  if (sources_ != nullptr) {
    *o++ = ',';
    out_.commit(o);
    while (quoted_.size() <= record.file)
      quoted_.push_back(csvField(sources_->name(static_cast<uint32_t>(quoted_.size()))));
    const std::string& source = quoted_[record.file];
    out_.text(source.data(), source.size());
    o = out_.reserve(32);
    *o++ = ',';
    o = formatCount(o, record.line);
  }
  *o++ = '\n';
  out_.commit(o);
}

}  // namespace hexlog
