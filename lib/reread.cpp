#include "reread.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "files.hpp"
#include "scan.hpp"

namespace hexlog {

namespace {

// Duplicates kept of inputs that cannot be opened again by name: a
// deployment of thousands of files holds none open.
constexpr size_t kMaxKept = 16;

void hashRecord(Hash& hash, const Record& record) {
  hash.add(record.line);
  hash.add(record.text, record.length);
}

}  // namespace

// One input decoded again: its first `left` records in the window, hashed,
// to the sink.
class Reread::SecondReading : public PieceSink, public RecordSink {
 public:
  SecondReading(Decoder& decoder, uint32_t file, const Window& window, Interrupt& interrupt, RecordSink& sink,
        uint64_t records)
      : decoder_(decoder), window_(window), interrupt_(interrupt), sink_(sink), left_(records) {
    decoder_.records = this;
    decoder_.file = file;
  }
  uint64_t left() const { return left_; }
  uint64_t hash() const { return hash_.value(); }

  void record(const char* text, size_t length, uint64_t line) override {
    if (left_ > 0)
      decoder_.decode(text, length, line);
  }
  void tooShort(uint64_t) override {}
  void beforeWait() override {}
  bool stopped() override { return left_ == 0 || interrupt_.now(); }
  void put(const Record& record) override {
    if (left_ == 0 || !window_.contains(record.time))
      return;
    --left_;
    hashRecord(hash_, record);
    sink_.put(record);
  }

 private:
  Decoder& decoder_;
  const Window& window_;
  Interrupt& interrupt_;
  RecordSink& sink_;
  uint64_t left_;
  Hash hash_;
};

Reread::Reread(const Decoder& decoder, const Window& window, Interrupt& interrupt)
    : window_(window), interrupt_(interrupt) {
  decoder_.startChars = decoder.startChars;
  decoder_.vectors = decoder.vectors;
  decoder_.fieldRules = decoder.fieldRules;
  decoder_.tally = nullptr;
}

Reread::~Reread() {
  forget();
}

bool Reread::add(int fd, uint32_t file, const std::string& name) {
  struct stat status;
  off_t start = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? lseek(fd, 0, SEEK_CUR) : -1;
  if (start < 0)
    return false;
  Source source{file, name, static_cast<uint64_t>(start), UINT64_MAX, status.st_dev, status.st_ino, -1, 0, Hash()};
  int again = openFile(name.c_str(), O_RDONLY | O_NONBLOCK);
  struct stat named;
  bool byName = again >= 0 && fstat(again, &named) == 0 && named.st_dev == status.st_dev &&
                named.st_ino == status.st_ino;
  if (again >= 0)
    close(again);
  if (!byName) {
    if (kept_ == kMaxKept || (source.fd = fcntl(fd, F_DUPFD_CLOEXEC, 3)) < 0)
      return false;
    ++kept_;
  }
  sources_.push_back(std::move(source));
  return true;
}

void Reread::ended(int fd) {
  off_t end = lseek(fd, 0, SEEK_CUR);
  if (!sources_.empty() && end >= 0)
    sources_.back().end = static_cast<uint64_t>(end);
}

void Reread::letGo(const Record& record) {
  // Records come in input order: the source is the last one added.
  Source& source = sources_.back();
  ++source.records;
  hashRecord(source.hash, record);
  ++records_;
}

bool Reread::fail(int error, const std::string& text) {
  if (failure_.kind == FailureKind::kNone)
    failure_ = Failure{FailureKind::kReread, error, text};
  return false;
}

bool Reread::replay(Source& source, RecordSink& sink, std::vector<char>& buf) {
  const std::string& name = source.name;
  int fd = source.fd >= 0 ? source.fd : openFile(name.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0)
    return fail(errno, "cannot read " + name + " again");
  // A file put in its place may have the number it had (numbers are used
  // again at once): one that is not a regular file is not it either.
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_dev != source.device ||
      status.st_ino != source.inode) {
    if (source.fd < 0)
      close(fd);
    return fail(0, name + " was replaced while it was read");
  }
  SecondReading again(decoder_, source.file, window_, interrupt_, sink, source.records);
  bool scanned = scanRange(fd, source.start, source.end, buf.data(), buf.size(), decoder_.vectors, again);
  int error = errno;
  if (source.fd < 0)
    close(fd);
  if (interrupt_.happened())
    return false;  // the run says so
  if (!scanned)
    return fail(error, "cannot read " + name + " again");
  if (again.left() != 0 || again.hash() != source.hash.value())
    return fail(0, name + " changed while it was read");
  return true;
}

bool Reread::replay(RecordSink& sink) {
  if (failure_.kind != FailureKind::kNone)
    return false;
  std::vector<char> buf(64 * 1024);
  for (Source& source : sources_)
    if (source.records > 0 && !replay(source, sink, buf))
      return false;
  return true;
}

void Reread::forget() {
  for (Source& source : sources_)
    if (source.fd >= 0)
      close(source.fd);
  sources_.clear();
  kept_ = 0;
  records_ = 0;
}

}  // namespace hexlog
