#include "netcdf.hpp"

#include <cstdio>

#ifndef HEXLOG_NETCDF_LIBRARY

bool loadNetcdf() {
  std::fprintf(stderr, "hexlog: this build has no netCDF support (the netCDF library was not found when it "
                       "was built)\n");
  return false;
}
void startNetcdf(const char*, const Metadata&) {}
void writeNetcdfRecord(const Record&) {}
void finishNetcdf() {}

#else

#include <dlfcn.h>
#include <netcdf.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "output.hpp"

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
};
Library nc;

// Records per chunk: 512 KiB a reading. The library keeps an index entry
// of each chunk in memory, so fewer, larger chunks keep memory near flat
// however long the input.
constexpr size_t kChunk = 131072;
// Records per batch handed to the library: a quarter chunk, which its
// cache holds until the chunk is whole and deflated once.
constexpr size_t kBatch = kChunk / 4;

// A batch: the times and each reading's words, by column.
struct Batch {
  int32_t times[kBatch];
  uint32_t readings[kFieldCount][kBatch];
  size_t count;
};

// Deflating takes most of the time, so it has a thread of its own: while
// the writer hands one batch to the library, the decoder fills the other.
// Only the writer calls the library between startNetcdf and finishNetcdf.
//
//   decoder:  fill A | fill B       | fill A       | ...
//   writer:          | write A      | write B      | ...
Batch batches[2];
Batch* filling = &batches[0];
Batch* handedOver = nullptr;  // for the writer, until it is written
bool allHandedOver = false;
std::mutex mutex;
std::condition_variable changed;
std::thread writer;
size_t written = 0;

int file = -1;
int timeVariable;
int readingVariables[kFieldCount];

// NC_FILL_FLOAT, 9.96921e+36f, as the readings' own bits.
uint32_t fillBits() {
  float fill = NC_FILL_FLOAT;
  uint32_t bits;
  std::memcpy(&bits, &fill, sizeof bits);
  return bits;
}

void check(int status, const char* what) {
  if (status == NC_NOERR)
    return;
  std::fprintf(stderr, "hexlog: write error: %s: %s\n", what, nc.strerror(status));
  discardOutputFile();
  std::_Exit(1);  // from either thread, without running down the other
}

void putText(int variable, const char* name, const std::string& value) {
  check(nc.putText(file, variable, name, value.size(), value.data()), name);
}

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

// The user's attributes of one variable ("*GLOBAL*" for the file's), each
// with its type: a string is text, numbers are numbers of their type.
void putUserAttributes(const Metadata& metadata, const std::string& variable, int id) {
  for (const Attribute& attribute : metadata.attributes) {
    if (attribute.variable != variable || attribute.name == "*SCALAR*")
      continue;
    if (attribute.type == ValueType::kString)
      putText(id, attribute.name.c_str(), std::string(attribute.values.begin(), attribute.values.end()));
    else
      check(nc.putAttribute(file, id, attribute.name.c_str(), typeOf(attribute.type), attribute.count,
                            attribute.values.data()),
            attribute.name.c_str());
  }
}

// A default attribute, unless the user's metadata has its own.
void putDefault(const Metadata& metadata, const std::string& variable, int id, const char* name,
                const std::string& value) {
  if (findAttribute(metadata, variable, name) == nullptr)
    putText(id, name, value);
}

// A series variable: deflated after shuffling (floats' bytes compress far
// better grouped by significance), in chunks of kChunk records, with a
// cache for the one chunk being filled.
int defineSeries(const char* name, nc_type type, int dimension) {
  int id;
  check(nc.defineVariable(file, name, type, 1, &dimension, &id), name);
  check(nc.defineChunking(file, id, NC_CHUNKED, &kChunk), name);
  check(nc.defineDeflate(file, id, 1, 1, 1), name);
  check(nc.setChunkCache(file, id, kChunk * 4, 7, 1.0f), name);
  return id;
}

void writeBatch(const Batch& batch) {
  size_t start = written, count = batch.count;
  check(nc.putSlab(file, timeVariable, &start, &count, batch.times), "time");
  for (int k = 0; k < kFieldCount; ++k)
    check(nc.putSlab(file, readingVariables[k], &start, &count, batch.readings[k]), columnName(k));
  written += count;
}

void writeBatches() {
  for (;;) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [] { return handedOver != nullptr || allHandedOver; });
    if (handedOver == nullptr)
      return;
    lock.unlock();
    writeBatch(*handedOver);
    lock.lock();
    handedOver = nullptr;
    changed.notify_all();
  }
}

// Gives the writer the full batch once it is done with the last one.
void handOver() {
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [] { return handedOver == nullptr; });
  handedOver = filling;
  filling = filling == &batches[0] ? &batches[1] : &batches[0];
  filling->count = 0;
  changed.notify_all();
}

}  // namespace

bool loadNetcdf() {
  void* library = dlopen(HEXLOG_NETCDF_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "hexlog: cannot load the netCDF library: %s\n", dlerror());
    return false;
  }
  bool found = true;
  auto bind = [&](auto& function, const char* name) {
    void* symbol = dlsym(library, name);
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
    std::fprintf(stderr, "hexlog: the netCDF library %s lacks functions hexlog needs\n", HEXLOG_NETCDF_LIBRARY);
  return found;
}

void startNetcdf(const char* path, const Metadata& metadata) {
  check(nc.create(path, NC_CLOBBER | NC_NETCDF4, &file), path);
  int dimension;
  check(nc.defineDimension(file, "time", NC_UNLIMITED, &dimension), "time");

  putText(NC_GLOBAL, "Conventions", "CF-1.10, ACDD-1.3");
  putUserAttributes(metadata, "*GLOBAL*", NC_GLOBAL);

  timeVariable = defineSeries("time", NC_INT, dimension);
  putDefault(metadata, "time", timeVariable, "standard_name", "time");
  putDefault(metadata, "time", timeVariable, "long_name", "Time");
  putText(timeVariable, "units", "seconds since 1970-01-01T00:00:00Z");
  putDefault(metadata, "time", timeVariable, "calendar", "standard");
  putDefault(metadata, "time", timeVariable, "axis", "T");
  putUserAttributes(metadata, "time", timeVariable);

  // A single time series in CF's terms: the scalar variables are the
  // station's coordinates and identity, named by every reading.
  std::string coordinates = "time";
  for (const std::string& scalar : metadata.scalars)
    coordinates += " " + scalar;
  float fill = NC_FILL_FLOAT;
  for (int k = 0; k < kFieldCount; ++k) {
    std::string name = columnName(k);
    int id = readingVariables[k] = defineSeries(name.c_str(), NC_FLOAT, dimension);
    putDefault(metadata, name, id, "long_name", longName(k));
    check(nc.putAttribute(file, id, "_FillValue", NC_FLOAT, 1, &fill), "_FillValue");
    if (!metadata.scalars.empty())
      putDefault(metadata, name, id, "coordinates", coordinates);
    putUserAttributes(metadata, name, id);
  }

  std::vector<int> scalarVariables;
  for (const Attribute& attribute : metadata.attributes) {
    if (attribute.name != "*SCALAR*")
      continue;
    int id;
    check(nc.defineVariable(file, attribute.variable.c_str(), typeOf(attribute.type), 0, nullptr, &id),
          attribute.variable.c_str());
    putUserAttributes(metadata, attribute.variable, id);
    scalarVariables.push_back(id);
  }
  check(nc.endDefinitions(file), path);

  size_t scalar = 0;
  for (const Attribute& attribute : metadata.attributes) {
    if (attribute.name != "*SCALAR*")
      continue;
    std::string text(attribute.values.begin(), attribute.values.end());
    const char* strings[] = {text.c_str()};
    check(nc.putVariable(file, scalarVariables[scalar++],
                         attribute.type == ValueType::kString ? static_cast<const void*>(strings)
                                                              : attribute.values.data()),
          attribute.variable.c_str());
  }
  writer = std::thread(writeBatches);
}

void writeNetcdfRecord(const Record& record) {
  Batch& batch = *filling;
  size_t at = batch.count;
  batch.times[at] = record.time;
  for (int k = 0; k < record.count; ++k)
    batch.readings[k][at] = record.words[k];
  static const uint32_t fill = fillBits();
  for (int k = record.count; k < kFieldCount; ++k)
    batch.readings[k][at] = fill;
  if (++batch.count == kBatch)
    handOver();
}

void finishNetcdf() {
  if (filling->count > 0)
    handOver();
  {
    std::lock_guard<std::mutex> lock(mutex);
    allHandedOver = true;
  }
  changed.notify_all();
  writer.join();
  check(nc.close(file), "closing the file");
  file = -1;
}

#endif
