#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include "columns.hpp"
#include "hexlog/hexlog.hpp"

namespace hexlog {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

}  // namespace

// Mapped pages grow with mremap, which moves no bytes: a column never holds
// two copies of itself, and only the pages it has filled are resident.
//
// A large column is in pages of 2 MiB: it takes hundreds of page faults
// instead of hundreds of thousands, which on a virtual machine cost more
// than the decoding itself. A small one is not: the last huge page of a
// column is filled only in part, and that part must stay small beside what
// the column holds. So huge pages from 16 MiB on, or from the start for a
// column expected to hold 5 MiB or more. (Mappings of whole huge pages,
// which the kernel places on a huge page's boundary.) Advice only: ignored
// where transparent huge pages are off.
bool Column::grow() {
  size_t expectedBytes = expected_ < (size_t{1} << 40) ? expected_ * elementSize_ : 0;
  bool large = expectedBytes >= size_t{5} << 20;
  size_t bytes = 2 * mapped_;
  if (mapped_ == 0)
    bytes = large ? (expectedBytes + kHugePage - 1) / kHugePage * kHugePage : kHugePage;
  void* memory = mapped_ == 0 ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                              : mremap(data_, mapped_, bytes, MREMAP_MAYMOVE);
  if (memory == MAP_FAILED)
    return false;
  if (large || bytes >= size_t{16} << 20)
    madvise(memory, bytes, MADV_HUGEPAGE);
  data_ = memory;
  mapped_ = bytes;
  capacity_ = bytes / elementSize_;
  return true;
}

Column::Column(Column&& other) noexcept
    : elementSize_(other.elementSize_), expected_(other.expected_), size_(other.size_), capacity_(other.capacity_),
      mapped_(other.mapped_), data_(other.data_) {
  other.size_ = other.capacity_ = other.mapped_ = 0;
  other.data_ = nullptr;
}

Column::~Column() {
  if (data_ != nullptr)
    munmap(data_, mapped_);
}

void* Column::release(size_t& bytes) {
  void* memory = data_;
  bytes = mapped_;
  data_ = nullptr;
  size_ = capacity_ = mapped_ = 0;
  return memory;
}

void freeColumnMemory(void* memory, size_t bytes) {
  if (memory != nullptr)
    munmap(memory, bytes);
}

ColumnsWriter::ColumnsWriter(Columns& columns, bool provenance) : columns_(columns), provenance_(provenance) {
  for (int k = 0; k < kFieldCount; ++k)
    columns_.readings.emplace_back(4);
}

void ColumnsWriter::begin(const Dataset& dataset) {
  for (const Variable* flag : flagVariables(dataset)) {
    flags_.push_back(*flag);
    columns_.flags.emplace_back(1);
    columns_.flagNames.push_back(flag->name);
  }
  rowFlags_.resize(kBlock * flags_.size());
}

void ColumnsWriter::put(const Record& record) {
  Row& row = rows_[pending_];
  row.time = record.time;
  for (uint32_t k = 0; k < kFieldCount; ++k)
    row.words[k] = readingBits(record, k, kNaNBits);
  int8_t* flags = rowFlags_.data() + pending_ * flags_.size();
  for (size_t f = 0; f < flags_.size(); ++f)
    flags[f] = flagOf(record, f);
  row.file = static_cast<int32_t>(record.file);
  row.line = static_cast<int64_t>(record.line);
  if (record.file >= hashes_.size())
    hashes_.resize(record.file + 1);
  Hash& hash = hashes_[record.file];
  hash.add(static_cast<uint64_t>(row.time));
  hash.add(row.words, sizeof row.words);
  hash.add(flags, flags_.size());
  hash.add(record.line);
  if (++pending_ == kBlock)
    flush();
}

void ColumnsWriter::expect(size_t records) {
  columns_.time.expect(records);
  for (Column& column : columns_.readings)
    column.expect(records);
  for (Column& column : columns_.flags)
    column.expect(records);
  if (provenance_) {
    columns_.file.expect(records);
    columns_.line.expect(records);
  }
}

template <typename Get>
bool ColumnsWriter::append(Column& column, Get get) {
  for (size_t i = 0; i < pending_; ++i) {
    auto value = get(i);
    void* at = column.append();
    if (at == nullptr)
      return false;
    std::memcpy(at, &value, sizeof value);
  }
  return true;
}

void ColumnsWriter::flush() {
  if (failed_) {
    pending_ = 0;
    return;
  }
  bool written = append(columns_.time, [this](size_t i) { return rows_[i].time; });
  for (size_t k = 0; written && k < kFieldCount; ++k)
    written = append(columns_.readings[k], [this, k](size_t i) { return rows_[i].words[k]; });
  size_t flags = flags_.size();
  for (size_t f = 0; written && f < flags; ++f)
    written = append(columns_.flags[f], [this, f, flags](size_t i) { return rowFlags_[i * flags + f]; });
  if (written && provenance_)
    written = append(columns_.file, [this](size_t i) { return rows_[i].file; }) &&
              append(columns_.line, [this](size_t i) { return rows_[i].line; });
  failed_ = !written;
  pending_ = 0;
}

void ColumnsWriter::end() {
  flush();
  columns_.digests.assign(inputs_, Hash().value());
  for (size_t file = 0; file < hashes_.size() && file < inputs_; ++file)
    columns_.digests[file] = hashes_[file].value();
}

Failure ColumnsWriter::failure() const {
  return failed_ ? Failure{FailureKind::kTemporary, ENOMEM, "memory for the arrays"} : Failure();
}

}  // namespace hexlog
