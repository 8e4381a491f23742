#include "netcdf.hpp"

#ifndef HEXLOG_NETCDF_LIBRARY

namespace hexlog {

struct NetcdfWriter::State {};

NetcdfWriter::NetcdfWriter(std::string) {}
NetcdfWriter::~NetcdfWriter() = default;

bool NetcdfWriter::load(std::string& error) {
  error = "this build has no netCDF support (the netCDF library was not found when it was built)";
  return false;
}
bool NetcdfWriter::trial(const Dataset&, std::string& error) {
  error = "no netCDF support";
  return false;
}
void NetcdfWriter::begin(const Dataset&) {}
void NetcdfWriter::put(const Record&) {}
void NetcdfWriter::putMany(const Record*, size_t) {}
void NetcdfWriter::end() {}
Failure NetcdfWriter::failure() const {
  return Failure{FailureKind::kWrite, 0, "no netCDF support"};
}

}  // namespace hexlog

#else

#include <dlfcn.h>
#include <netcdf.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace hexlog {

namespace {

// The library is opened only for netCDF output: linked, it and the forty
// libraries it needs would add ten megabytes to every run of the tool.
struct Library {
  decltype(&nc_create) create;
  decltype(&nc_def_dim) defineDimension;
  decltype(&nc_def_var) defineVariable;
  decltype(&nc_def_var_chunking) defineChunking;
  decltype(&nc_def_var_deflate) defineDeflate;
  decltype(&nc_set_var_chunk_cache) setChunkCache;
  decltype(&nc_put_att) putAttribute;
  decltype(&nc_put_att_text) putText;
  decltype(&nc_enddef) endDefinitions;
  decltype(&nc_put_var) putVariable;
  decltype(&nc_put_vara) putSlab;
  decltype(&nc_close) close;
  decltype(&nc_strerror) strerror;
  std::string error;  // why it could not be loaded, or ""
};

// Loaded once per process and read-only after.
const Library& library() {
  static const Library loaded = [] {
    Library nc{};
    void* handle = dlopen(HEXLOG_NETCDF_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      nc.error = std::string("cannot load the netCDF library: ") + dlerror();
      return nc;
    }
    bool found = true;
    auto bind = [&](auto& function, const char* name) {
      void* symbol = dlsym(handle, name);
      static_assert(sizeof symbol == sizeof function);
      std::memcpy(&function, &symbol, sizeof symbol);
      found = found && symbol != nullptr;
    };
    bind(nc.create, "nc_create");
    bind(nc.defineDimension, "nc_def_dim");
    bind(nc.defineVariable, "nc_def_var");
    bind(nc.defineChunking, "nc_def_var_chunking");
    bind(nc.defineDeflate, "nc_def_var_deflate");
    bind(nc.setChunkCache, "nc_set_var_chunk_cache");
    bind(nc.putAttribute, "nc_put_att");
    bind(nc.putText, "nc_put_att_text");
    bind(nc.endDefinitions, "nc_enddef");
    bind(nc.putVariable, "nc_put_var");
    bind(nc.putSlab, "nc_put_vara");
    bind(nc.close, "nc_close");
    bind(nc.strerror, "nc_strerror");
    if (!found)
      nc.error = "the netCDF library " HEXLOG_NETCDF_LIBRARY " lacks functions hexlog needs";
    // The HDF5 library beneath prints its whole error stack on standard
    // error where a call fails unless told not to; the failure is reported
    // in one line of hexlog's own. H5Eset_auto2(H5E_DEFAULT, NULL, NULL),
    // H5E_DEFAULT being 0; not there, nothing to silence.
    if (void* silence = dlsym(handle, "H5Eset_auto2")) {
      int (*setAuto)(int64_t, void*, void*);
      std::memcpy(&setAuto, &silence, sizeof silence);
      setAuto(0, nullptr, nullptr);
    }
    return nc;
  }();
  return loaded;
}

// Records per batch handed to the library: a chunk's, for each call of it
// costs as much as a small deflate. The first batch is an eighth of that,
// so that the writer starts deflating soon; the library's cache holds a
// chunk till it is whole, so the later batches need not begin one.
constexpr size_t kBatch = kNetcdfChunk;
constexpr size_t kFirstBatch = kNetcdfChunk / 8;
constexpr size_t kBatches = 2;

// A batch's column: its pages are taken as it is filled, not all at once
// before the first record.
template <typename T>
struct Buffer {
  std::unique_ptr<T[]> values;
  void reserve(size_t count) { values.reset(new T[count]); }
  T& operator[](size_t at) { return values[at]; }
  const T* data() const { return values.get(); }
};

nc_type typeOf(ValueType type) {
  switch (type) {
    case ValueType::kByte: return NC_BYTE;
    case ValueType::kUByte: return NC_UBYTE;
    case ValueType::kShort: return NC_SHORT;
    case ValueType::kUShort: return NC_USHORT;
    case ValueType::kInt: return NC_INT;
    case ValueType::kUInt: return NC_UINT;
    case ValueType::kLong: return NC_INT64;
    case ValueType::kULong: return NC_UINT64;
    case ValueType::kFloat: return NC_FLOAT;
    case ValueType::kDouble: return NC_DOUBLE;
    case ValueType::kString: return NC_STRING;
  }
  return NC_STRING;
}

size_t sizeOf(ValueType type) {
  switch (type) {
    case ValueType::kByte:
    case ValueType::kUByte: return 1;
    case ValueType::kShort:
    case ValueType::kUShort: return 2;
    case ValueType::kInt:
    case ValueType::kUInt:
    case ValueType::kFloat: return 4;
    case ValueType::kLong:
    case ValueType::kULong:
    case ValueType::kDouble:
    case ValueType::kString: return 8;
  }
  return 8;
}

static_assert(NC_FILL_FLOAT == kNetcdfFill, "the fill value is NC_FILL_FLOAT");

}  // namespace

// A batch holds each series variable's values by column.
//
// Deflating takes most of the time, so it has a thread of its own: while
// the writer hands one batch to the library, the caller fills the other.
// Only the writer thread calls the library between create and finish.
//
//   caller:  fill A | fill B       | fill A       | ...
//   writer:         | write A      | write B      | ...
struct NetcdfWriter::State {
  struct Batch {
    Buffer<int32_t> times;
    std::vector<Buffer<uint32_t>> readings;
    std::vector<Buffer<int8_t>> flags;
    Buffer<int32_t> files;
    Buffer<int64_t> lines;
    size_t count = 0;
  };

  explicit State(std::string where) : path(std::move(where)) {}

  std::string path;
  const Dataset* dataset = nullptr;
  bool ready = false;  // defined, and the writer thread started
  const Library& nc = library();
  int file = -1;
  int timeVariable = -1;
  int readingVariables[kFieldCount] = {};
  std::vector<int> flagIds;
  std::vector<const Variable*> flags;
  int fileVariable = -1;
  int lineVariable = -1;
  int station = -1;  // the station dimension, if there is one
  bool readingsPerStation = false;
  bool flagsPerStation = false;

  // Batches [done, filled) are the writer's; batch filled % kBatches the
  // caller's, until it holds `limit` records.
  Batch batches[kBatches];
  size_t limit = kFirstBatch;
  size_t filled = 0;
  size_t done = 0;
  bool allHandedOver = false;
  std::mutex mutex;
  std::condition_variable changed;
  std::thread writer;
  size_t written = 0;  // records

  // The first failure, in the library's words; once set the library is not
  // called again.
  mutable std::mutex errorMutex;
  std::string error;
  bool failed = false;

  // After a call of the library. errno is cleared after each call that
  // succeeds, so that after one that fails it is that call's: where it is
  // the operating system's word on a write (a full disk, an I/O error),
  // that is the reason given, for the library reports most of them as
  // "HDF error" or even "Permission denied".
  bool check(int status, const std::string& what) {
    int os = errno;
    if (status == NC_NOERR) {
      errno = 0;
      return true;
    }
    std::lock_guard<std::mutex> lock(errorMutex);
    if (!failed) {
      failed = true;
      bool system = os == ENOSPC || os == EDQUOT || os == EIO || os == EFBIG || os == EROFS || os == EACCES ||
                     os == EPERM || os == ENOMEM || os == EMFILE || os == ENFILE;
      error = system ? std::strerror(os) : std::string(nc.strerror(status)) + " (" + what + ")";
    }
    return false;
  }
  bool hasFailed() {
    std::lock_guard<std::mutex> lock(errorMutex);
    return failed;
  }

  void reserve(Batch& batch) {
    batch.times.reserve(kBatch);
    batch.readings.resize(kFieldCount);
    for (Buffer<uint32_t>& column : batch.readings)
      column.reserve(kBatch);
    batch.flags.resize(flags.size());
    for (Buffer<int8_t>& column : batch.flags)
      column.reserve(kBatch);
    if (fileVariable >= 0) {
      batch.files.reserve(kBatch);
      batch.lines.reserve(kBatch);
    }
  }

  bool putAttributes(int id, const std::vector<Attribute>& attributes) {
    for (const Attribute& attribute : attributes) {
      int status = attribute.type == ValueType::kString
                       ? nc.putText(file, id, attribute.name.c_str(), attribute.values.size(), attribute.values.data())
                       : nc.putAttribute(file, id, attribute.name.c_str(), typeOf(attribute.type), attribute.count,
                                         attribute.values.data());
      if (!check(status, attribute.variable + ":" + attribute.name))
        return false;
    }
    return true;
  }

  // A series variable: deflated after shuffling where a value has more than
  // one byte (floats' bytes compress far better grouped by significance),
  // in chunks of kNetcdfChunk records, with a cache for the one chunk being
  // filled: the library deflates a chunk once, when the next one begins, if
  // it can hold it till then; a larger cache would only hold more chunks
  // back till the file is closed.
  //
  // With a station dimension, a reading or flag is over (station, time):
  // one station, so the same chunks, one row deep.
  bool defineSeries(const Variable& variable, int dimension, int& id) {
    const char* name = variable.name.c_str();
    int dimensions[2] = {station, dimension};
    size_t chunks[2] = {1, kNetcdfChunk};
    bool both = variable.perStation;
    return check(nc.defineVariable(file, name, typeOf(variable.type), both ? 2 : 1, both ? dimensions : &dimension,
                                   &id),
                 name) &&
           check(nc.defineChunking(file, id, NC_CHUNKED, both ? chunks : &kNetcdfChunk), name) &&
           check(nc.defineDeflate(file, id, kNetcdfShuffle && sizeOf(variable.type) > 1, 1, kNetcdfDeflateLevel),
                 name) &&
           check(nc.setChunkCache(file, id, kNetcdfChunk * sizeOf(variable.type), 7, 1.0f), name);
  }

  // Creates the file and defines everything in it; `trial`: in memory,
  // to find what the library cannot store before any input is read.
  bool define(const char* name, bool trial) {
    flags = flagVariables(*dataset);
    errno = 0;
    if (!check(nc.create(name, NC_CLOBBER | NC_NETCDF4 | (trial ? NC_DISKLESS : 0), &file), "creating the file"))
      return false;
    int dimension;
    if (!check(nc.defineDimension(file, "time", NC_UNLIMITED, &dimension), "time") ||
        (dataset->stationDimension && !check(nc.defineDimension(file, "station", 1, &station), "station")) ||
        !putAttributes(NC_GLOBAL, dataset->globals))
      return false;
    std::vector<std::pair<int, const Variable*>> scalars;
    for (const Variable& variable : dataset->variables) {
      int id;
      if (variable.series == Series::kScalar) {
        if (!check(nc.defineVariable(file, variable.name.c_str(), typeOf(variable.type), variable.perStation ? 1 : 0,
                                     variable.perStation ? &station : nullptr, &id),
                   variable.name))
          return false;
        scalars.emplace_back(id, &variable);
      } else if (!defineSeries(variable, dimension, id)) {
        return false;
      }
      switch (variable.series) {
        case Series::kTime: timeVariable = id; break;
        case Series::kReading:
          readingVariables[variable.reading] = id;
          readingsPerStation = variable.perStation;
          break;
        case Series::kQc:
          flagIds.push_back(id);
          flagsPerStation = variable.perStation;
          break;
        case Series::kSourceFile: fileVariable = id; break;
        case Series::kSourceLine: lineVariable = id; break;
        case Series::kScalar: break;
      }
      if (!putAttributes(id, variable.attributes))
        return false;
    }
    if (!check(nc.endDefinitions(file), "defining the variables"))
      return false;
    for (const auto& [id, variable] : scalars) {
      const Attribute& value = *variable->value;
      std::string text(value.values.begin(), value.values.end());
      const char* strings[] = {text.c_str()};
      if (!check(nc.putVariable(file, id,
                                value.type == ValueType::kString ? static_cast<const void*>(strings)
                                                                 : value.values.data()),
                 variable->name))
        return false;
    }
    if (!trial)
      for (Batch& batch : batches)
        reserve(batch);
    return true;
  }

  bool writeBatch(const Batch& batch) {
    size_t start = written, count = batch.count;
    // (station 0, the records) where there is a station dimension.
    size_t starts[2] = {0, written}, counts[2] = {1, batch.count};
    const size_t* readingStart = readingsPerStation ? starts : &start;
    const size_t* readingCount = readingsPerStation ? counts : &count;
    const size_t* flagStart = flagsPerStation ? starts : &start;
    const size_t* flagCount = flagsPerStation ? counts : &count;
    bool ok = check(nc.putSlab(file, timeVariable, &start, &count, batch.times.data()), "time");
    for (int k = 0; ok && k < kFieldCount; ++k)
      ok = check(nc.putSlab(file, readingVariables[k], readingStart, readingCount,
                            batch.readings[static_cast<size_t>(k)].data()),
                 columnName(k));
    for (size_t f = 0; ok && f < flags.size(); ++f)
      ok = check(nc.putSlab(file, flagIds[f], flagStart, flagCount, batch.flags[f].data()), flags[f]->name);
    if (ok && fileVariable >= 0)
      ok = check(nc.putSlab(file, fileVariable, &start, &count, batch.files.data()), "source_file") &&
           check(nc.putSlab(file, lineVariable, &start, &count, batch.lines.data()), "source_line");
    written += count;
    return ok;
  }

  Batch& filling() { return batches[filled % kBatches]; }

  void writeBatches() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [this] { return done < filled || allHandedOver; });
      if (done == filled)
        return;
      Batch& batch = batches[done % kBatches];
      lock.unlock();
      // After a failure the batches are taken and dropped, so that the
      // caller never waits for ever.
      if (!hasFailed())
        writeBatch(batch);
      lock.lock();
      ++done;
      changed.notify_all();
    }
  }

  // Gives the writer the full batch, and waits for the next to be free.
  void handOver() {
    std::unique_lock<std::mutex> lock(mutex);
    ++filled;
    changed.notify_all();
    changed.wait(lock, [this] { return filled - done < kBatches; });
    filling().count = 0;
    limit = kBatch;
  }

  void stopWriter() {
    if (!writer.joinable())
      return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      allHandedOver = true;
    }
    changed.notify_all();
    writer.join();
  }
};

NetcdfWriter::NetcdfWriter(std::string path) : state_(new State(std::move(path))) {}

NetcdfWriter::~NetcdfWriter() {
  state_->stopWriter();
}

bool NetcdfWriter::load(std::string& error) {
  error = library().error;
  return error.empty();
}

bool NetcdfWriter::trial(const Dataset& dataset, std::string& error) {
  NetcdfWriter writer("hexlog-trial.nc");
  State& state = *writer.state_;
  state.dataset = &dataset;
  bool defined = state.define(state.path.c_str(), true);
  if (state.file >= 0)
    defined = state.check(state.nc.close(state.file), "closing the file") && defined;
  state.file = -1;
  error = state.error;
  return defined;
}

void NetcdfWriter::begin(const Dataset& dataset) {
  state_->dataset = &dataset;
  if (!state_->define(state_->path.c_str(), false))
    return;
  state_->ready = true;
  state_->writer = std::thread([this] { state_->writeBatches(); });
}

void NetcdfWriter::put(const Record& record) {
  putMany(&record, 1);
}

// The records into the batch, up to its limit at a time; the flags of
// records that hold them side by side, as the Flagger's do, a column at
// a time.
void NetcdfWriter::putMany(const Record* records, size_t count) {
  State& state = *state_;
  if (!state.ready)
    return;
  while (count > 0) {
    State::Batch& batch = state.filling();
    size_t at = batch.count, n = std::min(count, state.limit - at);
    for (size_t i = 0; i < n; ++i) {
      const Record& record = records[i];
      batch.times[at + i] = record.time;
      for (uint32_t k = 0; k < kFieldCount; ++k)
        batch.readings[k][at + i] = readingBits(record, k, kNetcdfFillBits);
      if (state.fileVariable >= 0) {
        batch.files[at + i] = static_cast<int32_t>(record.file);
        batch.lines[at + i] = static_cast<int64_t>(record.line);
      }
    }
    const int8_t* flags = records[0].flags;
    bool sideBySide = flags != nullptr;
    for (size_t i = 1; sideBySide && i < n; ++i)
      sideBySide = records[i].flags == flags + i && records[i].flagStride == records[0].flagStride;
    for (size_t f = 0; f < state.flags.size(); ++f)
      if (sideBySide)
        std::memcpy(&batch.flags[f][at], flags + f * records[0].flagStride, n);
      else
        for (size_t i = 0; i < n; ++i)
          batch.flags[f][at + i] = flagOf(records[i], f);
    batch.count += n;
    records += n;
    count -= n;
    if (batch.count == state.limit)
      state.handOver();
  }
}

void NetcdfWriter::end() {
  if (!state_->ready)
    return;
  state_->ready = false;
  if (state_->filling().count > 0)
    state_->handOver();
  state_->stopWriter();
  if (!state_->hasFailed())
    state_->check(state_->nc.close(state_->file), "closing the file");
  state_->file = -1;
}

Failure NetcdfWriter::failure() const {
  std::lock_guard<std::mutex> lock(state_->errorMutex);
  return state_->failed ? Failure{FailureKind::kWrite, 0, state_->error} : Failure();
}

}  // namespace hexlog

#endif
