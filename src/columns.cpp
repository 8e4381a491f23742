#include <sys/mman.h>

#include <cstring>

#include "hexlog/hexlog.hpp"

namespace hexlog {

// Mapped pages grow with mremap, which moves no bytes: a column never holds
// two copies of itself, and only the pages it has filled are resident.
bool Column::grow() {
  size_t bytes = mapped_ == 0 ? size_t{2} << 20 : 2 * mapped_;
  void* memory = mapped_ == 0 ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                              : mremap(data_, mapped_, bytes, MREMAP_MAYMOVE);
  if (memory == MAP_FAILED)
    return false;
  // From 8 MiB on, pages of 2 MiB: a large column takes hundreds of page
  // faults instead of hundreds of thousands, which on a virtual machine cost
  // more than the decoding itself. Not before: the last huge page of each
  // column is filled only in part, and that part must stay small beside
  // what the column holds. (The first mapping is 2 MiB, which the kernel
  // places on a huge page's boundary.) Advice only: ignored where
  // transparent huge pages are off.
  if (bytes >= size_t{8} << 20)
    madvise(memory, bytes, MADV_HUGEPAGE);
  data_ = memory;
  mapped_ = bytes;
  capacity_ = bytes / elementSize_;
  return true;
}

Column::Column(Column&& other) noexcept
    : elementSize_(other.elementSize_), size_(other.size_), capacity_(other.capacity_), mapped_(other.mapped_),
      data_(other.data_) {
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
