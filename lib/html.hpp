// A quick look at a deployment: one HTML page that fetches nothing and runs
// no script, its plots inline SVG, which any browser shows and prints.
//
//   <header>    title, station, time coverage, the run's counts, the --summary table
//   <section>   one panel per kind of reading (pCO2, temperatures, pressures,
//   ...         humidities, Durafet pH, the rest): a line per reading over the
//               time axis all panels share, suspect and failed flags as markers
//   <footer>    when and by what command it was made
//
// However many records, each reading's line is its M4 reduction (m4.hpp)
// over kHtmlColumns pixel columns, broken where a reading is missing and
// where the time steps more than twice the median step; a reading's
// flagged values are one marker a column for each kind of flag, its most
// extreme. A record's column comes from its time through the first pass's
// time range, so the writer is begun once the statistics have seen every
// record; the page is written at the end, when the run's counts are whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dataset.hpp"
#include "m4.hpp"
#include "output.hpp"
#include "record.hpp"
#include "writer.hpp"

namespace hexlog {

// The plots' pixel columns at the page's own width. Each reading keeps at
// most four points a column, each at worst a dot of its own ("M999,180z",
// 9 bytes), and a marker a column for each kind of flag ("999,180 ", 8),
// which bounds the plots whatever the number of records:
// 32 readings x 1000 columns x (36 + 16) bytes = 1.66 MB, and the page
// under 2 MB (but for a --summary table of very many files).
constexpr size_t kHtmlColumns = 1000;

class HtmlWriter : public Writer {
 public:
  // `stats`, the first pass's, are whole when the writer is begun, and
  // `tally` when it is ended; both are the run's, and outlive the writer.
  HtmlWriter(Output& out, const Stats& stats, const Tally& tally, int64_t created, std::string history);
  bool describedFirst() const override { return true; }
  // The time axis, the step that is a gap, and each reading's flags.
  void begin(const Dataset& dataset) override;
  void put(const Record& record) override;
  // The page.
  void end() override;

 private:
  struct Marker {
    bool any = false;
    float value = 0;
  };
  // A reading whose flags mark its values: its QARTOD aggregate where it
  // has one, else the strongest of its flags.
  struct Marked {
    uint32_t reading = 0;
    std::vector<size_t> flags;
    float middle = 0;  // of its range: the farthest from it is the most extreme
    uint64_t suspect = 0;
    uint64_t failed = 0;
    std::vector<Marker> markers;  // suspect at [column], failed at [kHtmlColumns + column]
  };

  size_t columnOf(int32_t time) const;
  void mark(Marked& marked, size_t column, int8_t flag, uint32_t bits);
  std::string panel(int group) const;

  Output& out_;
  const Stats& stats_;
  const Tally& tally_;
  int64_t created_;
  std::string history_;
  const Dataset* dataset_ = nullptr;
  int64_t first_ = 0;  // the time range, from the first pass
  int64_t span_ = 0;
  int64_t gapStep_ = INT64_MAX;  // a step longer than this breaks the lines
  bool any_ = false;
  int64_t previous_ = 0;
  std::vector<M4Line> lines_;
  std::vector<Marked> marked_;
};

}  // namespace hexlog
