#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "las/laz/models.hpp"

namespace las::laz {

// Decodes the arithmetic-coded stream of one LASzip chunk held in memory.
// Reading past the end of the bytes yields zero bytes and sets failed(), so a
// truncated or corrupt stream ends in a checked state instead of out-of-bounds
// reads; callers check failed() and stop.
class ArithmeticDecoder {
 public:
  explicit ArithmeticDecoder(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  // Reads the first four bytes of the stream.
  void init() {
    length_ = max_length;
    value_ = 0;
    for (int i = 0; i < 4; ++i) value_ = (value_ << 8) | next_byte();
  }

  unsigned decode_bit(BitModel& m) {
    const std::uint32_t x = m.bit_0_prob_ * (length_ >> BitModel::length_shift);
    unsigned sym;
    if (value_ < x) {
      sym = 0;
      length_ = x;
      ++m.bit_0_count_;
    } else {
      sym = 1;
      value_ -= x;
      length_ -= x;
    }
    if (length_ < min_length) renormalize();
    if (--m.bits_until_update_ == 0) m.update();
    return sym;
  }

  unsigned decode_symbol(SymbolModel& m) {
    std::uint32_t x;
    std::uint32_t y = length_;
    unsigned sym;
    length_ >>= SymbolModel::length_shift;
    if (m.table_size_ != 0) {
      if (m.decoder_table_.empty()) m.make_decoder_table();
      const std::uint32_t dv = value_ / length_;
      // A corrupt stream can push dv past the table; clamp to its last entry.
      std::uint32_t t = dv >> m.table_shift_;
      if (t > m.table_size_) t = m.table_size_;
      sym = m.decoder_table_[t];
      unsigned n = m.decoder_table_[t + 1] + 1;
      while (n > sym + 1) {
        const unsigned k = (sym + n) >> 1;
        if (m.distribution_[k] > dv) {
          n = k;
        } else {
          sym = k;
        }
      }
      x = m.distribution_[sym] * length_;
      if (sym != m.last_symbol_) y = m.distribution_[sym + 1] * length_;
    } else {
      x = 0;
      sym = 0;
      unsigned n = m.symbols_;
      unsigned k = n >> 1;
      do {
        const std::uint32_t z = length_ * m.distribution_[k];
        if (z > value_) {
          n = k;
          y = z;
        } else {
          sym = k;
          x = z;
        }
      } while ((k = (sym + n) >> 1) != sym);
    }
    value_ -= x;
    length_ = y - x;
    if (length_ < min_length) renormalize();
    ++m.symbol_count_[sym];
    if (--m.symbols_until_update_ == 0) m.update();
    return sym;
  }

  // Raw bits without a model.
  unsigned read_bit() { return read_raw(1); }

  // 1 <= bits <= 32.
  std::uint32_t read_bits(unsigned bits) {
    if (bits > 19) {
      const std::uint32_t low = read_short();
      return (read_bits(bits - 16) << 16) | low;
    }
    return read_raw(bits);
  }

  std::uint16_t read_short() { return static_cast<std::uint16_t>(read_raw(16)); }

  std::uint32_t read_int() {
    const std::uint32_t low = read_short();
    return (std::uint32_t{read_short()} << 16) | low;
  }

  std::uint64_t read_int64() {
    const std::uint64_t low = read_int();
    return (std::uint64_t{read_int()} << 32) | low;
  }

  bool failed() const { return failed_; }

  // Bytes consumed so far: after the last symbol of a stream written by
  // ArithmeticEncoder::done, exactly the stream's length.
  std::size_t position() const { return position_; }

 private:
  static constexpr std::uint32_t min_length = 0x01000000u;
  static constexpr std::uint32_t max_length = 0xFFFFFFFFu;

  std::uint32_t read_raw(unsigned bits) {
    length_ >>= bits;
    // Only a corrupt stream gives a quotient of bits + 1 bits or more; mask it.
    const std::uint32_t sym = (value_ / length_) & ((std::uint64_t{1} << bits) - 1);
    value_ -= length_ * sym;
    if (length_ < min_length) renormalize();
    return sym;
  }

  // length_ is never 0 after a decode, so a renormalization takes at most
  // four bytes: away from the stream's end one bounds check covers them.
  void renormalize() {
    if (bytes_.size() - position_ >= 4) {
      const std::uint8_t* next = bytes_.data() + position_;
      for (int i = 0; i < 4 && length_ < min_length; ++i) {
        value_ = (value_ << 8) | *next++;
        length_ <<= 8;
      }
      position_ = static_cast<std::size_t>(next - bytes_.data());
      if (length_ >= min_length) return;
    }
    do {
      value_ = (value_ << 8) | next_byte();
      length_ <<= 8;
    } while (length_ < min_length);
  }

  std::uint32_t next_byte() {
    if (position_ < bytes_.size()) return bytes_[position_++];
    failed_ = true;
    return 0;
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
  std::uint32_t value_ = 0;
  std::uint32_t length_ = max_length;
  bool failed_ = false;
};

}  // namespace las::laz
