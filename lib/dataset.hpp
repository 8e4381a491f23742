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
#include <map>
#include <string>
#include <vector>

#include "metadata.hpp"
#include "qc_config.hpp"
#include "record.hpp"

namespace hexlog {

// The time steps of a series of records: how many of each length. Most
// steps of a log are short, and counted in place; the rest in a map.
struct TimeSteps {
  uint64_t records = 0;
  int32_t last = 0;
  void add(int32_t time) {
    if (records++ > 0) {
      int64_t step = int64_t{time} - last;
      if (step >= 0 && step < kShort) {
        if (short_.empty())
          short_.assign(kShort, 0);
        ++short_[static_cast<size_t>(step)];
      } else {
        ++long_[step];
      }
    }
    last = time;
  }
  // numpy's median of the steps: the middle one, or the mean of the middle
  // two; 0 without any.
  double median() const;

 private:
  static constexpr int64_t kShort = 4096;
  std::vector<uint64_t> short_;        // by step, those in [0, kShort)
  std::map<int64_t, uint64_t> long_;  // the others
};

// What was written (Statistics, the contract's), and the steps.
class Stats : public RecordSink, public Statistics {
 public:
  void put(const Record& record) override;

  TimeSteps steps;
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

// The station's scalar `name` (latitude, longitude), if it is a number.
bool scalarNumber(const Metadata& metadata, const char* name, double& value);

// Flag f of a record, as the Flagger set it.
inline int8_t flagOf(const Record& record, size_t f) {
  return record.flags != nullptr ? record.flags[f * record.flagStride] : int8_t{2};
}

struct DatasetSettings {
  bool netcdf = true;  // the netCDF form of the time, and _FillValue; else NCCSV's
  const QcConfig* qc = nullptr;       // the QARTOD tests of --qc, if any
  bool provenance = false;
  std::vector<std::string> sources;  // the inputs' names, for source_files
  int64_t created = 0;               // date_created, seconds since 1970
  std::string history;               // what made the file, after the date
};

// Variable::qartod of the aggregate's flag variable.
constexpr int kQcAggregate = kQcTestKinds;

// The CF standard name table the dataset's standard names are from.
extern const char* const kStandardNameVocabulary;

// The dataset of records that `statistics` describe, whose median step
// is `medianStep` (their Stats' steps, or a whole's of parts).
Dataset describeDataset(const Metadata& metadata, const Statistics& stats, double medianStep,
                        const DatasetSettings& settings);

}  // namespace hexlog
