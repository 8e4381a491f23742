// hexlog: decodes the hexadecimal record lines of an ocean instrument's log
// files (a time word and 32 readings, each an 8-digit hexadecimal word) into
// text, csv, NCCSV, netCDF, a quick-look HTML page, or arrays.
//
// The whole contract of the library. A caller makes a Run with its
// Settings, hands it the inputs one after another, and finishes it:
//
//   hexlog::Settings settings;
//   settings.format = hexlog::Format::kCsv;
//   hexlog::Run run(settings);
//   if (!run.start(STDOUT_FILENO) || !run.addInput(fd, "day.log", buf, sizeof buf) || !run.finish())
//     ... run.failure() says what went wrong
//
// Nothing here prints, exits or reads the environment: failures are
// returned, memory that runs out included (FailureKind::kTemporary with
// ENOMEM); nothing throws out of a Run. No file the library opens takes
// descriptor 0, 1 or 2.
//
// Threads: a Run is not safe to use from two threads at once; different
// threads may use different Runs, at the same time, with one exception:
// the netCDF C library is not thread-safe, so while a Run of
// Format::kNetcdf is between prepare() (or start()) and its destruction, no
// other thread may use the netCDF library, another netCDF Run included.
// The only global state is the CPU check for the vector path, made once,
// and the netCDF library, loaded once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hexlog {

// The readings of a record: 32 of them, in record order.
constexpr int kReadings = 32;
// Reading k as verbose text names it ("EquilPumpOn pCO2").
const char* readingName(int k);
// Reading k's column and variable name in csv, NCCSV, netCDF and arrays
// ("EquilPumpOn_pCO2").
const char* columnName(int k);

// Whether this build and CPU have the vector path (AVX2).
bool vectorsAvailable();

enum class Format {
  kPlain,    // one line per record, three decimals, CR LF
  kVerbose,  // a labelled block per record with a UTC date
  kCsv,
  kNccsv,
  kNetcdf,   // to Settings::netcdfPath
  kHtml,     // one page, nothing fetched: the run's counts and a plot of each kind of reading
  kColumns,  // no output: arrays, through Run::columns()
};

enum class Order {
  kDefault,  // kTime for NCCSV, netCDF and HTML, kInput for the others
  kInput,    // as the inputs hold them
  kTime,     // sorted by time across inputs; duplicates and conflicts dropped
};

// How far a run has got, as Settings::progress is told it.
struct Progress {
  enum class Phase {
    kReading,    // the inputs, one after another
    kFirstPass,  // the records held for ordering, gone over once before any is
                 // written: for what NCCSV's and netCDF's header and the QARTOD
                 // tests say of them
    kWriting,    // the records held for ordering, in their order, to the output
  };
  Phase phase = Phase::kReading;
  uint32_t inputsDone = 0;  // inputs read to their end
  uint64_t bytes = 0;       // bytes read of all the inputs so far
  uint64_t records = 0;     // records decoded so far (kept or not)
  // kFirstPass and kWriting: the records held, how many the pass took so
  // far (those it drops as duplicates or conflicts included) and in all.
  uint64_t done = 0;
  uint64_t total = 0;
};

// ---- A dataset in parts ---------------------------------------------------------------
//
// One dataset of many inputs may be decoded in parts, each a span of its
// times, by as many Runs, in as many processes. Of the records of one
// time, the first (by input, then line) is kept and the others dropped,
// whatever the records of other times: so a Run over the inputs that hold
// records of a span, in their order, with the span as its window, writes
// exactly the whole's records of that span. What is computed over the
// whole (the attributes, the series the QARTOD tests take) comes from the
// whole's times and the parts' Statistics:
//
//   each input:  a Run in input order --> its times; its Tally: the lines'
//                counts (too short, not records, cut, missing, outside)
//   the caller:  every input's times merged, each time once: the whole's;
//                wholeSeries() of them; the spans
//   each span:   a Run with Settings::part --> Statistics(); its Tally:
//                each record of the span written, a duplicate or a conflict
//   the caller:  the Statistics summed; a Run of no input with
//                Settings::part and describe --> the whole's Dataset
//   each span, again: the same Run --> its columns
//
// A part's Run counts only its own records (written, duplicates,
// conflicts); the Tally of the whole is each input's counts summed, the
// lines' from its own Run and the records' from the spans', with the
// earliest place of each kind of event.

// What the attributes computed from the records are made of: how many
// were written, the extremes of their times and of each reading's finite
// values (NaN, infinities and missing readings left out).
struct Statistics {
  struct Range {
    bool any = false;
    float min = 0;
    float max = 0;
  };
  uint64_t records = 0;
  int64_t firstTime = 0;
  int64_t lastTime = 0;
  Range readings[kReadings];

  // The records of both, as if written by one Run.
  Statistics& operator+=(const Statistics& other);
};

// A series of records as the QARTOD tests take it: how many, and the
// median step between their times (numpy's median; 0 for fewer than two).
struct SeriesFacts {
  uint64_t records = 0;
  double medianStep = 0;
};

// What a part takes of the whole rather than of its own records.
struct Whole {
  // For each context of Settings::qc, in its order: the whole's records
  // in its window. A part's QARTOD tests take these series.
  std::vector<SeriesFacts> contexts;
  // For describe: the whole's inputs (source_files), its records (the
  // parts' Statistics summed) and their median step.
  std::vector<std::string> inputs;
  Statistics statistics;
  double medianStep = 0;
};

struct Settings {
  // Characters thrown away at the start of each record line.
  int32_t startChars = 24;
  Format format = Format::kPlain;
  // csv: seconds since 1970 in the time column instead of ISO 8601 UTC.
  bool epochTime = false;
  // netCDF and HTML are always in time order.
  Order order = Order::kDefault;
  // Only records with from <= time < to, where given.
  bool hasFrom = false;
  bool hasTo = false;
  int64_t from = 0;
  int64_t to = 0;
  // A part of a larger dataset (see "A dataset in parts"), in time order:
  // its records are those of the window, and the QARTOD tests take the
  // whole's series; the records of [flagsFrom, from) and [to, flagsTo)
  // (where the window has those bounds) are read only for the flags of
  // the part's, which take their neighbours (wholeSeries() says how many):
  // they are tested, but neither written, counted nor in Statistics().
  // With describe, the Dataset is the whole's.
  bool part = false;
  int64_t flagsFrom = 0;
  int64_t flagsTo = 0;
  Whole whole;
  // The input file and line of each record, as columns or variables.
  bool provenance = false;
  // A file of NCCSV metadata lines: the station's attributes (NCCSV,
  // netCDF, HTML and columns).
  std::string metadata;
  // A QC configuration, YAML or JSON, of QARTOD tests for the readings
  // (csv, NCCSV, netCDF, HTML and columns): their flags as variables of the
  // dataset. They test each reading's series in time order.
  std::string qc;
  // Where netCDF output is written.
  std::string netcdfPath;
  // Format::kColumns: describe the dataset too (the attributes computed
  // from the records), as netCDF output would.
  bool describe = false;
  // date_created of NCCSV and netCDF, and what made them (history); the
  // HTML page says both at its foot.
  int64_t created = 0;
  std::string history;
  // Take the vector path; off for the scalar code alone.
  bool vectors = vectorsAvailable();
  // Bytes of records held in memory while ordering, and the folder where
  // the rest spills (/tmp when empty; the tool and the module give $TMPDIR).
  size_t memory = size_t{40} << 20;
  std::string temporaryDirectory;
  // Asked now and then while the run goes on (every block of input, every
  // few thousand records written, and ten times a second while an input
  // waits for more): true stops the run with FailureKind::kInterrupted. It
  // is called on the thread that called the Run's function, and should cost
  // little: a flag, or a clock looked at. `signalled`: a system call was
  // just cut short by a signal, so that a caller who looks for signals only
  // now and then may look at once.
  std::function<bool(bool signalled)> interrupted;
  // Told how far the run has got: wherever `interrupted` would be asked
  // (set or not): after each block of input read (read again too), every
  // 4096 records held that a pass takes, ten times a second while an input
  // waits; and once more as each input and each pass over the records held
  // ends, with its counts final. Its counts never go back within a phase,
  // and the phases come in their order, each at most once. Called on the
  // thread that called the Run's function, between records, never from a
  // signal handler; it must not call the Run. It is called far more often
  // than a line is worth drawing, so it should look at a clock and return
  // (the tool draws four times a second): the run waits for it.
  std::function<void(const Progress& progress)> progress;
};

// The one line the tool shows for `progress` while a run goes on, and the
// Python module without tqdm, "hexlog: " before it:
//
//   1 of 3 files read, 212 of 580 MB, 731000 records, 0:04 left
//   writing 1200000 of 2000000 records, 0:07 left
//
// `inputs`: how many the run has; `bytes`: their size in all, 0 where that
// is not known (a pipe among them); `seconds`: how long the phase has gone
// on, from which the time left is reckoned at the rate so far (none
// without a size, nor in the first second of a phase).
std::string progressLine(const Progress& progress, uint32_t inputs, uint64_t bytes, double seconds);

// -s as the tool reads it: atoi's syntax (white space, a sign, digits up to
// the first other character; 0 without digits), the value saturated to 32
// bits where it does not fit, since any such prefix lies outside every
// record anyway.
int32_t parseStartChars(const char* text);

// date_created from SOURCE_DATE_EPOCH as `text` gives it (nullptr or empty:
// now): seconds since 1970 from 0 to the end of the year 9999, digits only.
// False, with `error` saying why, for anything else.
bool creationTime(const char* text, int64_t& seconds, std::string& error);

// Reads TIME as --from and --to take it: ISO 8601 in UTC ("2026-06-14",
// "2026-06-14T06:00:00Z", "2026-06-14T06:00Z", with an offset such as
// "+02:00" instead of Z) or "@SECONDS". False for anything else.
bool parseTime(const std::string& text, int64_t& seconds);

// ---- What happened to each input ---------------------------------------------------

struct FileCounts {
  uint64_t written = 0;     // records that reached the output
  uint64_t tooShort = 0;    // pieces too short to be records
  uint64_t notRecords = 0;  // lines whose time window is not eight hexadecimal digits
  uint64_t cut = 0;         // records of more than 32 readings, cut to 32
  uint64_t missing = 0;     // readings whose window is not eight hexadecimal digits
  uint64_t duplicates = 0;  // records identical to an earlier one, dropped
  uint64_t conflicts = 0;   // records with an earlier one's time but other readings, dropped
  uint64_t outside = 0;     // records outside the time window

  FileCounts& operator+=(const FileCounts& other);
};

// The counts by the names of the --summary table's columns, in its order
// (after the file's name): the tool's table, the HTML page's and the
// Python module's are these.
struct CountColumn {
  const char* name;
  uint64_t FileCounts::*count;
};
constexpr int kCountColumns = 8;
extern const CountColumn countColumns[kCountColumns];

// The kinds of event whose first occurrence a notice names.
enum class Event { kCut, kNotRecord, kMissing, kDuplicate, kConflict };
constexpr int kEvents = 5;

struct Place {
  bool seen = false;
  uint32_t file = 0;
  uint64_t line = 0;
};

// The counts of every input, by its index: the order the caller named them.
// Read only: the library counts, the caller reads the counts.
class Tally {
 public:
  uint32_t inputs() const { return static_cast<uint32_t>(names_.size()); }
  const std::string& name(uint32_t file) const { return names_[file]; }
  const std::vector<std::string>& names() const { return names_; }
  const FileCounts& counts(uint32_t file) const { return counts_[file]; }
  FileCounts total() const;
  // Where each kind of event first happened (the earliest place, not the
  // first found).
  const Place& first(Event event) const { return first_[static_cast<int>(event)]; }

 protected:
  std::vector<std::string> names_;
  std::vector<FileCounts> counts_;
  Place first_[kEvents];
};

// The whole's Tally of a dataset decoded in parts: each input's counts
// and the first place of each kind of event, summed over the parts by
// the caller.
class SummedTally : public Tally {
 public:
  SummedTally(std::vector<std::string> names, std::vector<FileCounts> counts, const Place (&first)[kEvents]);
};

// One line for each kind of line or record that was not written as it
// stood, naming the first, as the tool says them at the end of a run:
// "3 records repeated earlier ones and were dropped; the first: a.log:12".
std::vector<std::string> notices(const Tally& tally);

// ---- Arrays --------------------------------------------------------------------------

// One growing array of fixed-size elements. Its memory is mapped pages
// that grow without copying, so that its peak is what it holds.
class Column {
 public:
  explicit Column(size_t elementSize) : elementSize_(elementSize) {}
  ~Column();
  Column(Column&& other) noexcept;
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;

  size_t size() const { return size_; }
  size_t elementSize() const { return elementSize_; }
  void* data() const { return data_; }
  // Hands the memory over (nullptr if empty): the caller frees it with
  // freeColumnMemory(memory, bytes), and the column is empty again.
  void* release(size_t& bytes);

 private:
  // The library's writer of columns fills them.
  friend class ColumnsWriter;
  // Room for one more element at the end; nullptr when memory ran out.
  void* append() {
    if (size_ == capacity_ && !grow())
      return nullptr;
    return static_cast<char*>(data_) + elementSize_ * size_++;
  }
  // Before the first element: about how many the column will hold, so that
  // a large column is laid out as one from the start. Only a guess: the
  // column holds what is appended, whatever was expected.
  void expect(size_t elements) {
    if (data_ == nullptr)
      expected_ = elements;
  }
  bool grow();
  size_t elementSize_;
  size_t expected_ = 0;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t mapped_ = 0;
  void* data_ = nullptr;
};
void freeColumnMemory(void* memory, size_t bytes);

// The records of a Format::kColumns run, one element per record.
struct Columns {
  Column time{8};                  // int64: seconds since 1970
  std::vector<Column> readings;    // kReadings of uint32: each reading's bits (NaN where missing)
  std::vector<Column> flags;       // int8: the flag variables of the dataset, in its order
  std::vector<std::string> flagNames;  // their names
  Column file{4};                  // int32, with provenance: the input's index
  Column line{8};                  // int64, with provenance: the line, from 1
  // For each input, by its index, a hash of its records as written here
  // (time, readings, flags and place, in order): two runs over the same
  // bytes give the same, an input changed between them another.
  std::vector<uint64_t> digests;
};

// ---- The dataset's description -------------------------------------------------------

// What NCCSV and netCDF say of the records, and what xarray gets from the
// Python module: every variable with its type and attributes.
enum class ValueType { kByte, kUByte, kShort, kUShort, kInt, kUInt, kLong, kULong, kFloat, kDouble, kString };

struct Attribute {
  std::string variable;
  std::string name;          // "*SCALAR*" for a scalar variable's value
  ValueType type;
  size_t count;              // how many values (1 for a string)
  std::vector<char> values;  // the values as that many C numbers, or the string's bytes
  std::string text;          // the value as NCCSV writes it
};

enum class Series {
  kTime,        // the record's time
  kReading,     // one of the 32 readings
  kQc,          // a reading's gross-range flag
  kSourceFile,  // with provenance: the input's index
  kSourceLine,  // and the line
  kScalar,      // a *SCALAR* variable of the station's metadata
};

struct Variable {
  std::string name;
  Series series;
  int reading = -1;  // of a reading and of its flag
  ValueType type;    // in netCDF (the time is a String in NCCSV)
  std::vector<Attribute> attributes;
  const Attribute* value = nullptr;  // a scalar's value
  // A flag's test: -1 the metadata's valid range (validMin to validMax), 0
  // to 5 a QARTOD test of --qc (gross range, spike, rate of change, flat
  // line, climatology, location), 6 their aggregate.
  int qartod = -1;
  double validMin = 0;
  double validMax = 0;
  // With a station dimension (the dataset says IOOS-1.2): a series over
  // (station, time), a scalar over (station), the station's one.
  bool perStation = false;
};

struct Dataset {
  std::vector<Attribute> globals;
  std::vector<Variable> variables;
  // Whether the station is a dimension of its own, of length 1.
  bool stationDimension = false;
};

// How netCDF output stores each series variable: in chunks of this many
// records, deflated at this level after shuffling where a value has more
// than one byte (floats' bytes compress far better grouped by
// significance); where a record lacks a reading, this fill value
// (NC_FILL_FLOAT).
constexpr size_t kNetcdfChunk = 131072;
constexpr int kNetcdfDeflateLevel = 1;
constexpr bool kNetcdfShuffle = true;
constexpr float kNetcdfFill = 9.96921e+36f;

// ---- The run -------------------------------------------------------------------------

enum class FailureKind {
  kNone,
  kOpen,       // an input could not be opened (addFile): error is errno, text the path
  kMetadata,   // the metadata file: text is "FILE:LINE: what is wrong" or why it cannot be read
  kLibrary,    // the netCDF library cannot be used: text says why
  kRead,       // an input could not be read: error is errno
  kWrite,      // the output failed: error is errno, or text the netCDF library's words
  kTemporary,  // the spill file or memory failed: error is errno, text names the place
  kReread,     // an input read again to order its records was not as before: text says how
  kInterrupted,  // Settings::interrupted said so
  kUsage,      // the Run was used as it may not be: text says how
};

struct Failure {
  FailureKind kind = FailureKind::kNone;
  int error = 0;
  std::string text;
};

// The smallest buffer addInput() takes: one whole piece of a line (1023
// characters) and its NUL, with one byte to spare.
constexpr size_t kMinInputBuffer = 1025;

// For a dataset decoded in parts: from the whole's `count` times (each
// once, in order: its time variable) and the QC configuration of
// `settings`, the series of each of its contexts and the median step
// (into `whole`), and how many of the whole's records before a span's
// first and after its last a part must read for the flags of its own
// (`before`, `after`; 0 without QARTOD tests). False, with `failure`
// saying why, where the configuration cannot be read.
bool wholeSeries(const Settings& settings, const int64_t* times, size_t count, Whole& whole, uint64_t& before,
                 uint64_t& after, Failure& failure);

class Run {
 public:
  explicit Run(const Settings& settings);
  ~Run();
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // Each function returns false once the run has failed, failure() saying
  // why; the first failure is kept. Called out of order (addInput before
  // start, finish twice), it fails with FailureKind::kUsage.

  // What can fail before any output: reads and checks the metadata, loads
  // the netCDF library and tries the dataset's attributes on it. Reads no
  // input and writes nothing. start() does it when it has not been done;
  // calling it again returns what it returned.
  bool prepare();
  // Where netCDF output is created, when it is known only after prepare().
  void setNetcdfPath(const std::string& path);
  // The netCDF library took this run's dataset already: prepare() in
  // another process with the same settings (the tool's, where the library
  // is loaded apart first) returned true. prepare() loads the library but
  // does not try the dataset again, which for the flags of many tests
  // costs a tenth of a second.
  void setNetcdfTried();
  // Once, before any input: writes the csv header. Text goes to `outputFd`,
  // which stays the caller's (unused for netCDF and columns).
  bool start(int outputFd);
  // One input read to its end from `fd` (which stays the caller's, left at
  // its end) through `buf` (kMinInputBuffer bytes at least; 64 KiB reads
  // best); `name` is for notices, the summary, provenance, and for opening
  // the input again when ordering reads it a second time. May wait on a
  // pipe or terminal; Settings::interrupted is asked meanwhile.
  bool addInput(int fd, const std::string& name, char* buf, size_t size);
  // addInput() of the file at `path` ("-" for standard input, as the tool
  // names it: a file of that name is "./-"), opened and closed here; one
  // that cannot be opened fails with FailureKind::kOpen.
  bool addFile(const std::string& path, char* buf, size_t size);
  // The whole run over files, as the tool decodes its arguments: start(),
  // addFile() for each path in turn, stopping at the first that cannot be
  // opened or read (failure().text is its path then), and finish().
  bool decode(int outputFd, const std::vector<std::string>& paths, char* buf, size_t size);
  // Once, after the last input: the ordered records, the archive formats'
  // attributes and records, everything flushed (nothing of a failed run
  // needs to be kept: the caller discards its output).
  bool finish();
  // Writes the text output pending so far (before a message of the
  // caller's that must follow it); false if the output failed.
  bool flush();

  // Valid as long as the Run.
  const Failure& failure() const;
  const Tally& tally() const;
  // After finish(), for columns with describe or a part: the records written.
  const Statistics& statistics() const;
  // Format::kColumns, after finish(): the arrays, which the caller may
  // take (Column::release) or leave to the Run.
  Columns& columns();
  // After finish(), for the archive formats and columns: the variables and
  // their attributes, as netCDF output writes them. Valid as long as the
  // Run; empty before finish().
  const Dataset& dataset() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace hexlog
