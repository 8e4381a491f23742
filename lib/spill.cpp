#include "spill.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "files.hpp"
#include "interrupt.hpp"

namespace hexlog {

namespace {

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
  record.flags = nullptr;
  std::memcpy(record.words, entry + kHeader, 4 * size_t{header.count});
}

// Reads one run of the spill file, a record at a time.
//
// A run read for the last time (`release`) gives its disk back as it goes:
// a merge of many runs appends the merged one to the file, and without this
// every pass would stay on disk (6.4 times the records at the peak for
// hundreds of runs); with it the peak stays near the records' own size.
class Spill::Reader {
 public:
  Reader(int fd, const SortedRun& run, size_t at, bool release)
      : index(at), fd_(fd), next_(run.offset), end_(run.offset + run.bytes), released_(release ? next_ : end_) {}
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

// Appends entries to the end of the spill file: a merged run.
class Spill::Appender : public EntrySink {
 public:
  explicit Appender(Spill& spill) : spill_(spill) {}
  void take(const char* entry) override {
    size_t size = entrySize(entry);
    if (filled_ + size > kWriteBuffer)
      flush();
    std::memcpy(buffer_.get() + filled_, entry, size);
    filled_ += size;
  }
  bool flush() {
    bool written = spill_.write(buffer_.get(), filled_);
    filled_ = 0;
    return written;
  }

 private:
  Spill& spill_;
  std::unique_ptr<char[]> buffer_{new char[kWriteBuffer]};
  size_t filled_ = 0;
};

Spill::Spill(const SpillSettings& settings) : settings_(settings) {
  // Room for the largest record and its key, at the least; offsets fit
  // the low half of a sort key.
  capacity_ = std::max(settings_.memory, 2 * (kLargestEntry + 8));
  capacity_ = std::min<size_t>(capacity_, size_t{1} << 31);
}

Spill::~Spill() {
  if (batch_.memory != nullptr)
    munmap(batch_.memory, capacity_);
  if (fd_ >= 0)
    close(fd_);
}

void Spill::fail(int error, const std::string& place) {
  if (error_ == 0) {
    error_ = error;
    errorPlace_ = place;
  }
}

bool Spill::store(const Record& record) {
  if (error_ != 0)
    return false;
  size_t size = kHeader + 4 * size_t{record.count};
  Batch& batch = batch_;
  if (batch.used + size + 8 * (batch.records + 1) > capacity_) {
    // A second core spilling the batch while this one filled another
    // gained nothing measurable: on the machines measured the copies in the
    // kernel and the decoder slowed each other as much as they overlapped.
    spill();
    if (error_ != 0)
      return false;
  }
  if (batch.memory == nullptr) {
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
    batch.memory = static_cast<char*>(memory);
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
bool Spill::sortBatch() {
  if (!settings_.ordered || std::is_sorted(batch_.order.begin(), batch_.order.end()))
    return true;
  sortByTime(batch_.order);
  return false;
}

bool Spill::openFile() {
  std::string directory = settings_.directory.empty() ? "/tmp" : settings_.directory;
  place_ = "a temporary file in " + directory;
  // A file without a name: nothing is left behind, however the run ends.
  fd_ = hexlog::openFile(directory.c_str(), O_TMPFILE | O_RDWR, 0600);
  if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string name = directory + "/.hexlog-sort-XXXXXX";
    fd_ = mkostemp(name.data(), O_CLOEXEC);
    if (fd_ >= 0)
      unlink(name.c_str());
    fd_ = aboveStandard(fd_);
  }
  if (fd_ < 0) {
    fail(errno, place_);
    return false;
  }
  return true;
}

bool Spill::write(const char* bytes, size_t n) {
  while (n > 0) {
    // A megabyte at a time: one write of a whole half, while the decoder
    // fills the other, ran twenty times slower per byte here.
    ssize_t written = pwrite(fd_, bytes, std::min(n, kWriteBuffer), static_cast<off_t>(end_));
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0) {
      fail(written < 0 ? errno : EIO, place_);
      return false;
    }
    bytes += written;
    n -= static_cast<size_t>(written);
    end_ += static_cast<uint64_t>(written);
  }
  struct stat status;
  if (settings_.measure && fstat(fd_, &status) == 0)
    peak_ = std::max(peak_, static_cast<uint64_t>(status.st_blocks) * 512);
  return true;
}

void Spill::spill() {
  Batch& batch = batch_;
  if (batch.records == 0 || error_ != 0)
    return;
  if (fd_ < 0 && !openFile())
    return;
  SortedRun run{end_, 0};
  if (sortBatch()) {
    // Already in order: the batch as it lies.
    write(batch.memory, batch.used);
  } else {
    std::unique_ptr<char[]> buffer(new char[kWriteBuffer]);
    size_t filled = 0;
    for (uint64_t key : batch.order) {
      const char* entry = batch.memory + (key & 0xFFFFFFFFu);
      size_t size = entrySize(entry);
      if (filled + size > kWriteBuffer) {
        if (!write(buffer.get(), filled))
          return;
        filled = 0;
      }
      std::memcpy(buffer.get() + filled, entry, size);
      filled += size;
    }
    write(buffer.get(), filled);
  }
  run.bytes = end_ - run.offset;
  runs_.push_back(run);
  batch.used = 0;
  batch.records = 0;
  batch.order.clear();
}

// After the last record, once: a batch alone is sorted where it lies;
// with runs, it is spilled too, its memory given back (the writers that
// follow, netCDF above all, need their own), and too many runs to merge at
// once are merged in groups, each appended as one run, until few are left.
// A group came in before all the runs after it, so its merged run goes
// first.
void Spill::finish() {
  if (finished_)
    return;
  finished_ = true;
  if (runs_.empty()) {
    sortBatch();
    return;
  }
  spill();
  if (batch_.memory != nullptr)
    munmap(batch_.memory, capacity_);
  batch_ = Batch();
  while (error_ == 0 && runs_.size() > kMaxWays && settings_.ordered && !inOrder_) {
    SortedRun run{end_, 0};
    Appender appender(*this);
    if (!merge(0, kMaxWays, appender, true, nullptr) || !appender.flush())
      break;
    run.bytes = end_ - run.offset;
    runs_.erase(runs_.begin(), runs_.begin() + kMaxWays);
    runs_.insert(runs_.begin(), run);
  }
}

bool Spill::merge(size_t first, size_t last, EntrySink& sink, bool release, Interrupt* interrupt) {
  auto next = [&](Reader& reader) {
    reader.advance();
    if (!reader.fill())
      fail(reader.error(), place_);
    if (interrupt != nullptr && interrupt->sometimes())
      fail(EINTR, "");
    return error_ == 0;
  };
  if (!settings_.ordered || inOrder_) {
    // Runs of input in order follow one another: no merging needed, and
    // one read buffer at a time.
    for (size_t i = first; i < last; ++i) {
      Reader reader(fd_, runs_[i], i, release);
      if (!reader.fill()) {
        fail(reader.error(), place_);
        return false;
      }
      for (const char* entry; (entry = reader.current()) != nullptr;) {
        sink.take(entry);
        if (!next(reader))
          return false;
      }
    }
    return true;
  }
  std::vector<std::unique_ptr<Reader>> readers;
  for (size_t i = first; i < last; ++i) {
    readers.emplace_back(new Reader(fd_, runs_[i], i, release));
    if (!readers.back()->fill()) {
      fail(readers.back()->error(), place_);
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
    sink.take(reader->current());
    if (!next(*reader))
      return false;
    if (reader->current() != nullptr)
      std::push_heap(heap.begin(), heap.end(), later);
    else
      heap.pop_back();
  }
  return true;
}

bool Spill::replay(EntrySink& sink, Interrupt* interrupt) {
  finish();
  if (error_ != 0)
    return false;
  if (!runs_.empty())
    return merge(0, runs_.size(), sink, false, interrupt);
  auto stopped = [&] {
    if (interrupt == nullptr || !interrupt->sometimes())
      return false;
    fail(EINTR, "");
    return true;
  };
  const Batch& batch = batch_;
  if (settings_.ordered) {
    for (uint64_t key : batch.order)
      if (sink.take(batch.memory + (key & 0xFFFFFFFFu)), stopped())
        return false;
  } else {
    for (size_t at = 0; at < batch.used; at += entrySize(batch.memory + at))
      if (sink.take(batch.memory + at), stopped())
        return false;
  }
  return true;
}

}  // namespace hexlog
