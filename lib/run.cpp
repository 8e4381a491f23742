// A run of the library: the inputs through the decoder and the stage into
// the one writer of the chosen format.
//
//   addInput: scanFile --piece--> Run::Impl::record
//               plain/verbose in input order:  TextWriter::printOneRecord   (the hot path)
//               else:  Decoder --Record--> Stage --> Writer
//   finish:   Stage::replay --> Writer (begun first with the dataset's
//             description, where the writer's header says what the records hold)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>

#include "columns.hpp"
#include "csv.hpp"
#include "dataset.hpp"
#include "files.hpp"
#include "hexlog/hexlog.hpp"
#include "html.hpp"
#include "interrupt.hpp"
#include "metadata.hpp"
#include "nccsv.hpp"
#include "netcdf.hpp"
#include "output.hpp"
#include "qc.hpp"
#include "qc_config.hpp"
#include "record.hpp"
#include "reread.hpp"
#include "scan.hpp"
#include "stage.hpp"
#include "text.hpp"

namespace hexlog {

namespace {

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

// Hands on the records of a window: a part's own, of those read for
// their flags too.
class Within : public RecordSink {
 public:
  Within(const Window& window, RecordSink& next) : window_(window), next_(next) {}
  void put(const Record& record) override {
    if (window_.contains(record.time))
      next_.put(record);
  }

 private:
  Window window_;
  RecordSink& next_;
};

// A record line as the instrument writes it: a 24-character prefix, the
// time and 32 readings of 8 digits, CR LF.
constexpr size_t kRecordLineBytes = 24 + 8 + 32 * 8 + 2;

}  // namespace

class Run::Impl : public PieceSink {
 public:
  explicit Impl(const Settings& settings) : settings_(settings), interrupt_(settings.interrupted) {
    // Where the vector code is not built or the CPU lacks it, the scalar
    // code does the whole job.
    settings_.vectors = settings.vectors && vectorsAvailable();
    if (settings_.progress)
      interrupt_.setReport([this] { report(); });
  }

  bool prepare();
  bool start(int outputFd);
  bool addInput(int fd, const std::string& name, char* buf, size_t size);
  bool addFile(const std::string& path, char* buf, size_t size);
  bool finish();

  void record(const char* text, size_t length, uint64_t line) override {
    if (fastText_ != nullptr) {
      fastText_->printOneRecord(text, length);
      ++tally_.counts(decoder_.file).written;
    } else {
      decoder_.decode(text, length, line);
    }
  }
  void tooShort(uint64_t) override { ++tally_.counts(decoder_.file).tooShort; }
  void blockRead(size_t bytes) override { bytes_ += bytes; }
  void beforeWait() override {
    if (output_.pending())
      output_.flush();
  }
  bool stopped() override {
    return output_.error() != 0 || (stage_ != nullptr && stage_->error() != 0) ||
           writer_->failure().kind != FailureKind::kNone ||
           (reread_ != nullptr && reread_->failure().kind != FailureKind::kNone) || interrupt_.now();
  }
  bool interruptible() override { return interrupt_.enabled(); }
  bool cutShort() override { return interrupt_.now(true) || stopped(); }

  // Settings::progress told how far the run has got.
  void report() {
    if (!settings_.progress)
      return;
    Progress progress;
    progress.phase = phase_;
    progress.inputsDone = inputsDone_;
    progress.bytes = bytes_;
    // The hot path counts its records only as written, each input's own.
    uint64_t last = tally_.inputs() > 0 ? tally_.counts(tally_.inputs() - 1).written : 0;
    progress.records = fastText_ != nullptr ? fastRecordsBefore_ + last : decoder_.decoded;
    if (phase_ != Progress::Phase::kReading && stage_ != nullptr) {
      progress.done = stage_->replayed();
      progress.total = stage_->held();
    }
    settings_.progress(progress);
  }

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
  // The first failure of the run's parts, if any.
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
    Failure failure = writer_ != nullptr ? writer_->failure() : Failure();
    if (failure.kind != FailureKind::kNone)
      return fail(failure.kind, failure.error, failure.text);
    return true;
  }
  DatasetSettings datasetSettings(bool netcdf) const {
    DatasetSettings dataset;
    dataset.netcdf = netcdf;
    dataset.qc = qc_.empty() ? nullptr : &qc_;
    dataset.provenance = settings_.provenance;
    dataset.sources = settings_.part ? settings_.whole.inputs : tally_.names();
    dataset.created = settings_.created;
    dataset.history = settings_.history;
    return dataset;
  }
  // The dataset of the records written, or of the whole a part is of.
  Dataset described(bool netcdf) const {
    if (settings_.part)
      return describeDataset(metadata_, settings_.whole.statistics, settings_.whole.medianStep,
                             datasetSettings(netcdf));
    return describeDataset(metadata_, stats_, stats_.steps.median(), datasetSettings(netcdf));
  }
  // The one choice of the writer.
  std::unique_ptr<Writer> makeWriter();
  // Whether the records go through a first pass before they are written:
  // for what the writer's header says of them, or for the QARTOD tests'
  // series (a part is given the whole's).
  bool firstPass() const { return writer_->describedFirst() || (!qc_.empty() && !settings_.part); }
  // The first pass's sink: the statistics, and the QARTOD tests' series.
  RecordSink* firstPassSink() {
    if (settings_.part) {
      if (firstPassWithin_ == nullptr)
        firstPassWithin_.reset(new Within(counted_, stats_));
      return firstPassWithin_.get();
    }
    if (series_ == nullptr)
      return &stats_;
    if (firstPassTee_ == nullptr)
      firstPassTee_.reset(new Tee(stats_, *series_));
    return firstPassTee_.get();
  }
  // Hands the records on through the Flagger, where the dataset has
  // flags; of a part, only its own records go on, the others were read for
  // their flags alone.
  RecordSink* flagged(const Dataset& dataset, RecordSink* sink) {
    if (settings_.part) {
      within_.reset(new Within(counted_, *sink));
      sink = within_.get();
    }
    if (flagVariables(dataset).empty())
      return sink;
    double latitude = NAN, longitude = NAN;
    scalarNumber(metadata_, "latitude", latitude);
    scalarNumber(metadata_, "longitude", longitude);
    if (!qc_.empty())
      seriesFacts_ = settings_.part ? settings_.whole.contexts : series_->facts();
    flagger_.reset(new Flagger(dataset, qc_, qc_.empty() ? nullptr : &seriesFacts_, latitude, longitude, *sink));
    return flagger_.get();
  }

  Settings settings_;
  Interrupt interrupt_;
  bool prepared_ = false;
  bool netcdfTried_ = false;  // the dataset tried on the library elsewhere
  bool started_ = false;
  bool finished_ = false;
  Failure failure_;
  Counter tally_;
  Output output_;
  Decoder decoder_;
  Metadata metadata_;
  std::unique_ptr<Writer> writer_;
  TextWriter* fastText_ = nullptr;        // the writer, when lines go straight to it
  ColumnsWriter* columnsWriter_ = nullptr;  // the writer, for arrays
  std::unique_ptr<Stage> stage_;
  std::unique_ptr<Reread> reread_;
  std::unique_ptr<Tee> tee_;
  QcConfig qc_;
  std::unique_ptr<QcSeries> series_;   // the first pass, with the QARTOD tests
  std::vector<SeriesFacts> seriesFacts_;  // what the tests take of each context's series
  Window counted_;                  // a part's own records
  std::unique_ptr<Within> within_, firstPassWithin_;
  std::unique_ptr<Tee> firstPassTee_;  // stats and series together
  std::unique_ptr<Flagger> flagger_;
  Dataset flagsDataset_;  // the flags as the start knows them, for writers begun then
  Stats stats_;
  Dataset dataset_;
  Columns columns_;
  // How far the run has got, for Settings::progress.
  Progress::Phase phase_ = Progress::Phase::kReading;
  uint32_t inputsDone_ = 0;
  uint64_t bytes_ = 0;
  uint64_t fastRecordsBefore_ = 0;  // the hot path's records of the inputs before the last
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
  if (!settings_.qc.empty()) {
    std::string error;
    if (!readQcConfig(settings_.qc.c_str(), qc_, error))
      return fail(FailureKind::kMetadata, 0, error);
    if (settings_.order == Order::kInput || settings_.format == Format::kPlain ||
        settings_.format == Format::kVerbose)
      return fail(FailureKind::kUsage, 0, "the QARTOD tests take each reading's series in time order: not in input "
                                          "order, and not in plain or verbose text");
    double position;
    for (const QcContext& context : qc_.contexts)
      for (const QcStream& stream : context.streams)
        for (const QcTest& test : stream.tests)
          if (test.kind == QcTestKind::kLocation &&
              (!scalarNumber(metadata_, "latitude", position) || !scalarNumber(metadata_, "longitude", position)))
            return fail(FailureKind::kMetadata, 0,
                        settings_.qc + ":" + std::to_string(test.line) +
                            ": location_test takes the station's position: give latitude and longitude as numbers "
                            "(latitude,*SCALAR*,36.75d) in the metadata");
    if (settings_.part && settings_.whole.contexts.size() != qc_.contexts.size())
      return fail(FailureKind::kUsage, 0, "a part's QARTOD tests take the whole's series: one for each context");
    if (!settings_.part)
      series_.reset(new QcSeries(qc_));
  }
  if (settings_.part && settings_.order == Order::kInput)
    return fail(FailureKind::kUsage, 0, "a part of a dataset is in time order");
  if (settings_.format == Format::kNetcdf) {
    std::string error;
    if (!NetcdfWriter::load(error))
      return fail(FailureKind::kLibrary, 0, error);
    if (netcdfTried_)
      return true;
    // Every attribute the records could give it, with the user's.
    Stats every;
    every.records = 1;
    for (Stats::Range& range : every.readings)
      range.any = true;
    Dataset tried = describeDataset(metadata_, every, 0, datasetSettings(true));
    // The QARTOD flags' attributes are the tool's, alike for each reading
    // but for the metadata's: only a flag the metadata speaks of needs
    // trying, and trying them all costs a tenth of a second.
    auto own = [this](const Variable& variable) {
      return variable.qartod >= 0 &&
             std::none_of(metadata_.attributes.begin(), metadata_.attributes.end(),
                          [&](const Attribute& attribute) { return attribute.variable == variable.name; });
    };
    tried.variables.erase(std::remove_if(tried.variables.begin(), tried.variables.end(), own), tried.variables.end());
    if (!NetcdfWriter::trial(tried, error))
      return fail(FailureKind::kMetadata, 0,
                  (settings_.metadata.empty() ? std::string("the dataset") : settings_.metadata) +
                      ": the netCDF library cannot store it: " + error);
  }
  return true;
}

std::unique_ptr<Writer> Run::Impl::makeWriter() {
  switch (settings_.format) {
    case Format::kPlain:
    case Format::kVerbose:
      return std::unique_ptr<Writer>(new TextWriter(output_, settings_.startChars,
                                                    settings_.format == Format::kVerbose, settings_.vectors));
    case Format::kCsv:
      return std::unique_ptr<Writer>(
          new CsvWriter(output_, settings_.epochTime, settings_.vectors, settings_.provenance ? &tally_ : nullptr));
    case Format::kNccsv: return std::unique_ptr<Writer>(new NccsvWriter(output_, settings_.vectors));
    case Format::kNetcdf: return std::unique_ptr<Writer>(new NetcdfWriter(settings_.netcdfPath));
    case Format::kHtml:
      return std::unique_ptr<Writer>(
          new HtmlWriter(output_, stats_, tally_, settings_.created, settings_.history));
    case Format::kColumns: break;
  }
  columnsWriter_ = new ColumnsWriter(columns_, settings_.provenance);
  return std::unique_ptr<Writer>(columnsWriter_);
}

bool Run::Impl::start(int outputFd) {
  if (!prepare())
    return false;
  Format format = settings_.format;
  output_.setFd(outputFd);
  writer_ = makeWriter();

  bool text = format == Format::kPlain || format == Format::kVerbose;
  Order order = settings_.order;
  if (order == Order::kDefault)
    order = format == Format::kNccsv || format == Format::kNetcdf || !qc_.empty() ? Order::kTime : Order::kInput;
  // netCDF's time is a CF coordinate variable: strictly increasing; the
  // page's lines are drawn left to right.
  if (format == Format::kNetcdf || format == Format::kHtml || settings_.part)
    order = Order::kTime;
  StageSettings stage;
  stage.ordered = order == Order::kTime;
  // The archive formats write what they compute from the records before
  // the records themselves; the QARTOD tests need them all seen first too.
  stage.retained = firstPass();
  counted_ = Window{settings_.hasFrom, settings_.hasTo, settings_.from, settings_.to};
  stage.window = stage.counted = counted_;
  if (settings_.part) {
    stage.window.from = std::min(settings_.flagsFrom, settings_.from);
    stage.window.to = std::max(settings_.flagsTo, settings_.to);
  }
  stage.spill.memory = settings_.memory;
  stage.spill.directory = settings_.temporaryDirectory;

  // The flags' variables, for the csv columns and the arrays, are known
  // before any record; the rest of the dataset needs nothing of them.
  flagsDataset_ = describeDataset(metadata_, stats_, 0, datasetSettings(true));
  if (!writer_->describedFirst())
    writer_->begin(flagsDataset_);
  // The hot path: plain and verbose text straight from the lines.
  if (text && !stage.ordered && !stage.window.hasFrom && !stage.window.hasTo) {
    fastText_ = static_cast<TextWriter*>(writer_.get());
    return true;
  }
  decoder_.startChars = settings_.startChars;
  decoder_.vectors = settings_.vectors;
  decoder_.fieldRules = !text;
  decoder_.tally = &tally_;
  RecordSink* streamTo = writer_.get();
  if (((columnsWriter_ != nullptr && settings_.describe) || settings_.part) && !firstPass()) {
    tee_.reset(new Tee(stats_, *writer_));
    streamTo = tee_.get();
  }
  if (!stage.retained)
    streamTo = flagged(flagsDataset_, streamTo);
  stage_.reset(new Stage(stage, tally_, streamTo));
  stage_->setInterrupt(&interrupt_);
  if (stage_->retains()) {
    reread_.reset(new Reread(decoder_, stage_->window(), interrupt_));
    stage_->setReread(reread_.get());
    if (firstPass())
      stage_->setEarly(firstPassSink());
  }
  decoder_.records = stage_.get();
  return true;
}

bool Run::Impl::addInput(int fd, const std::string& name, char* buf, size_t size) {
  if (fastText_ != nullptr && tally_.inputs() > 0)
    fastRecordsBefore_ += tally_.counts(tally_.inputs() - 1).written;
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
  ++inputsDone_;
  report();
  return checkOutputs();
}

bool Run::Impl::addFile(const std::string& path, char* buf, size_t size) {
  // "-" is standard input; a file of that name is "./-".
  bool standardInput = path == "-";
  int fd = STDIN_FILENO;
  // Opening a FIFO waits for its writer; the caller may stop the wait.
  while (!standardInput && (fd = openFile(path.c_str(), O_RDONLY)) < 0 && errno == EINTR)
    if (interrupt_.now(true))
      return checkOutputs();
  if (fd < 0)
    return fail(FailureKind::kOpen, errno, path);
  bool added = addInput(fd, path, buf, size);
  if (!standardInput)
    close(fd);
  return added;
}

bool Run::Impl::finish() {
  if (stage_ != nullptr && stage_->retains()) {
    if (firstPass() && !stage_->allLetGo()) {
      // Once for what the attributes and the tests need of the records,
      // once to write them; what the stage let go it showed them already.
      stats_ = Stats();
      if (series_ != nullptr)
        series_->clear();
      phase_ = Progress::Phase::kFirstPass;
      if (!stage_->replay(*firstPassSink(), false))
        return checkOutputs();
      report();
    }
    if (writer_->describedFirst()) {
      dataset_ = described(settings_.format == Format::kNetcdf);
      writer_->begin(dataset_);
      if (!checkOutputs())
        return false;
    }
    RecordSink* sink = tee_ != nullptr ? static_cast<RecordSink*>(tee_.get()) : writer_.get();
    sink = flagged(writer_->describedFirst() ? dataset_ : flagsDataset_, sink);
    // A writer whose records were not all written is not ended: a file cut
    // short says so, rather than closing as if whole.
    phase_ = Progress::Phase::kWriting;
    if (!stage_->replay(*sink, true))
      return checkOutputs();
    report();
  }
  if (flagger_ != nullptr)
    flagger_->end();
  if (columnsWriter_ != nullptr)
    columnsWriter_->setInputs(tally_.inputs());
  if (!checkOutputs())
    return false;
  writer_->end();
  if (settings_.format == Format::kColumns && settings_.describe)
    dataset_ = described(true);
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

void Run::setNetcdfTried() {
  impl_->netcdfTried_ = true;
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
    if (buf == nullptr || size < kMinInputBuffer)
      return impl_->fail(FailureKind::kUsage, 0, "addInput() needs a buffer of at least 1025 bytes");
    if (impl_->failure_.kind != FailureKind::kNone)
      return false;
    return impl_->addInput(fd, name, buf, size);
  });
}

bool Run::addFile(const std::string& path, char* buf, size_t size) {
  return impl_->guarded([&] {
    if (!impl_->started_ || impl_->finished_)
      return impl_->fail(FailureKind::kUsage, 0, "addFile() outside start() and finish()");
    if (buf == nullptr || size < kMinInputBuffer)
      return impl_->fail(FailureKind::kUsage, 0, "addFile() needs a buffer of at least 1025 bytes");
    if (impl_->failure_.kind != FailureKind::kNone)
      return false;
    return impl_->addFile(path, buf, size);
  });
}

bool Run::decode(int outputFd, const std::vector<std::string>& paths, char* buf, size_t size) {
  if (!start(outputFd))
    return false;
  for (const std::string& path : paths)
    if (!addFile(path, buf, size))
      return false;
  return finish();
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

const Statistics& Run::statistics() const {
  return impl_->stats_;
}

}  // namespace hexlog
