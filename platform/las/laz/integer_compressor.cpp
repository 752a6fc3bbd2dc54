#include "las/laz/integer_compressor.hpp"

#include <algorithm>
#include <limits>

namespace las::laz {

CorrectorModels::CorrectorModels(unsigned bits, unsigned contexts, unsigned bits_high, std::uint32_t range)
    : bits_high_(bits_high) {
  if (range != 0) {
    corr_bits_ = 0;
    corr_range_ = range;
    for (std::uint32_t r = range; r != 0; r >>= 1) ++corr_bits_;
    if (corr_range_ == (1u << (corr_bits_ - 1))) --corr_bits_;
    corr_min_ = -static_cast<std::int32_t>(corr_range_ / 2);
    corr_max_ = static_cast<std::int32_t>(corr_min_ + static_cast<std::int64_t>(corr_range_) - 1);
  } else if (bits != 0 && bits < 32) {
    corr_bits_ = bits;
    corr_range_ = 1u << bits;
    corr_min_ = -static_cast<std::int32_t>(corr_range_ / 2);
    corr_max_ = static_cast<std::int32_t>(corr_min_ + static_cast<std::int64_t>(corr_range_) - 1);
  } else {
    corr_bits_ = 32;
    corr_range_ = 0;
    corr_min_ = std::numeric_limits<std::int32_t>::min();
    corr_max_ = std::numeric_limits<std::int32_t>::max();
  }
  bits_.reserve(contexts);
  for (unsigned i = 0; i < contexts; ++i) bits_.emplace_back(corr_bits_ + 1);
  correctors_.reserve(corr_bits_);
  for (unsigned k = 1; k <= corr_bits_; ++k) correctors_.emplace_back(1u << std::min(k, bits_high_));
}

}  // namespace las::laz
