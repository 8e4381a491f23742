// NCCSV 1.2, the netCDF-compatible csv that ERDDAP reads directly:
//
//   *GLOBAL*,Conventions,"COARDS, CF-1.10, ACDD-1.3, NCCSV-1.2"
//   *GLOBAL*,time_coverage_start,2026-06-14T00:00:20Z
//   time,*DATA_TYPE*,String
//   time,units,yyyy-MM-dd'T'HH:mm:ssZ
//   EquilPumpOn_pCO2,*DATA_TYPE*,float
//   ...                                  the tool's attributes, then the user's
//   *END_METADATA*
//   time,EquilPumpOn_pCO2,...
//   2026-06-14T00:00:20Z,396.20715,...   NaN for NaN, infinite and missing
//   *END_DATA*
//
// The attributes computed from the records (actual_range, time coverage)
// come before the records, so the writer is given the whole dataset's
// description first.
#pragma once

#include "dataset.hpp"
#include "format.hpp"
#include "output.hpp"
#include "record.hpp"
#include "writer.hpp"

namespace hexlog {

class NccsvWriter : public Writer {
 public:
  NccsvWriter(Output& out, bool vectors) : out_(out), vectors_(vectors) {}
  bool describedFirst() const override { return true; }
  // The metadata: every attribute of the dataset, its names row.
  void begin(const Dataset& dataset) override;
  void put(const Record& record) override;
  // *END_DATA*.
  void end() override;

 private:
  Output& out_;
  bool vectors_;
  std::vector<const Variable*> flags_;
  bool provenance_ = false;
  DayCache dates_;
};

}  // namespace hexlog
