#include "las/laz/models.hpp"

#include <algorithm>
#include <cassert>

namespace las::laz {

void BitModel::update() {
  // Halve the counts once they reach the limit, keeping bit 1 possible.
  bit_count_ += update_cycle_;
  if (bit_count_ > max_count) {
    bit_count_ = (bit_count_ + 1) >> 1;
    bit_0_count_ = (bit_0_count_ + 1) >> 1;
    if (bit_0_count_ == bit_count_) ++bit_count_;
  }
  const std::uint32_t scale = 0x80000000u / bit_count_;
  bit_0_prob_ = (bit_0_count_ * scale) >> (31 - length_shift);
  update_cycle_ = std::min<std::uint32_t>((5 * update_cycle_) >> 2, 64);
  bits_until_update_ = update_cycle_;
}

SymbolModel::SymbolModel(unsigned symbols)
    : symbols_(symbols),
      last_symbol_(symbols - 1),
      update_cycle_(symbols),
      distribution_(symbols),
      symbol_count_(symbols, 1) {
  assert(symbols >= 2 && symbols <= 2048);
  if (symbols > 2) {
    // Four entries a symbol: a decode rarely searches beyond its entry.
    unsigned table_bits = 3;
    while (symbols > (1u << (table_bits - 2))) ++table_bits;
    table_size_ = 1u << table_bits;
    table_shift_ = length_shift - table_bits;
  }
  update();
  update_cycle_ = (symbols + 6) >> 1;
  symbols_until_update_ = update_cycle_;
}

void SymbolModel::update() {
  total_count_ += update_cycle_;
  if (total_count_ > max_count) {
    total_count_ = 0;
    for (auto& count : symbol_count_) {
      count = (count + 1) >> 1;
      total_count_ += count;
    }
  }
  const std::uint32_t scale = 0x80000000u / total_count_;
  std::uint32_t sum = 0;
  for (unsigned k = 0; k < symbols_; ++k) {
    distribution_[k] = (scale * sum) >> (31 - length_shift);
    sum += symbol_count_[k];
  }
  if (!decoder_table_.empty()) fill_decoder_table();
  update_cycle_ = std::min((5 * update_cycle_) >> 2, (symbols_ + 6) << 3);
  symbols_until_update_ = update_cycle_;
}

void SymbolModel::make_decoder_table() {
  decoder_table_.assign(table_size_ + 2, 0);
  fill_decoder_table();
}

void SymbolModel::fill_decoder_table() {
  // Entry t of the table: the last symbol whose distribution starts below t.
  unsigned s = 0;
  for (unsigned k = 0; k < symbols_; ++k) {
    const unsigned w = distribution_[k] >> table_shift_;
    while (s < w) decoder_table_[++s] = k - 1;
  }
  decoder_table_[0] = 0;
  while (s <= table_size_) decoder_table_[++s] = symbols_ - 1;
}

}  // namespace las::laz
