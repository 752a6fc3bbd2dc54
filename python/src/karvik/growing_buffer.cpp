#include "karvik/growing_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <limits>

namespace karvik_python {

GrowingBuffer::~GrowingBuffer() {
  if (data_ != nullptr) munmap(data_, capacity_);
}

std::uint8_t* GrowingBuffer::extend(std::size_t bytes) {
  if (bytes > std::numeric_limits<std::size_t>::max() - size_) return nullptr;
  const std::size_t needed = size_ + bytes;
  if (needed > capacity_) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t exact = (needed + page - 1) / page * page;
    if (exact < needed) return nullptr;
    // Doubling reserves address space only; where that is short (32-bit), the exact size.
    const std::size_t doubled = capacity_ > std::numeric_limits<std::size_t>::max() / 2 ? exact : capacity_ * 2;
    if (!(doubled > exact && reserve(doubled)) && !reserve(exact)) return nullptr;
  }
  std::uint8_t* end = data_ + size_;
  size_ = needed;
  return end;
}

bool GrowingBuffer::reserve(std::size_t capacity) {
  void* grown = data_ == nullptr ? mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                 : mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
  if (grown == MAP_FAILED) return false;
  data_ = static_cast<std::uint8_t*>(grown);
  capacity_ = capacity;
  // Huge pages where the system allows them: a fault per 2 MiB, not per 4 KiB,
  // which is most of the cost of filling fresh memory.
  madvise(data_, capacity_, MADV_HUGEPAGE);
  return true;
}

}  // namespace karvik_python
