// CF netCDF-4 through the netCDF C library, for xarray, Panoply, Ocean Data
// View, MATLAB and R:
//
//   dimensions:  time = UNLIMITED
//   int time(time)                   seconds since 1970-01-01T00:00:00Z
//   float EquilPumpOn_pCO2(time)     the reading's exact bits; _FillValue
//   ...                              where a record lacks it
//   byte EquilPumpOn_pCO2_qc(time)   its gross-range flag, with a valid range
//   int source_file(time), ...       with provenance
//   <scalar> station_id, ...         the *SCALAR* variables of the metadata
//
// Records are written in chunks of many thousand, deflated after shuffling,
// by a thread of its own, so memory stays the same whatever the input's size.
#pragma once

#include <memory>
#include <string>

#include "dataset.hpp"
#include "record.hpp"
#include "writer.hpp"

namespace hexlog {

class NetcdfWriter : public Writer {
 public:
  // The file is created at `path` when the writer is begun.
  explicit NetcdfWriter(std::string path);
  ~NetcdfWriter() override;
  NetcdfWriter(const NetcdfWriter&) = delete;
  NetcdfWriter& operator=(const NetcdfWriter&) = delete;

  // Loads the library (only netCDF output pays for it); false, said why in
  // `error`, when this build or this machine cannot write netCDF.
  static bool load(std::string& error);
  // Whether the library can store `dataset`'s variables and attributes
  // (names, types, how many): defined in memory, then dropped, so that a
  // fault is found before any input is read. False, with `error`, if not.
  static bool trial(const Dataset& dataset, std::string& error);

  bool describedFirst() const override { return true; }
  // Creates the file and defines its variables and attributes; `dataset`
  // must outlive the writer.
  void begin(const Dataset& dataset) override;
  void put(const Record& record) override;
  void putMany(const Record* records, size_t count) override;
  // Writes what is left and closes the file.
  void end() override;
  // What failed, in the operating system's or the library's words; the
  // file is then left as it is, for the caller to discard.
  Failure failure() const override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace hexlog
