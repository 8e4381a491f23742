// Records let go and read again. Ordering by time holds the records until
// the last input is read; those that come in time order from files that can
// be read again need not be held: the stage lets them go, and they are
// decoded again from the files when they are wanted. What is read the second
// time must be what was read the first: each input's record texts are
// hashed both times, and counted.
//
//   first reading:  a.log  [start ........ end)   812 records let go, hash Ha
//                   b.log  [start ... (reading)    40 so far, hash Hb
//   replay:         a.log  [start, end) again:    812 records, hash Ha?
//                   b.log  from start, its first   40 records, hash Hb?
//
// A file that only grew at its end reads the same (nothing past `end` is
// read), a last line finished meanwhile too; one written over, shortened or
// replaced fails the run, named. Re-opening never waits: a FIFO put in a
// file's place is found out, not read.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "hash.hpp"
#include "hexlog/hexlog.hpp"
#include "interrupt.hpp"
#include "record.hpp"

namespace hexlog {

class Reread {
 public:
  // Records are decoded again as `decoder` decodes them (its prefix, rules
  // and vectors), and those in `window` taken.
  // `interrupt` is asked while they are.
  Reread(const Decoder& decoder, const Window& window, Interrupt& interrupt);
  ~Reread();
  Reread(const Reread&) = delete;
  Reread& operator=(const Reread&) = delete;

  // A new input, `fd` standing where its first reading starts: whether its
  // records may be let go, that is whether it can be read again (a regular
  // file, opened again by `name`, or through a duplicate of `fd` kept for
  // one that cannot be, such as standard input; a few at most).
  bool add(int fd, uint32_t file, const std::string& name);
  // The first reading of the input last added ended where `fd` stands.
  void ended(int fd);

  // The stage lets `record`, just decoded, go.
  void letGo(const Record& record);
  // How many records were let go.
  uint64_t records() const { return records_; }

  // Every record let go, decoded again in the order they came, to `sink`.
  // False, with failure() saying which input, when one cannot be read
  // again or is not what it was. May be called again.
  bool replay(RecordSink& sink);
  // Forgets the records let go (after they were kept some other way).
  void forget();

  const Failure& failure() const { return failure_; }

 private:
  struct Source {
    uint32_t file;
    std::string name;
    uint64_t start;
    uint64_t end;  // UINT64_MAX while its first reading goes on
    dev_t device;
    ino_t inode;
    int fd;  // the kept duplicate, or -1: opened again by name
    uint64_t records = 0;
    Hash hash;
  };
  class SecondReading;
  bool fail(int error, const std::string& text);
  bool replay(Source& source, RecordSink& sink, std::vector<char>& buf);

  Decoder decoder_;
  Window window_;
  Interrupt& interrupt_;
  std::vector<Source> sources_;
  size_t kept_ = 0;
  uint64_t records_ = 0;
  Failure failure_;
};

}  // namespace hexlog
