// One writer per format, behind one interface, chosen once by the run:
//
//   begin(dataset)   before the first record: csv's names, NCCSV's metadata,
//                    netCDF's definitions
//   put(record)      each record, in the order the stage hands them on
//   end()            after the last: NCCSV's *END_DATA*, netCDF's last
//                    chunk and the file closed, the arrays' last block
//
// A writer whose header says what the records hold (NCCSV, netCDF: the
// attributes computed from them) is begun only once the stage has shown
// every record to the dataset's statistics: describedFirst(). A writer
// keeps its first failure and goes on harmlessly, taking records and
// writing nothing; failure() tells, and so does the Output it writes to.
#pragma once

#include "hexlog/hexlog.hpp"
#include "record.hpp"

namespace hexlog {

class Writer : public RecordSink {
 public:
  virtual bool describedFirst() const { return false; }
  virtual void begin(const Dataset& dataset) = 0;
  virtual void end() {}
  // The writer's own failure, kNone while there is none; what goes wrong
  // in the Output it writes to is the Output's to tell.
  virtual Failure failure() const { return Failure(); }
};

}  // namespace hexlog
