// csv for spreadsheets, pandas and R: a header line of the column names,
// then one line per record, fields separated by a comma alone, LF line ends
// (RFC 4180's shape, which every reader takes without options):
//
//   time,EquilPumpOn_pCO2,EquilPumpOn_Temp,...,Can_Humidity
//   2026-06-14T00:00:20Z,396.207,16.77,...,23.749
//
// Each reading is the shortest text that reads back as the same float; NaN
// and readings a record lacks are empty fields. With provenance two more
// columns name the input file and line of each record.
#pragma once

#include <string>
#include <vector>

#include "format.hpp"
#include "output.hpp"
#include "record.hpp"
#include "tally.hpp"
#include "writer.hpp"

namespace hexlog {

// A row of the time and the 32 readings, as csv and NCCSV write it: with
// `missing` for NaN, missing readings and the readings a record lacks, and
// for the infinities too when `finiteOnly`. Returns the row's end, for
// more fields and the line feed; `out` needs kRowRoom bytes.
constexpr size_t kRowRoom = 20 + kFieldCount * (1 + 16) + 8 + 1;
char* formatRow(char* out, const Record& record, bool epochTime, const char* missing, bool finiteOnly,
                bool vectors, DayCache& dates);

class CsvWriter : public Writer {
 public:
  // With `sources`, the provenance columns name its inputs.
  CsvWriter(Output& out, bool epochTime, bool vectors, const Tally* sources);
  // The header line of the column names.
  void begin(const Dataset& dataset) override;
  void put(const Record& record) override;

 private:
  Output& out_;
  bool epochTime_;
  bool vectors_;
  const Tally* sources_;
  size_t flags_ = 0;                 // the dataset's flag columns, after the readings
  std::vector<std::string> quoted_;  // the inputs' names as csv fields, as far as seen
  DayCache dates_;
};

}  // namespace hexlog
