#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "las/laz/models.hpp"

namespace las::laz {

// Encodes one arithmetic-coded stream, appending its bytes to a vector, bit
// for bit as the reference encoder does. That encoder keeps its output in a
// ring of two 1 KiB halves and writes a half out once the ring is full, so a
// carry can only reach bytes still in the ring; this one limits its carries
// to the same window, which matters for the bytes after very long runs of
// 0xFF.
class ArithmeticEncoder {
 public:
  explicit ArithmeticEncoder(std::vector<std::uint8_t>& out) : out_(out) { init(); }

  // Starts a new stream at the end of the vector.
  void init() {
    base_ = 0;
    length_ = max_length;
    start_ = out_.size();
  }

  void encode_bit(BitModel& m, unsigned sym) {
    const std::uint32_t x = m.bit_0_prob_ * (length_ >> BitModel::length_shift);
    if (sym == 0) {
      length_ = x;
      ++m.bit_0_count_;
    } else {
      add_to_base(x);
      length_ -= x;
    }
    if (length_ < min_length) renormalize();
    if (--m.bits_until_update_ == 0) m.update();
  }

  void encode_symbol(SymbolModel& m, unsigned sym) {
    std::uint32_t x;
    if (sym == m.last_symbol_) {
      x = m.distribution_[sym] * (length_ >> SymbolModel::length_shift);
      add_to_base(x);
      length_ -= x;
    } else {
      length_ >>= SymbolModel::length_shift;
      x = m.distribution_[sym] * length_;
      add_to_base(x);
      length_ = m.distribution_[sym + 1] * length_ - x;
    }
    if (length_ < min_length) renormalize();
    ++m.symbol_count_[sym];
    if (--m.symbols_until_update_ == 0) m.update();
  }

  void write_bit(unsigned sym) { write_raw(1, sym); }

  // 1 <= bits <= 32, sym < 2^bits.
  void write_bits(unsigned bits, std::uint32_t sym) {
    if (bits > 19) {
      write_short(static_cast<std::uint16_t>(sym));
      sym >>= 16;
      bits -= 16;
    }
    write_raw(bits, sym);
  }

  void write_short(std::uint16_t sym) { write_raw(16, sym); }

  void write_int(std::uint32_t sym) {
    write_short(static_cast<std::uint16_t>(sym));
    write_short(static_cast<std::uint16_t>(sym >> 16));
  }

  void write_int64(std::uint64_t sym) {
    write_int(static_cast<std::uint32_t>(sym));
    write_int(static_cast<std::uint32_t>(sym >> 32));
  }

  // Ends the stream: the last interval bytes, then the zero bytes that keep
  // the decoder's four-byte look-ahead inside the stream.
  void done();

 private:
  static constexpr std::uint32_t min_length = 0x01000000u;
  static constexpr std::uint32_t max_length = 0xFFFFFFFFu;
  static constexpr std::size_t ring_half = 1024;

  void write_raw(unsigned bits, std::uint32_t sym) {
    length_ >>= bits;
    add_to_base(sym * length_);
    if (length_ < min_length) renormalize();
  }

  void add_to_base(std::uint32_t x) {
    const std::uint32_t before = base_;
    base_ += x;
    if (base_ < before) propagate_carry();
  }

  void renormalize() {
    do {
      out_.push_back(static_cast<std::uint8_t>(base_ >> 24));
      base_ <<= 8;
    } while ((length_ <<= 8) < min_length);
  }

  void propagate_carry();

  std::vector<std::uint8_t>& out_;
  std::size_t start_ = 0;
  std::uint32_t base_ = 0;
  std::uint32_t length_ = max_length;
};

}  // namespace las::laz
