// hexlog._hexlog: one run of the library into arrays, for the Python package.
//
//   decode([b"day.log", ...], settings...) -> {
//     "failure":  None, or (kind, errno, text, input): why the run stopped
//     "time":     datetime64[s]    one element per record, in the run's order
//     "readings": 32 float32       each reading's bits as the log holds them (NaN where missing)
//     "flags":    int8             the dataset's _qc variables, in its order
//     "file":     int32            with provenance: the input's index
//     "line":     int64            with provenance: the line, from 1
//     "dataset":  None, or the variables and attributes netCDF output would write
//     "digests":  per input, the library's hash of its records as written here
//     "counts":   int64 (inputs + 1, 8): the --summary table's columns, each
//                 input's row, then the total
//     "first":    for each kind of event, in the library's order, (seen, input, line)
//     "notices":  the tool's end-of-run notices, as bytes (they hold the names)
//     "statistics": with describe or a part, the records written, as
//                 (records, first time, last time, any, min, max), the last
//                 three arrays of a value for each reading
//   }
//
// progress: None, or a callable told how far the run has got (Watcher).
//
// A part of a dataset decoded in parts (part=) is a dict: "flags_from",
// "flags_to", "contexts" ([(records, median step)]), and for describe
// "inputs", "statistics" (the parts', summed here) and "median_step" of the
// whole. For the whole:
//
//   whole_series(qc, times) -> (median step, contexts, before, after)
//   tally(names, counts, first) -> {"counts", "notices"} of counts summed over parts
//
// The arrays are the library's own mapped pages, handed over without a copy:
// numpy frees them (freeColumnMemory) when the last array using them goes.
// The decoding runs without the GIL, so threads decode files side by side;
// Ctrl-C still stops it, and raises KeyboardInterrupt, within a fraction of
// a second.
#include <fcntl.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hexlog/hexlog.hpp"

namespace py = pybind11;

namespace {

struct Failure {
  std::string kind;  // "open", "read", "metadata", "temporary", "write", "library", "reread"
  int error = 0;
  std::string text;
  long input = -1;  // the input's index, for "open" and "read"
};

// A Python exception caught where it cannot be raised (the run goes on
// without the GIL), held until it can be.
class Caught {
 public:
  bool any() const { return error_ != nullptr; }
  void keep(py::error_already_set&& error) { error_ = std::make_unique<py::error_already_set>(std::move(error)); }
  // With the GIL: the exception kept, if any, raised.
  void raise() {
    if (error_ == nullptr)
      return;
    py::error_already_set error = *error_;
    error_.reset();
    throw error;
  }

 private:
  std::unique_ptr<py::error_already_set> error_;
};

// Python's own SIGINT handler only marks the signal; the exception it
// raises comes when Python code next runs, which is after the run unless the
// decoding looks for it. Looking takes the GIL, so it is done only every
// 50 ms, and only on the main thread, the one signals are handled on.
class Signals {
 public:
  explicit Signals(bool mainThread) : mainThread_(mainThread) {}

  // Without the GIL: true once a handler raised. `now` looks whatever the
  // clock says, for a system call that a signal cut short.
  bool raised(bool now = false) {
    if (caught_.any())
      return true;
    if (!mainThread_)
      return false;
    auto clock = std::chrono::steady_clock::now();
    if (!now && clock < next_)
      return false;
    next_ = clock + std::chrono::milliseconds(50);
    py::gil_scoped_acquire held;
    if (PyErr_CheckSignals() != 0)
      caught_.keep(py::error_already_set());
    return caught_.any();
  }
  // With the GIL, after the run: the handler's exception, raised in Python.
  void raiseCaught() { caught_.raise(); }

 private:
  bool mainThread_;
  std::chrono::steady_clock::time_point next_{};
  Caught caught_;
};

// Settings::progress handed on to a Python callable, as
//
//   callable(phase, inputs_done, inputs, size, size_total, records, done, total, line)
//
// phase "reading", "first pass" or "writing"; size_total 0 where an input is
// no regular file; line the tool's progress line. Taking the GIL costs far
// more than the library's asking, so the clock decides first: the callable
// hears of a run only once it has gone on for a second, then at most four
// times a second, at the end of each phase once it has been, and once
// more after the run with its last counts. What it raises stops the run
// and is raised in its place.
class Watcher {
 public:
  using Clock = std::chrono::steady_clock;

  Watcher(py::object callable, const std::vector<std::string>& paths) : callable_(std::move(callable)) {
    inputs_ = static_cast<uint32_t>(paths.size());
    for (const std::string& path : wanted() ? paths : std::vector<std::string>()) {
      struct stat status;
      if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        size_ = 0;
        break;
      }
      size_ += static_cast<uint64_t>(status.st_size);
    }
    phaseStart_ = Clock::now();
    next_ = phaseStart_ + std::chrono::seconds(1);
  }

  bool wanted() const { return !callable_.is_none(); }
  // Without the GIL, between records.
  void told(const hexlog::Progress& progress) {
    if (caught_.any())
      return;
    Clock::time_point now = Clock::now();
    if (progress.phase != last_.phase) {
      // The end of the phase before, with its final counts, for a bar to
      // close on.
      if (called_) {
        py::gil_scoped_acquire held;
        call(now);
      }
      phaseStart_ = now;
    }
    last_ = progress;
    if (now < next_)
      return;
    next_ = now + std::chrono::milliseconds(250);
    py::gil_scoped_acquire held;
    call(now);
  }
  // Without the GIL: whether the callable raised, which stops the run.
  bool failed() const { return caught_.any(); }
  // With the GIL, after the run: the last counts, or what the callable raised.
  void end() {
    if (called_)
      call(Clock::now());
    caught_.raise();
  }

 private:
  void call(Clock::time_point now) {
    if (caught_.any())
      return;
    called_ = true;
    static const char* const kPhases[] = {"reading", "first pass", "writing"};
    double seconds = std::chrono::duration<double>(now - phaseStart_).count();
    try {
      callable_(kPhases[static_cast<int>(last_.phase)], last_.inputsDone, inputs_, last_.bytes, size_,
                last_.records, last_.done, last_.total,
                hexlog::progressLine(last_, inputs_, size_, seconds));
    } catch (py::error_already_set& error) {
      caught_.keep(std::move(error));
    }
  }

  py::object callable_;
  uint32_t inputs_ = 0;
  uint64_t size_ = 0;
  bool called_ = false;
  Clock::time_point phaseStart_;
  Clock::time_point next_;
  hexlog::Progress last_;
  Caught caught_;
};

// A column's pages as an array of `dtype`, owned by numpy from here on.
py::array handOver(hexlog::Column& column, const py::dtype& dtype) {
  size_t count = column.size();
  size_t bytes;
  void* memory = column.release(bytes);
  if (memory == nullptr)
    return py::array(dtype, std::vector<py::ssize_t>{0});
  struct Pages {
    void* memory;
    size_t bytes;
  };
  Pages* pages = new Pages{memory, bytes};
  py::capsule owner(pages, [](void* p) {
    Pages* pages = static_cast<Pages*>(p);
    hexlog::freeColumnMemory(pages->memory, pages->bytes);
    delete pages;
  });
  return py::array(dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(count)},
                   std::vector<py::ssize_t>{dtype.itemsize()}, memory, owner);
}

const char* typeCode(hexlog::ValueType type) {
  switch (type) {
    case hexlog::ValueType::kByte: return "i1";
    case hexlog::ValueType::kUByte: return "u1";
    case hexlog::ValueType::kShort: return "i2";
    case hexlog::ValueType::kUShort: return "u2";
    case hexlog::ValueType::kInt: return "i4";
    case hexlog::ValueType::kUInt: return "u4";
    case hexlog::ValueType::kLong: return "i8";
    case hexlog::ValueType::kULong: return "u8";
    case hexlog::ValueType::kFloat: return "f4";
    case hexlog::ValueType::kDouble: return "f8";
    case hexlog::ValueType::kString: return "str";
  }
  return "str";
}

const char* seriesName(hexlog::Series series) {
  switch (series) {
    case hexlog::Series::kTime: return "time";
    case hexlog::Series::kReading: return "reading";
    case hexlog::Series::kQc: return "flag";
    case hexlog::Series::kSourceFile: return "source_file";
    case hexlog::Series::kSourceLine: return "source_line";
    case hexlog::Series::kScalar: return "scalar";
  }
  return "";
}

// (name, type code, count, the values' bytes): numbers as that many C
// values of the type, a string as its bytes.
py::tuple attributeTuple(const hexlog::Attribute& attribute) {
  return py::make_tuple(attribute.name, typeCode(attribute.type), attribute.count,
                        py::bytes(attribute.values.data(), attribute.values.size()));
}

py::list attributeList(const std::vector<hexlog::Attribute>& attributes) {
  py::list list;
  for (const hexlog::Attribute& attribute : attributes)
    list.append(attributeTuple(attribute));
  return list;
}

py::tuple statisticsTuple(const hexlog::Statistics& statistics) {
  py::array_t<bool> any(hexlog::kReadings);
  py::array_t<float> min(hexlog::kReadings), max(hexlog::kReadings);
  for (int k = 0; k < hexlog::kReadings; ++k) {
    any.mutable_at(k) = statistics.readings[k].any;
    min.mutable_at(k) = statistics.readings[k].min;
    max.mutable_at(k) = statistics.readings[k].max;
  }
  return py::make_tuple(statistics.records, statistics.firstTime, statistics.lastTime, any, min, max);
}

hexlog::Statistics statisticsOf(const py::tuple& tuple) {
  hexlog::Statistics statistics;
  statistics.records = tuple[0].cast<uint64_t>();
  statistics.firstTime = tuple[1].cast<int64_t>();
  statistics.lastTime = tuple[2].cast<int64_t>();
  auto any = tuple[3].cast<py::array_t<bool, py::array::forcecast>>();
  auto min = tuple[4].cast<py::array_t<float, py::array::forcecast>>();
  auto max = tuple[5].cast<py::array_t<float, py::array::forcecast>>();
  for (int k = 0; k < hexlog::kReadings; ++k)
    statistics.readings[k] = {any.at(k), min.at(k), max.at(k)};
  return statistics;
}

std::vector<hexlog::SeriesFacts> factsOf(const py::handle& list) {
  std::vector<hexlog::SeriesFacts> facts;
  for (const py::handle& entry : list) {
    auto pair = entry.cast<py::tuple>();
    facts.push_back({pair[0].cast<uint64_t>(), pair[1].cast<double>()});
  }
  return facts;
}

py::list factsList(const std::vector<hexlog::SeriesFacts>& facts) {
  py::list list;
  for (const hexlog::SeriesFacts& series : facts)
    list.append(py::make_tuple(series.records, series.medianStep));
  return list;
}

// The counts of the --summary table's columns: each input's row, then the total.
py::array_t<int64_t> countsArray(const hexlog::Tally& tally) {
  py::array_t<int64_t> counts({static_cast<py::ssize_t>(tally.inputs()) + 1, py::ssize_t{hexlog::kCountColumns}});
  auto row = counts.mutable_unchecked<2>();
  for (uint32_t file = 0; file <= tally.inputs(); ++file) {
    const hexlog::FileCounts c = file < tally.inputs() ? tally.counts(file) : tally.total();
    for (int k = 0; k < hexlog::kCountColumns; ++k)
      row(file, k) = static_cast<int64_t>(c.*hexlog::countColumns[k].count);
  }
  return counts;
}

py::list noticeList(const hexlog::Tally& tally) {
  py::list notices;
  for (const std::string& notice : hexlog::notices(tally))
    notices.append(py::bytes(notice));
  return notices;
}

py::dict describe(const hexlog::Dataset& dataset) {
  py::list variables;
  for (const hexlog::Variable& variable : dataset.variables) {
    py::dict entry;
    entry["name"] = variable.name;
    entry["series"] = seriesName(variable.series);
    entry["reading"] = variable.reading;
    entry["type"] = typeCode(variable.type);
    entry["attributes"] = attributeList(variable.attributes);
    entry["value"] = variable.value != nullptr ? py::object(attributeTuple(*variable.value)) : py::none();
    entry["per_station"] = variable.perStation;
    variables.append(entry);
  }
  py::dict description;
  description["globals"] = attributeList(dataset.globals);
  description["station_dimension"] = dataset.stationDimension;
  description["variables"] = variables;
  return description;
}

Failure runFailure(const hexlog::Failure& failure, long input) {
  switch (failure.kind) {
    case hexlog::FailureKind::kOpen: return Failure{"open", failure.error, failure.text, input};
    case hexlog::FailureKind::kRead: return Failure{"read", failure.error, failure.text, input};
    case hexlog::FailureKind::kMetadata: return Failure{"metadata", failure.error, failure.text, -1};
    case hexlog::FailureKind::kTemporary: return Failure{"temporary", failure.error, failure.text, -1};
    case hexlog::FailureKind::kLibrary: return Failure{"library", failure.error, failure.text, -1};
    case hexlog::FailureKind::kReread: return Failure{"reread", failure.error, failure.text, -1};
    case hexlog::FailureKind::kInterrupted: return Failure{"interrupted", failure.error, failure.text, -1};
    case hexlog::FailureKind::kUsage: return Failure{"usage", failure.error, failure.text, -1};
    case hexlog::FailureKind::kWrite:
    case hexlog::FailureKind::kNone: break;
  }
  return Failure{"write", failure.error, failure.text, -1};
}

// The inputs, one after another, as the tool decodes its arguments; stops
// at the first that cannot be opened or read.
bool decodeAll(hexlog::Run& run, const std::vector<std::string>& paths, Failure& failure) {
  std::vector<char> buf(64 * 1024);
  if (run.decode(-1, paths, buf.data(), buf.size()))
    return true;
  // The input that failed, if one did: the one after those counted.
  failure = runFailure(run.failure(), static_cast<long>(run.tally().inputs()) -
                                          (run.failure().kind == hexlog::FailureKind::kOpen ? 0 : 1));
  return false;
}

py::dict decode(const std::vector<py::bytes>& paths, const std::string& startChars, bool timeOrder, py::object from,
                py::object to, bool provenance, py::object metadata, bool description, int64_t created,
                const std::string& history, size_t memory, const std::string& temporary, py::object qc,
                py::object part, py::object progress) {
  hexlog::Settings settings;
  settings.format = hexlog::Format::kColumns;
  // As the tool reads -s, saturated where it does not fit.
  settings.startChars = hexlog::parseStartChars(startChars.c_str());
  settings.order = timeOrder ? hexlog::Order::kTime : hexlog::Order::kInput;
  if (!from.is_none()) {
    settings.hasFrom = true;
    settings.from = from.cast<int64_t>();
  }
  if (!to.is_none()) {
    settings.hasTo = true;
    settings.to = to.cast<int64_t>();
  }
  settings.provenance = provenance;
  if (!metadata.is_none())
    settings.metadata = metadata.cast<std::string>();
  if (!qc.is_none())
    settings.qc = qc.cast<std::string>();
  settings.describe = description;
  settings.created = created;
  settings.history = history;
  if (memory > 0)
    settings.memory = memory;
  settings.temporaryDirectory = temporary;
  if (!part.is_none()) {
    auto given = part.cast<py::dict>();
    settings.part = true;
    settings.flagsFrom = given["flags_from"].cast<int64_t>();
    settings.flagsTo = given["flags_to"].cast<int64_t>();
    settings.whole.contexts = factsOf(given["contexts"]);
    if (given.contains("inputs")) {
      for (const py::handle& name : given["inputs"])
        settings.whole.inputs.push_back(name.cast<std::string>());
      for (const py::handle& statistics : given["statistics"])
        settings.whole.statistics += statisticsOf(statistics.cast<py::tuple>());
      settings.whole.medianStep = given["median_step"].cast<double>();
    }
  }
  std::vector<std::string> names(paths.begin(), paths.end());
  py::module_ threading = py::module_::import("threading");
  Signals signals(threading.attr("current_thread")().is(threading.attr("main_thread")()));
  Watcher watcher(progress, names);
  settings.interrupted = [&signals, &watcher](bool signalled) { return signals.raised(signalled) || watcher.failed(); };
  if (watcher.wanted())
    settings.progress = [&watcher](const hexlog::Progress& now) { watcher.told(now); };

  hexlog::Run run(settings);
  Failure failure;
  bool decoded;
  {
    py::gil_scoped_release released;
    decoded = decodeAll(run, names, failure);
  }
  signals.raiseCaught();
  watcher.end();
  py::dict result;
  if (!decoded) {
    result["failure"] = py::make_tuple(failure.kind, failure.error, py::bytes(failure.text), failure.input);
    return result;
  }
  result["failure"] = py::none();
  hexlog::Columns& columns = run.columns();
  result["time"] = handOver(columns.time, py::dtype("M8[s]"));
  py::list readings, flags;
  for (hexlog::Column& column : columns.readings)
    readings.append(handOver(column, py::dtype("f4")));
  for (hexlog::Column& column : columns.flags)
    flags.append(handOver(column, py::dtype("i1")));
  result["readings"] = readings;
  result["flags"] = flags;
  result["flag_names"] = py::cast(columns.flagNames);
  result["file"] = provenance ? py::object(handOver(columns.file, py::dtype("i4"))) : py::none();
  result["line"] = provenance ? py::object(handOver(columns.line, py::dtype("i8"))) : py::none();
  result["dataset"] = description ? py::object(describe(run.dataset())) : py::none();
  result["digests"] = py::tuple(py::cast(columns.digests));
  const hexlog::Tally& tally = run.tally();
  result["counts"] = countsArray(tally);
  py::list first;
  for (int event = 0; event < hexlog::kEvents; ++event) {
    const hexlog::Place& place = tally.first(static_cast<hexlog::Event>(event));
    first.append(py::make_tuple(place.seen, place.file, place.line));
  }
  result["first"] = first;
  result["notices"] = noticeList(tally);
  result["statistics"] = statisticsTuple(run.statistics());
  return result;
}

// The series of a dataset's contexts from its times; a ValueError in the
// library's words where the QC configuration cannot be read.
py::tuple wholeSeries(py::object qc, py::array_t<int64_t, py::array::c_style | py::array::forcecast> times) {
  hexlog::Settings settings;
  if (!qc.is_none())
    settings.qc = qc.cast<std::string>();
  hexlog::Whole whole;
  uint64_t before, after;
  hexlog::Failure failure;
  bool done;
  {
    py::gil_scoped_release released;
    done = hexlog::wholeSeries(settings, times.data(), static_cast<size_t>(times.size()), whole, before, after,
                               failure);
  }
  if (!done)
    throw py::value_error(failure.text);
  return py::make_tuple(whole.medianStep, factsList(whole.contexts), before, after);
}

py::dict summedTally(const std::vector<py::bytes>& paths, py::array_t<int64_t, py::array::forcecast> counts,
                     const py::list& first) {
  std::vector<std::string> names(paths.begin(), paths.end());
  std::vector<hexlog::FileCounts> rows(names.size());
  auto row = counts.unchecked<2>();
  for (size_t file = 0; file < rows.size(); ++file)
    for (int k = 0; k < hexlog::kCountColumns; ++k)
      rows[file].*hexlog::countColumns[k].count = static_cast<uint64_t>(row(static_cast<py::ssize_t>(file), k));
  hexlog::Place places[hexlog::kEvents];
  for (int event = 0; event < hexlog::kEvents; ++event) {
    auto place = first[static_cast<size_t>(event)].cast<py::tuple>();
    places[event] = {place[0].cast<bool>(), place[1].cast<uint32_t>(), place[2].cast<uint64_t>()};
  }
  hexlog::SummedTally tally(std::move(names), std::move(rows), places);
  py::dict result;
  result["counts"] = countsArray(tally);
  result["notices"] = noticeList(tally);
  return result;
}

// date_created from SOURCE_DATE_EPOCH's bytes (None when unset), as the
// tool takes it; a ValueError in the library's words otherwise.
int64_t creationTime(py::object text) {
  std::string value = text.is_none() ? std::string() : std::string(text.cast<py::bytes>());
  int64_t seconds;
  std::string error;
  if (!hexlog::creationTime(value.c_str(), seconds, error))
    throw py::value_error(error);
  return seconds;
}

py::object parseTime(const std::string& text) {
  int64_t seconds;
  if (!hexlog::parseTime(text, seconds))
    return py::none();
  return py::int_(seconds);
}

}  // namespace

PYBIND11_MODULE(_hexlog, m) {
  m.doc() = "The hexlog library: records of instrument logs decoded into arrays";
  m.attr("__version__") = HEXLOG_VERSION;
  m.def("decode", &decode, py::arg("paths"), py::arg("start_chars"), py::arg("time_order"), py::arg("start"),
        py::arg("end"), py::arg("provenance"), py::arg("metadata"), py::arg("describe"), py::arg("created"),
        py::arg("history"), py::arg("memory"), py::arg("temporary"), py::arg("qc"), py::arg("part") = py::none(),
        py::arg("progress") = py::none());
  m.def("whole_series", &wholeSeries, py::arg("qc"), py::arg("times"));
  m.def("tally", &summedTally, py::arg("paths"), py::arg("counts"), py::arg("first"));
  m.def("parse_time", &parseTime, py::arg("text"));
  m.def("creation_time", &creationTime, py::arg("text"));
  m.def("vectors_available", &hexlog::vectorsAvailable);
  py::list names;
  for (int k = 0; k < hexlog::kReadings; ++k)
    names.append(hexlog::columnName(k));
  m.attr("COLUMN_NAMES") = py::tuple(names);
  py::list counts;
  for (const hexlog::CountColumn& column : hexlog::countColumns)
    counts.append(column.name);
  m.attr("SUMMARY_COLUMNS") = py::tuple(counts);
  // How netCDF output stores each series variable, as the library writes it.
  m.attr("NETCDF_CHUNK") = hexlog::kNetcdfChunk;
  m.attr("NETCDF_DEFLATE_LEVEL") = hexlog::kNetcdfDeflateLevel;
  m.attr("NETCDF_SHUFFLE") = hexlog::kNetcdfShuffle;
}
