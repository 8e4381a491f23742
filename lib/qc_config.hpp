// --qc: a QC configuration in the form the field's Python QARTOD library
// reads, YAML or JSON, read and checked once before any input:
//
//   streams:                                  contexts:
//     Durafet_pH_1:                             - window: {starting: 2026-06-01T00:00:00Z,
//       qartod:                                            ending: 2026-07-01T00:00:00Z}
//         gross_range_test:                       streams:
//           fail_span: [6.5, 9.0]                   Durafet_pH_1:
//           suspect_span: [7.5, 8.5]                  qartod: {...}
//         spike_test: {suspect_threshold: 0.05, fail_threshold: 0.1}
//         aggregate: {}
//
// A stream is a reading's column name. Anything the tests cannot take (an
// unknown test or reading, an argument missing or malformed, a suspect span
// outside the fail span) is "FILE:LINE: what is wrong".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hexlog {

enum class QcTestKind { kGrossRange, kSpike, kRateOfChange, kFlatLine, kClimatology, kLocation };
constexpr int kQcTestKinds = 6;
// "gross_range_test", ...
const char* qcTestName(QcTestKind kind);

struct QcSpan {
  double low = 0;
  double high = 0;
};

// What a climatology member's time span counts in: a field of the time
// (the month, 1 to 12; the day of the year, 1 to 366; ...), or the time
// itself (seconds since 1970).
enum class QcPeriod { kTime, kYear, kQuarter, kMonth, kWeek, kDayOfYear, kDay, kDayOfWeek, kHour, kMinute, kSecond };

struct QcClimatologyMember {
  QcPeriod period = QcPeriod::kTime;
  QcSpan time;
  QcSpan valid;  // vspan: outside it, suspect
  bool hasFail = false;
  QcSpan fail;  // fspan: outside it, fail
};

struct QcTest {
  QcTestKind kind;
  int line = 0;  // of its name in the file
  // gross_range_test
  QcSpan fail;
  bool hasSuspect = false;
  QcSpan suspect;
  // spike_test (0: not applied), rate_of_change_test (threshold, fail_threshold)
  double suspectThreshold = 0;
  double failThreshold = 0;
  bool hasFailThreshold = false;
  bool differential = false;
  // flat_line_test (the thresholds in seconds)
  double tolerance = 0;
  double suspectSeconds = 0;
  double failSeconds = 0;
  // climatology_test
  std::vector<QcClimatologyMember> members;
  // location_test: lon_min, lat_min, lon_max, lat_max
  double box[4] = {-180, -90, 180, 90};
  bool hasRangeMax = false;
  double rangeMax = 0;
  // The test's arguments as JSON, as the configuration gave them.
  std::string json;
};

struct QcStream {
  int reading;  // its index, 0 to 31
  std::vector<QcTest> tests;
  bool aggregate = false;
  int line = 0;
};

// The streams of the records in [from, to), where given.
struct QcContext {
  bool hasFrom = false;
  bool hasTo = false;
  int64_t from = 0;
  int64_t to = 0;
  std::vector<QcStream> streams;
};

struct QcConfig {
  std::string path;
  std::vector<QcContext> contexts;
  bool empty() const { return contexts.empty(); }
};

// Reads and checks `path` into `config` (which it replaces); false, with
// `error` as "FILE:LINE: what is wrong" or why the file cannot be read.
// A build without a YAML library says so.
bool readQcConfig(const char* path, QcConfig& config, std::string& error);

}  // namespace hexlog
