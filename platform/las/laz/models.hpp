#pragma once

#include <cstdint>
#include <vector>

namespace las::laz {

class ArithmeticDecoder;
class ArithmeticEncoder;

// An adaptive model of one binary decision.
class BitModel {
 public:
  BitModel() = default;

 private:
  friend class ArithmeticDecoder;
  friend class ArithmeticEncoder;

  // Probabilities are 13-bit fixed point.
  static constexpr unsigned length_shift = 13;
  static constexpr std::uint32_t max_count = 1u << length_shift;

  void update();

  std::uint32_t bit_0_count_ = 1;
  std::uint32_t bit_count_ = 2;
  std::uint32_t bit_0_prob_ = 1u << (length_shift - 1);
  std::uint32_t bits_until_update_ = 4;
  std::uint32_t update_cycle_ = 4;
};

// An adaptive model of a symbol in [0, symbols), 2 <= symbols <= 2048. The
// cumulative distribution is recomputed at growing intervals; models with more
// than 16 symbols keep a lookup table that narrows the decoder's search.
class SymbolModel {
 public:
  explicit SymbolModel(unsigned symbols);

  unsigned symbols() const { return symbols_; }

 private:
  friend class ArithmeticDecoder;
  friend class ArithmeticEncoder;

  // Distribution values are 15-bit fixed point.
  static constexpr unsigned length_shift = 15;
  static constexpr std::uint32_t max_count = 1u << length_shift;

  void update();
  // Models of more than two symbols decode through a table of four entries a
  // symbol over their distribution, made on first decode (an encoder never
  // needs it) and kept current by update().
  void make_decoder_table();
  void fill_decoder_table();

  unsigned symbols_;
  unsigned last_symbol_;
  unsigned table_size_ = 0;
  unsigned table_shift_ = 0;
  std::uint32_t total_count_ = 0;
  std::uint32_t update_cycle_;
  std::uint32_t symbols_until_update_;
  std::vector<std::uint32_t> distribution_;
  std::vector<std::uint32_t> symbol_count_;
  std::vector<std::uint32_t> decoder_table_;
};

}  // namespace las::laz
