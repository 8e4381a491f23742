#include "stage.hpp"

#include "files.hpp"
#include "interrupt.hpp"
#include "reread.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace hexlog {

namespace {

// A record as the stage keeps it, in memory and in the spill file: this
// header, then its `count` words. No padding, so that a run is the bytes of
// its records one after another:
//
//   | time | count | missing | file | line (8) | word 0 | ... | word count-1 |
struct Header {
  int32_t time;
  uint32_t count;
  uint32_t missing;
  uint32_t file;
  uint64_t line;
};
constexpr size_t kHeader = 24;
static_assert(sizeof(Header) == kHeader);
constexpr size_t kLargestEntry = kHeader + 4 * kMaxWindows;

size_t entrySize(const char* entry) {
  uint32_t count;
  std::memcpy(&count, entry + 4, sizeof count);
  return kHeader + 4 * size_t{count};
}

int32_t entryTime(const char* entry) {
  int32_t time;
  std::memcpy(&time, entry, sizeof time);
  return time;
}

// Writes `record` as an entry at `to`; returns its size.
size_t toEntry(const Record& record, char* to) {
  Header header{record.time, record.count, record.missing, record.file, record.line};
  std::memcpy(to, &header, kHeader);
  std::memcpy(to + kHeader, record.words, 4 * size_t{record.count});
  return kHeader + 4 * size_t{record.count};
}

void copyRecord(const Record& from, Record& to) {
  std::memcpy(&to, &from, offsetof(Record, words) + 4 * size_t{from.count});
}

void toRecord(const char* entry, Record& record) {
  Header header;
  std::memcpy(&header, entry, kHeader);
  record.time = header.time;
  record.count = header.count;
  record.missing = header.missing;
  record.file = header.file;
  record.line = header.line;
  record.text = nullptr;
  record.length = 0;
  std::memcpy(record.words, entry + kHeader, 4 * size_t{header.count});
}

// Runs merged at once; more are merged in groups first. Each has a read
// buffer of kReadBuffer bytes.
constexpr size_t kMaxWays = 64;
constexpr size_t kReadBuffer = 256 * 1024;
constexpr size_t kWriteBuffer = 1024 * 1024;

// Sorts `keys` (time in the high half, offset in the low) by time alone,
// stably: two passes of 16 bits, least significant first. The offsets
// grow with the order the records came in, so equal times keep it.
void sortByTime(std::vector<uint64_t>& keys) {
  std::vector<uint64_t> other(keys.size());
  std::vector<uint32_t> counts(65536);
  for (int shift = 32; shift < 64; shift += 16) {
    std::fill(counts.begin(), counts.end(), 0);
    for (uint64_t key : keys)
      ++counts[key >> shift & 0xFFFF];
    uint32_t at = 0;
    for (uint32_t& count : counts) {
      uint32_t n = count;
      count = at;
      at += n;
    }
    for (uint64_t key : keys)
      other[counts[key >> shift & 0xFFFF]++] = key;
    keys.swap(other);
  }
}

// Times as unsigned numbers in the same order.
uint64_t timeKey(int32_t time) {
  return static_cast<uint64_t>(static_cast<uint32_t>(time) ^ 0x80000000u) << 32;
}

}  // namespace

// Drops duplicates and conflicts (when ordered) and hands the rest on.
class Stage::Emitter : public RecordSink {
 public:
  Emitter(RecordSink& sink, Tally* tally, bool dedup) : sink_(sink), tally_(tally), dedup_(dedup) {}

  void take(const char* entry) {
    toRecord(entry, *next_);
    takeNext();
  }
  void put(const Record& record) override {
    copyRecord(record, *next_);
    takeNext();
  }

 private:
  void takeNext() {
    const Record& record = *next_;
    if (dedup_ && haveFirst_ && record.time == last_->time) {
      // The same time as the first record of it, the last one handed on:
      // the same words too (count, missing bits and words) or not.
      bool same = record.count == last_->count && record.missing == last_->missing &&
                  std::equal(record.words, record.words + record.count, last_->words);
      if (tally_ != nullptr)
        tally_->note(same ? Event::kDuplicate : Event::kConflict, record.file, record.line);
      return;
    }
    haveFirst_ = true;
    std::swap(next_, last_);
    if (tally_ != nullptr)
      ++tally_->counts(last_->file).written;
    sink_.put(*last_);
  }

  RecordSink& sink_;
  Tally* tally_;  // where what happened is counted, if anywhere
  bool dedup_;
  bool haveFirst_ = false;
  Record records_[2];
  Record* next_ = &records_[0];
  Record* last_ = &records_[1];
};

// Records let go and decoded again, stored as if they had been kept.
class Stage::Restored : public RecordSink {
 public:
  explicit Restored(Stage& stage) : stage_(stage) {}
  void put(const Record& record) override {
    if (stage_.error() == 0)
      stage_.store(record);
  }

 private:
  Stage& stage_;
};

// Reads one run of the spill file, a record at a time.
//
// A run read for the last time (`release`) gives its disk back as it goes:
// a merge of many runs appends the merged one to the file, and without this
// every pass would stay on disk (6.4 times the records at the peak for
// hundreds of runs); with it the peak stays near the records' own size.
class Stage::Reader {
 public:
  Reader(int fd, const Run& run, size_t index, bool release)
      : index(index), fd_(fd), next_(run.offset), end_(run.offset + run.bytes), released_(release ? next_ : end_) {}
  ~Reader() { releaseTo(end_); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  const size_t index;  // of the run: among equal times, the lower goes first

  // The current record, nullptr at the end of the run; false on a read error.
  bool fill() {
    size_t left = filled_ - at_;
    if (left >= kHeader && left >= entrySize(buffer_.get() + at_))
      return true;
    releaseTo(next_ - left);
    std::memmove(buffer_.get(), buffer_.get() + at_, left);
    at_ = 0;
    filled_ = left;
    while (next_ < end_ && filled_ < kReadBuffer) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(kReadBuffer - filled_, end_ - next_));
      ssize_t n = pread(fd_, buffer_.get() + filled_, want, static_cast<off_t>(next_));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        error_ = n < 0 ? errno : EIO;
        return false;
      }
      filled_ += static_cast<size_t>(n);
      next_ += static_cast<uint64_t>(n);
    }
    return true;
  }
  const char* current() const { return at_ < filled_ ? buffer_.get() + at_ : nullptr; }
  void advance() { at_ += entrySize(buffer_.get() + at_); }
  int error() const { return error_; }

 private:
  // Frees the disk under the bytes before `offset`, a megabyte at a time
  // and at the end: advice, where the file system cannot, nothing is lost.
  void releaseTo(uint64_t offset) {
    if (offset <= released_ || (offset - released_ < kReleaseStep && offset < end_))
      return;
    fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(released_),
              static_cast<off_t>(offset - released_));
    released_ = offset;
  }
  static constexpr uint64_t kReleaseStep = uint64_t{1} << 20;

  int fd_;
  uint64_t next_;
  uint64_t end_;
  uint64_t released_;
  std::unique_ptr<char[]> buffer_{new char[kReadBuffer]};
  size_t at_ = 0;
  size_t filled_ = 0;
  int error_ = 0;
};

Stage::Stage(const StageSettings& settings, Tally& tally, RecordSink* streamTo)
    : settings_(settings), tally_(tally), streamTo_(streamTo) {
  // Room for the largest record and its key, at the least; offsets fit
  // the low half of a sort key.
  capacity_ = std::max(settings_.memory, 2 * (kLargestEntry + 8));
  capacity_ = std::min<size_t>(capacity_, size_t{1} << 31);
}

void Stage::setEarly(RecordSink* sink) {
  early_.reset(new Emitter(*sink, nullptr, settings_.ordered));
}

Stage::~Stage() {
  if (memory_ != nullptr)
    munmap(memory_, capacity_);
  if (spillFd_ >= 0)
    close(spillFd_);
}

void Stage::put(const Record& record) {
  if (!window().contains(record.time)) {
    ++tally_.counts(record.file).outside;
    return;
  }
  if (!retains()) {
    ++tally_.counts(record.file).written;
    streamTo_->put(record);
    return;
  }
  if (error() == 0)
    store(record);
}

bool Stage::store(const Record& record) {
  if (leading_) {
    // Records in order from files that can be read again are let go: they
    // are decoded again when wanted.
    if (reread_ != nullptr && dropping_ && !(settings_.ordered && record.time < lastTime_)) {
      lastTime_ = record.time;
      reread_->letGo(record);
      if (early_ != nullptr)
        early_->put(record);
      return true;
    }
    // Wanted now: to be sorted with this record and those that follow, as
    // if they had been kept.
    leading_ = false;
    if (reread_ != nullptr && reread_->records() > 0 && !restoreLetGo())
      return false;
  }
  size_t size = kHeader + 4 * size_t{record.count};
  Batch& batch = batch_;
  if (batch.used + size + 8 * (batch.records + 1) > capacity_) {
    // A second core spilling the batch while this one filled another
    // gained nothing measurable: on the machines measured the copies in the
    // kernel and the decoder slowed each other as much as they overlapped.
    spill(batch);
    if (error() != 0)
      return false;
  }
  if (memory_ == nullptr) {
    // Pages are touched only as records fill them: a short input costs
    // only what it holds. Where the budget cannot be had (a limit on the
    // address space), smaller batches do, down to a megabyte.
    void* memory;
    while ((memory = mmap(nullptr, capacity_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                          -1, 0)) == MAP_FAILED &&
           errno == ENOMEM && capacity_ / 2 >= std::max(size_t{1} << 20, 2 * (kLargestEntry + 8)))
      capacity_ /= 2;
    if (memory == MAP_FAILED) {
      fail(errno, "memory for ordering");
      return false;
    }
    memory_ = static_cast<char*>(memory);
    batch.memory = memory_;
  }
  toEntry(record, batch.memory + batch.used);
  if (settings_.ordered) {
    if (record.time < lastTime_)
      inOrder_ = false;
    lastTime_ = record.time;
    batch.order.push_back(timeKey(record.time) | batch.used);
  }
  batch.used += size;
  ++batch.records;
  return true;
}

// True if the batch was in order already.
bool Stage::sortBatch(Batch& batch) {
  if (!settings_.ordered || std::is_sorted(batch.order.begin(), batch.order.end()))
    return true;
  sortByTime(batch.order);
  return false;
}

void Stage::fail(int error, const char* what) {
  if (error_ == 0) {
    error_ = error;
    errorPlace_ = what;
  }
}

bool Stage::openSpill() {
  const char* directory = settings_.directory.c_str();
  if (*directory == '\0') {
    directory = std::getenv("TMPDIR");
    if (directory == nullptr || *directory == '\0')
      directory = "/tmp";
  }
  spillPlace_ = std::string("a temporary file in ") + directory;
  // A file without a name: nothing is left behind, however the run ends.
  spillFd_ = openFile(directory, O_TMPFILE | O_RDWR, 0600);
  if (spillFd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string name = std::string(directory) + "/.hexlog-sort-XXXXXX";
    spillFd_ = mkostemp(name.data(), O_CLOEXEC);
    if (spillFd_ >= 0)
      unlink(name.c_str());
    spillFd_ = aboveStandard(spillFd_);
  }
  if (spillFd_ < 0) {
    fail(errno, spillPlace_.c_str());
    return false;
  }
  return true;
}

uint64_t Stage::spillBytes() const {
  struct stat status;
  return spillFd_ >= 0 && fstat(spillFd_, &status) == 0 ? static_cast<uint64_t>(status.st_blocks) * 512 : 0;
}

bool Stage::writeSpill(const char* bytes, size_t n) {
  while (n > 0) {
    // A megabyte at a time: one write of a whole half, while the decoder
    // fills the other, ran twenty times slower per byte here.
    ssize_t written = pwrite(spillFd_, bytes, std::min(n, kWriteBuffer), static_cast<off_t>(spillEnd_));
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0) {
      fail(written < 0 ? errno : EIO, spillPlace_.c_str());
      return false;
    }
    bytes += written;
    n -= static_cast<size_t>(written);
    spillEnd_ += static_cast<uint64_t>(written);
  }
  if (settings_.measureSpill)
    spillPeak_ = std::max(spillPeak_, spillBytes());
  return true;
}

void Stage::spill(Batch& batch) {
  if (batch.records == 0 || error() != 0)
    return;
  if (spillFd_ < 0 && !openSpill())
    return;
  Run run{spillEnd_, 0};
  if (sortBatch(batch)) {
    // Already in order: the batch as it lies.
    writeSpill(batch.memory, batch.used);
  } else {
    std::unique_ptr<char[]> buffer(new char[kWriteBuffer]);
    size_t filled = 0;
    for (uint64_t key : batch.order) {
      const char* entry = batch.memory + (key & 0xFFFFFFFFu);
      size_t size = entrySize(entry);
      if (filled + size > kWriteBuffer) {
        if (!writeSpill(buffer.get(), filled))
          return;
        filled = 0;
      }
      std::memcpy(buffer.get() + filled, entry, size);
      filled += size;
    }
    writeSpill(buffer.get(), filled);
  }
  run.bytes = spillEnd_ - run.offset;
  runs_.push_back(run);
  batch.used = 0;
  batch.records = 0;
  batch.order.clear();
}

// Appends records to the end of the spill file: a merged run.
class Stage::RunWriter : public RecordSink {
 public:
  explicit RunWriter(Stage& stage) : stage_(stage) {}
  void put(const Record& record) override {
    size_t size = kHeader + 4 * size_t{record.count};
    if (filled_ + size > kWriteBuffer)
      flush();
    filled_ += toEntry(record, buffer_.get() + filled_);
  }
  bool flush() {
    bool written = stage_.writeSpill(buffer_.get(), filled_);
    filled_ = 0;
    return written;
  }

 private:
  Stage& stage_;
  std::unique_ptr<char[]> buffer_{new char[kWriteBuffer]};
  size_t filled_ = 0;
};

// The records let go, decoded again, stored as if they had been kept.
bool Stage::restoreLetGo() {
  Restored restored(*this);
  int32_t last = lastTime_;
  lastTime_ = INT32_MIN;
  bool replayed = reread_->replay(restored);
  lastTime_ = last;
  reread_->forget();
  if (!replayed)
    fail(ESTALE, "");
  return error() == 0;
}

bool Stage::interrupted() {
  if (interrupt_ == nullptr || !interrupt_->sometimes())
    return false;
  fail(EINTR, "");
  return true;
}

bool Stage::mergeRuns(size_t first, size_t last, RecordSink& sink, bool dedup, bool count, bool release) {
  Emitter emitter(sink, count ? &tally_ : nullptr, dedup);
  auto next = [&](Reader& reader) {
    reader.advance();
    if (!reader.fill())
      fail(reader.error(), spillPlace_.c_str());
    return error() == 0 && !interrupted();
  };
  if (!settings_.ordered || inOrder_) {
    // Runs of input in order follow one another: no merging needed, and
    // one read buffer at a time.
    for (size_t i = first; i < last; ++i) {
      Reader reader(spillFd_, runs_[i], i, release);
      if (!reader.fill()) {
        fail(reader.error(), spillPlace_.c_str());
        return false;
      }
      for (const char* entry; (entry = reader.current()) != nullptr;) {
        emitter.take(entry);
        if (!next(reader))
          return false;
      }
    }
    return true;
  }
  std::vector<std::unique_ptr<Reader>> readers;
  for (size_t i = first; i < last; ++i) {
    readers.emplace_back(new Reader(spillFd_, runs_[i], i, release));
    if (!readers.back()->fill()) {
      fail(readers.back()->error(), spillPlace_.c_str());
      return false;
    }
  }
  // A heap of the readers by their current record's time, then their run:
  // equal times come out in the order they went in.
  auto later = [](const Reader* a, const Reader* b) {
    int32_t ta = entryTime(a->current()), tb = entryTime(b->current());
    return ta != tb ? ta > tb : a->index > b->index;
  };
  std::vector<Reader*> heap;
  for (auto& reader : readers)
    if (reader->current() != nullptr)
      heap.push_back(reader.get());
  std::make_heap(heap.begin(), heap.end(), later);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), later);
    Reader* reader = heap.back();
    emitter.take(reader->current());
    if (!next(*reader))
      return false;
    if (reader->current() != nullptr)
      std::push_heap(heap.begin(), heap.end(), later);
    else
      heap.pop_back();
  }
  return true;
}

bool Stage::replay(RecordSink& sink, bool count) {
  if (!finished_) {
    finished_ = true;
    if (!runs_.empty()) {
      // Everything to the spill file, and the memory back: the writers
      // that follow (netCDF above all) need their own.
      spill(batch_);
      if (memory_ != nullptr)
        munmap(memory_, capacity_);
      memory_ = nullptr;
      batch_ = Batch();
      // Too many runs to merge at once: merge the first ones into one,
      // appended to the file, until few are left. They came in before all
      // the others, so the merged run goes first.
      while (error() == 0 && runs_.size() > kMaxWays && settings_.ordered && !inOrder_) {
        Run run{spillEnd_, 0};
        RunWriter writer(*this);
        if (!mergeRuns(0, kMaxWays, writer, false, false, true) || !writer.flush())
          break;
        run.bytes = spillEnd_ - run.offset;
        runs_.erase(runs_.begin(), runs_.begin() + kMaxWays);
        runs_.insert(runs_.begin(), run);
      }
    } else {
      sortBatch(batch_);
    }
  }
  if (error() != 0)
    return false;
  if (runs_.empty()) {
    Emitter emitter(sink, count ? &tally_ : nullptr, settings_.ordered);
    if (reread_ != nullptr && reread_->records() > 0 && !reread_->replay(emitter)) {
      fail(ESTALE, "");
      return false;
    }
    const Batch& batch = batch_;
    if (settings_.ordered) {
      for (uint64_t key : batch.order)
        if (emitter.take(batch.memory + (key & 0xFFFFFFFFu)), interrupted())
          return false;
    } else {
      for (size_t at = 0; at < batch.used; at += entrySize(batch.memory + at))
        if (emitter.take(batch.memory + at), interrupted())
          return false;
    }
    return true;
  }
  return mergeRuns(0, runs_.size(), sink, settings_.ordered, count, false);
}

}  // namespace hexlog
