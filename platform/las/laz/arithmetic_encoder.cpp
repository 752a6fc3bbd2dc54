#include "las/laz/arithmetic_encoder.hpp"

namespace las::laz {

void ArithmeticEncoder::propagate_carry() {
  // Bytes the reference has already written out lie before the last one or
  // two ring halves; a carry does not reach them.
  const std::size_t written = out_.size() - start_;
  const std::size_t flushed = written >= 2 * ring_half ? (written / ring_half - 1) * ring_half : 0;
  const std::size_t first = start_ + flushed;
  std::size_t p = out_.size();
  while (p > first) {
    --p;
    if (out_[p] != 0xFF) {
      ++out_[p];
      return;
    }
    out_[p] = 0;
  }
}

void ArithmeticEncoder::done() {
  const std::uint32_t before = base_;
  bool another_byte = true;
  if (length_ > 2 * min_length) {
    base_ += min_length;
    length_ = min_length >> 1;
  } else {
    base_ += min_length >> 1;
    length_ = min_length >> 9;
    another_byte = false;
  }
  if (base_ < before) propagate_carry();
  renormalize();
  out_.insert(out_.end(), another_byte ? 3 : 2, std::uint8_t{0});
  init();
}

}  // namespace las::laz
