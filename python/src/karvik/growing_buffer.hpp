#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace karvik_python {

// Memory that grows at its end without copying what it holds: an anonymous
// mapping that the kernel moves when it must grow (mremap), so that growing
// costs neither a second copy nor more than the pages written.
class GrowingBuffer {
 public:
  GrowingBuffer() = default;
  GrowingBuffer(GrowingBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  GrowingBuffer& operator=(GrowingBuffer&&) = delete;
  ~GrowingBuffer();

  // `bytes` more at the end, uninitialised; null when the memory is exhausted.
  std::uint8_t* extend(std::size_t bytes);

  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  bool reserve(std::size_t capacity);

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace karvik_python
