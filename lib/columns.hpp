// Records into arrays (Format::kColumns, the Python module's), a block of
// records at a time, column by column: writing one column's elements one
// after another fills its cache lines whole, where a record at a time
// touches 33 lines in 33 places and waits on memory for each (several
// times slower for millions of records).
//
//   put:    rows_[0..kBlock)   time, words, flags, file, line of each record
//   flush:  time column  <- rows_[0].time, rows_[1].time, ...
//           reading 0    <- rows_[0].words[0], rows_[1].words[0], ...
//
// Each input's records are hashed as they are written (Columns::digests),
// so that a caller decoding a file again can tell it is what it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dataset.hpp"
#include "hash.hpp"
#include "hexlog/hexlog.hpp"
#include "writer.hpp"

namespace hexlog {

class ColumnsWriter : public Writer {
 public:
  ColumnsWriter(Columns& columns, bool provenance);
  // A column for each of the dataset's flags.
  void begin(const Dataset& dataset) override;
  void put(const Record& record) override;
  // The last block, and each input's digest, for `inputs` inputs.
  void end() override;
  void setInputs(size_t inputs) { inputs_ = inputs; }
  // About how many records will come: see Column::expect.
  void expect(size_t records);
  Failure failure() const override;

 private:
  static constexpr size_t kBlock = 64;
  struct Row {
    int64_t time;
    uint32_t words[kFieldCount];
    int32_t file;
    int64_t line;
  };
  void flush();
  // The pending records' values of one column: get(i) for record i.
  template <typename Get>
  bool append(Column& column, Get get);

  Columns& columns_;
  bool provenance_;
  size_t inputs_ = 0;
  std::vector<Variable> flags_;
  Row rows_[kBlock];
  size_t pending_ = 0;
  std::vector<int8_t> rowFlags_;
  std::vector<Hash> hashes_;
  bool failed_ = false;
};

}  // namespace hexlog
