#include <sys/mman.h>

#include <cstring>

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

}  // namespace hexlog
