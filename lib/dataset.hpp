// What the archive formats (NCCSV, netCDF) and the library's other callers
// say about the records: every variable with its type and attributes, the
// tool's own, the ones computed from the records, and the station's.
//
//   time                 the record's time
//   EquilPumpOn_pCO2...  the 32 readings
//   NAME_qc              a gross-range flag for each reading with a valid range
//   source_file/line     where each record came from (with provenance)
//   station_id...        the metadata's *SCALAR* variables
//
// A pair the tool writes by default or computes gives way to the user's
// line for the same pair; Conventions and the types stay the tool's.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "metadata.hpp"
#include "record.hpp"

namespace hexlog {

// The extremes of what was written: of the times, and of each reading's
// finite values (NaN, infinities and missing readings left out).
class Stats : public RecordSink {
 public:
  struct Range {
    bool any = false;
    float min = 0;
    float max = 0;
  };
  void put(const Record& record) override;

  uint64_t records = 0;
  int32_t firstTime = 0;
  int32_t lastTime = 0;
  Range readings[kFieldCount];
};

// Series, Variable and Dataset are the library's contract (hexlog.hpp).

// Bits a format writes where a record lacks a reading, or its window held
// none: NaN in csv, NCCSV and the arrays (an empty field, "NaN", NaN), the
// fill value in netCDF.
constexpr uint32_t kNaNBits = 0x7FC00000;
constexpr uint32_t kNetcdfFillBits = 0x7CF00000;  // kNetcdfFill

// Reading k of `record`, or `absent` where it has none: the one place a
// missing reading becomes what a format writes.
inline uint32_t readingBits(const Record& record, uint32_t k, uint32_t absent) {
  return k < record.count && (record.missing >> k & 1) == 0 ? record.words[k] : absent;
}

// The dataset's flag variables, in its order: the one list every writer
// of flags takes.
std::vector<const Variable*> flagVariables(const Dataset& dataset);

// The flag of a reading against its valid range, after the IOOS scheme.
constexpr int8_t kQcPass = 1;
constexpr int8_t kQcFail = 4;
constexpr int8_t kQcMissing = 9;
inline int8_t qcFlag(const Variable& flag, const Record& record) {
  int k = flag.reading;
  if (static_cast<uint32_t>(k) >= record.count || (record.missing >> k & 1) != 0)
    return kQcMissing;
  float value;
  std::memcpy(&value, &record.words[k], sizeof value);
  if (value != value)
    return kQcMissing;
  // An infinity lies outside any range, one open at an end included.
  bool finite = value - value == 0;
  return finite && value >= flag.validMin && value <= flag.validMax ? kQcPass : kQcFail;
}

struct DatasetSettings {
  bool netcdf = true;  // the netCDF form of the time, and _FillValue; else NCCSV's
  bool provenance = false;
  std::vector<std::string> sources;  // the inputs' names, for source_files
  int64_t created = 0;               // date_created, seconds since 1970
  std::string history;               // what made the file, after the date
};

Dataset describeDataset(const Metadata& metadata, const Stats& stats, const DatasetSettings& settings);

}  // namespace hexlog
