// A run of the library: the inputs through the decoder and the stage into
// the writer of the chosen format.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "csv.hpp"
#include "dataset.hpp"
#include "hash.hpp"
#include "hexlog/hexlog.hpp"
#include "interrupt.hpp"
#include "metadata.hpp"
#include "nccsv.hpp"
#include "netcdf.hpp"
#include "output.hpp"
#include "record.hpp"
#include "reread.hpp"
#include "scan.hpp"
#include "stage.hpp"

namespace hexlog {

const char* readingName(int k) {
  return fields[k];
}

namespace {

// Records as plain or verbose text, after the stage.
class TextWriter : public RecordSink {
 public:
  TextWriter(Output& out, bool verbose, bool vectors) : out_(out), verbose_(verbose), vectors_(vectors) {}
  void put(const Record& record) override { printRecordText(out_, record, verbose_, vectors_); }

 private:
  Output& out_;
  bool verbose_;
  bool vectors_;
};

// Records into arrays, a block of records at a time, column by column:
// writing one column's elements one after another fills its cache lines
// whole, where a record at a time touches 33 lines in 33 places and waits
// on memory for each (several times slower for millions of records).
//
//   put:    rows_[0..kBlock)   time, words, flags, file, line of each record
//   flush:  time column  <- rows_[0].time, rows_[1].time, ...
//           reading 0    <- rows_[0].words[0], rows_[1].words[0], ...
class ColumnsWriter : public RecordSink {
 public:
  ColumnsWriter(Columns& columns, bool provenance) : columns_(columns), provenance_(provenance) {
    for (int k = 0; k < kFieldCount; ++k)
      columns_.readings.emplace_back(4);
  }
  void setFlags(const Dataset& dataset) {
    for (const Variable& variable : dataset.variables)
      if (variable.series == Series::kQc) {
        flags_.push_back(variable);
        columns_.flags.emplace_back(1);
      }
    rowFlags_.resize(kBlock * flags_.size());
  }
  void put(const Record& record) override {
    Row& row = rows_[pending_];
    row.time = record.time;
    for (uint32_t k = 0; k < kFieldCount; ++k)
      row.words[k] = k < record.count && (record.missing >> k & 1) == 0 ? record.words[k] : 0x7FC00000;
    for (size_t f = 0; f < flags_.size(); ++f)
      rowFlags_[pending_ * flags_.size() + f] = qcFlag(flags_[f], record);
    row.file = static_cast<int32_t>(record.file);
    row.line = static_cast<int64_t>(record.line);
    if (record.file >= hashes_.size())
      hashes_.resize(record.file + 1);
    Hash& hash = hashes_[record.file];
    hash.add(static_cast<uint64_t>(row.time));
    hash.add(row.words, sizeof row.words);
    hash.add(rowFlags_.data() + pending_ * flags_.size(), flags_.size());
    hash.add(record.line);
    if (++pending_ == kBlock)
      flush();
  }
  // Each input's hash, by its index, for `inputs` inputs.
  std::vector<uint64_t> digests(size_t inputs) const {
    std::vector<uint64_t> values(inputs, Hash().value());
    for (size_t file = 0; file < hashes_.size() && file < inputs; ++file)
      values[file] = hashes_[file].value();
    return values;
  }
  // About how many records will come: see Column::expect.
  void expect(size_t records) {
    columns_.time.expect(records);
    for (Column& column : columns_.readings)
      column.expect(records);
    for (Column& column : columns_.flags)
      column.expect(records);
    if (provenance_) {
      columns_.file.expect(records);
      columns_.line.expect(records);
    }
  }
  // Writes the records held back; after the last one.
  void flush() {
    if (failed_) {
      pending_ = 0;
      return;
    }
    bool written = append(columns_.time, [this](size_t i) { return rows_[i].time; });
    for (int k = 0; written && k < kFieldCount; ++k)
      written = append(columns_.readings[k], [this, k](size_t i) { return rows_[i].words[k]; });
    size_t flags = flags_.size();
    for (size_t f = 0; written && f < flags; ++f)
      written = append(columns_.flags[f], [this, f, flags](size_t i) { return rowFlags_[i * flags + f]; });
    if (written && provenance_)
      written = append(columns_.file, [this](size_t i) { return rows_[i].file; }) &&
                append(columns_.line, [this](size_t i) { return rows_[i].line; });
    failed_ = !written;
    pending_ = 0;
  }
  bool failed() const { return failed_; }

 private:
  static constexpr size_t kBlock = 64;
  struct Row {
    int64_t time;
    uint32_t words[kFieldCount];
    int32_t file;
    int64_t line;
  };
  // The pending records' values of one column: get(i) for record i.
  template <typename Get>
  bool append(Column& column, Get get) {
    for (size_t i = 0; i < pending_; ++i) {
      auto value = get(i);
      void* at = column.append();
      if (at == nullptr)
        return false;
      std::memcpy(at, &value, sizeof value);
    }
    return true;
  }

  Columns& columns_;
  bool provenance_;
  std::vector<Variable> flags_;
  Row rows_[kBlock];
  size_t pending_ = 0;
  std::vector<int8_t> rowFlags_;
  std::vector<Hash> hashes_;
  bool failed_ = false;
};

// Hands each record to two sinks.
class Tee : public RecordSink {
 public:
  Tee(RecordSink& first, RecordSink& second) : first_(first), second_(second) {}
  void put(const Record& record) override {
    first_.put(record);
    second_.put(record);
  }

 private:
  RecordSink& first_;
  RecordSink& second_;
};

}  // namespace

class Run::Impl : public PieceSink {
 public:
  explicit Impl(const Settings& settings) : settings_(settings), interrupt_(settings.interrupted) {
    // Where the vector code is not built or the CPU lacks it, the scalar
    // code does the whole job.
    settings_.vectors = settings.vectors && vectorsAvailable();
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  bool prepare();
  bool start(int outputFd);
  bool addInput(int fd, const std::string& name, char* buf, size_t size);
  bool finish();

  void record(const char* text, size_t length, uint64_t line) override {
    decoder_.printOneRecord(text, length, line);
  }
  void tooShort(uint64_t) override { ++tally_.counts(decoder_.file).tooShort; }
  void beforeWait() override {
    if (output_.pending())
      output_.flush();
  }
  bool stopped() override {
    return output_.error() != 0 || (stage_ != nullptr && stage_->error() != 0) ||
           (columnsWriter_ != nullptr && columnsWriter_->failed()) ||
           (reread_ != nullptr && reread_->failure().kind != FailureKind::kNone) || interrupt_.now();
  }
  bool interruptible() override { return interrupt_.enabled(); }

  // A Run's function, with memory that ran out turned into its failure:
  // nothing of the library throws past it.
  template <typename Function>
  bool guarded(Function function) {
    try {
      return function();
    } catch (const std::bad_alloc&) {
      return fail(FailureKind::kTemporary, ENOMEM, "memory");
    }
  }

  bool fail(FailureKind kind, int error, const std::string& text) {
    if (failure_.kind == FailureKind::kNone)
      failure_ = Failure{kind, error, text};
    return false;
  }
  // The first failure of the output or the stage, if any.
  bool checkOutputs() {
    if (interrupt_.happened())
      return fail(FailureKind::kInterrupted, EINTR, "interrupted");
    if (output_.error() != 0)
      return fail(FailureKind::kWrite, output_.error(), "");
    if (reread_ != nullptr && reread_->failure().kind != FailureKind::kNone) {
      const Failure& failure = reread_->failure();
      return fail(failure.kind, failure.error, failure.text);
    }
    if (stage_ != nullptr && stage_->error() != 0)
      return fail(FailureKind::kTemporary, stage_->error(), stage_->errorPlace());
    if (columnsWriter_ != nullptr && columnsWriter_->failed())
      return fail(FailureKind::kTemporary, ENOMEM, "memory for the arrays");
    return true;
  }
  DatasetSettings datasetSettings(bool netcdf) const {
    DatasetSettings dataset;
    dataset.netcdf = netcdf;
    dataset.provenance = settings_.provenance;
    dataset.sources = tally_.names();
    dataset.created = settings_.created;
    dataset.history = settings_.history;
    return dataset;
  }

  Settings settings_;
  Interrupt interrupt_;
  bool prepared_ = false;
  bool started_ = false;
  bool finished_ = false;
  Failure failure_;
  Tally tally_;
  Output output_;
  Decoder decoder_;
  Metadata metadata_;
  std::unique_ptr<Stage> stage_;
  std::unique_ptr<Reread> reread_;
  std::unique_ptr<RecordSink> writer_;
  ColumnsWriter* columnsWriter_ = nullptr;
  std::unique_ptr<Tee> tee_;
  Stats stats_;
  Dataset dataset_;
  Columns columns_;
};

bool Run::Impl::prepare() {
  if (prepared_)
    return failure_.kind == FailureKind::kNone;
  prepared_ = true;
  if (!settings_.metadata.empty()) {
    std::string error;
    if (!readMetadata(settings_.metadata.c_str(), metadata_, error))
      return fail(FailureKind::kMetadata, 0, error);
  }
  if (settings_.format == Format::kNetcdf) {
    std::string error;
    if (!NetcdfWriter::load(error))
      return fail(FailureKind::kLibrary, 0, error);
    // Every attribute the records could give it, with the user's.
    Stats every;
    every.records = 1;
    for (Stats::Range& range : every.readings)
      range.any = true;
    if (!NetcdfWriter::trial(describeDataset(metadata_, every, datasetSettings(true)), error))
      return fail(FailureKind::kMetadata, 0,
                  (settings_.metadata.empty() ? std::string("the dataset") : settings_.metadata) +
                      ": the netCDF library cannot store it: " + error);
  }
  return true;
}

bool Run::Impl::start(int outputFd) {
  if (!prepare())
    return false;
  Format format = settings_.format;
  output_.setFd(outputFd);
  decoder_.startChars = settings_.startChars;
  decoder_.verbose = format == Format::kVerbose;
  decoder_.vectors = settings_.vectors;
  decoder_.tally = &tally_;

  bool text = format == Format::kPlain || format == Format::kVerbose;
  Order order = settings_.order;
  if (order == Order::kDefault)
    order = format == Format::kNccsv || format == Format::kNetcdf ? Order::kTime : Order::kInput;
  if (format == Format::kNetcdf)
    order = Order::kTime;  // its time is a CF coordinate variable: strictly increasing
  StageSettings stage;
  stage.ordered = order == Order::kTime;
  // The archive formats write what they compute from the records before
  // the records themselves.
  stage.retained = format == Format::kNccsv || format == Format::kNetcdf;
  stage.hasFrom = settings_.hasFrom;
  stage.hasTo = settings_.hasTo;
  stage.from = settings_.from;
  stage.to = settings_.to;
  stage.memory = settings_.memory;
  stage.directory = settings_.temporaryDirectory;

  // The hot path: plain and verbose text straight from the decoder.
  if (text && !stage.ordered && !stage.hasFrom && !stage.hasTo) {
    decoder_.text = &output_;
    return true;
  }
  decoder_.fieldRules = !text;
  const Tally* sources = settings_.provenance ? &tally_ : nullptr;
  RecordSink* streamTo = nullptr;
  switch (format) {
    case Format::kPlain:
    case Format::kVerbose:
      writer_.reset(new TextWriter(output_, format == Format::kVerbose, settings_.vectors));
      streamTo = writer_.get();
      break;
    case Format::kCsv: {
      CsvWriter* csv = new CsvWriter(output_, settings_.epochTime, settings_.vectors, sources);
      writer_.reset(csv);
      csv->writeHeader();
      streamTo = csv;
      break;
    }
    case Format::kNccsv:
    case Format::kNetcdf:
      break;  // their writers need the whole dataset's description first
    case Format::kColumns:
      columnsWriter_ = new ColumnsWriter(columns_, settings_.provenance);
      writer_.reset(columnsWriter_);
      columnsWriter_->setFlags(describeDataset(metadata_, stats_, datasetSettings(true)));
      streamTo = columnsWriter_;
      if (settings_.describe) {
        tee_.reset(new Tee(stats_, *columnsWriter_));
        streamTo = tee_.get();
      }
      break;
  }
  stage_.reset(new Stage(stage, tally_, streamTo));
  stage_->setInterrupt(&interrupt_);
  if (stage_->retains()) {
    reread_.reset(new Reread(decoder_, stage_->window(), interrupt_));
    stage_->setReread(reread_.get());
    if (format == Format::kNccsv || format == Format::kNetcdf)
      stage_->setEarly(&stats_);
  }
  decoder_.records = stage_.get();
  return true;
}

// A record line as the instrument writes it: a 24-character prefix, the
// time and 32 readings of 8 digits, CR LF.
constexpr size_t kRecordLineBytes = 24 + 8 + 32 * 8 + 2;

bool Run::Impl::addInput(int fd, const std::string& name, char* buf, size_t size) {
  decoder_.file = tally_.addInput(name);
  // The arrays of a large file are laid out as large ones from the start;
  // not with a time window, which may leave out most of the records.
  struct stat status;
  bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  if (columnsWriter_ != nullptr && !settings_.hasFrom && !settings_.hasTo && regular)
    columnsWriter_->expect(static_cast<size_t>(status.st_size) / kRecordLineBytes);
  // A file that can be read again need not be spilled.
  if (reread_ != nullptr && !reread_->add(fd, decoder_.file, name))
    stage_->inputLost();
  if (!scanFile(fd, buf, size, settings_.vectors, *this)) {
    int error = errno;
    checkOutputs();
    return fail(FailureKind::kRead, error, name);
  }
  if (reread_ != nullptr)
    reread_->ended(fd);
  return checkOutputs();
}

bool Run::Impl::finish() {
  if (stage_ != nullptr && stage_->retains()) {
    Format format = settings_.format;
    if (format == Format::kNccsv || format == Format::kNetcdf) {
      // Once for what the attributes say of the records, once to write
      // them; what the stage let go it showed the attributes already.
      if (!stage_->allLetGo()) {
        stats_ = Stats();
        if (!stage_->replay(stats_, false))
          return checkOutputs();
      }
      dataset_ = describeDataset(metadata_, stats_, datasetSettings(format == Format::kNetcdf));
      if (format == Format::kNccsv) {
        NccsvWriter writer(output_, dataset_, settings_.vectors);
        writer.writeHeader();
        if (!stage_->replay(writer, true))
          return checkOutputs();
        writer.writeEnd();
      } else {
        NetcdfWriter writer(dataset_);
        if (!writer.create(settings_.netcdfPath.c_str()))
          return fail(FailureKind::kWrite, 0, writer.error());
        stage_->replay(writer, true);
        if (!checkOutputs())
          return false;
        if (!writer.finish())
          return fail(FailureKind::kWrite, 0, writer.error());
      }
    } else {
      RecordSink* sink = tee_ != nullptr ? static_cast<RecordSink*>(tee_.get()) : writer_.get();
      stage_->replay(*sink, true);
    }
  }
  if (columnsWriter_ != nullptr) {
    columnsWriter_->flush();
    columns_.digests = columnsWriter_->digests(tally_.inputs());
  }
  if (settings_.format == Format::kColumns && settings_.describe)
    dataset_ = describeDataset(metadata_, stats_, datasetSettings(true));
  if (!checkOutputs())
    return false;
  if (settings_.format != Format::kNetcdf && settings_.format != Format::kColumns && !output_.flush())
    return checkOutputs();
  return true;
}

// ---- Run -------------------------------------------------------------------------------

Run::Run(const Settings& settings) : impl_(new Impl(settings)) {}
Run::~Run() = default;

bool Run::prepare() {
  return impl_->guarded([this] { return impl_->prepare(); });
}

void Run::setNetcdfPath(const std::string& path) {
  impl_->settings_.netcdfPath = path;
}

bool Run::start(int outputFd) {
  return impl_->guarded([&] {
    if (impl_->started_)
      return impl_->fail(FailureKind::kUsage, 0, "start() called twice");
    impl_->started_ = true;
    return impl_->start(outputFd) && impl_->checkOutputs();
  });
}

bool Run::addInput(int fd, const std::string& name, char* buf, size_t size) {
  return impl_->guarded([&] {
    if (!impl_->started_ || impl_->finished_)
      return impl_->fail(FailureKind::kUsage, 0, "addInput() outside start() and finish()");
    if (buf == nullptr || size < kMinScanBuffer)
      return impl_->fail(FailureKind::kUsage, 0, "addInput() needs a buffer of at least 1025 bytes");
    if (impl_->failure_.kind != FailureKind::kNone)
      return false;
    return impl_->addInput(fd, name, buf, size);
  });
}

bool Run::finish() {
  return impl_->guarded([&] {
    if (!impl_->started_ || impl_->finished_)
      return impl_->fail(FailureKind::kUsage, 0, "finish() without start(), or twice");
    impl_->finished_ = true;
    if (impl_->failure_.kind != FailureKind::kNone)
      return false;
    return impl_->finish();
  });
}

bool Run::flush() {
  return impl_->output_.flush();
}

const Failure& Run::failure() const {
  return impl_->failure_;
}

const Tally& Run::tally() const {
  return impl_->tally_;
}

Columns& Run::columns() {
  return impl_->columns_;
}

const Dataset& Run::dataset() const {
  return impl_->dataset_;
}

}  // namespace hexlog
