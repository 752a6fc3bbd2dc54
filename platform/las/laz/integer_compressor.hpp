#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "las/laz/arithmetic_decoder.hpp"
#include "las/laz/arithmetic_encoder.hpp"
#include "las/laz/models.hpp"

namespace las::laz {

// The models shared by both directions of the integer predictor: a value is
// coded as its correction from a prediction, first the correction's bit count
// k (one model per context), then the correction within that bit-count class
// (its top bits_high bits modelled, the rest raw).
class CorrectorModels {
 public:
  // bits: width of the values (32 or more means the full int32 range);
  // range, when not 0, replaces 2^bits as the range of the values.
  CorrectorModels(unsigned bits, unsigned contexts, unsigned bits_high, std::uint32_t range);

  // The bit count of the last correction coded.
  unsigned k() const { return k_; }

 protected:
  // Wraps a correction into [corr_min_, corr_max_].
  std::int32_t wrap(std::int64_t corr) const {
    if (corr_range_ == 0) return static_cast<std::int32_t>(static_cast<std::uint32_t>(corr));
    if (corr < corr_min_) {
      corr += corr_range_;
    } else if (corr > corr_max_) {
      corr -= corr_range_;
    }
    return static_cast<std::int32_t>(corr);
  }

  unsigned bits_high_;
  unsigned corr_bits_;
  std::uint32_t corr_range_;
  std::int32_t corr_min_;
  std::int32_t corr_max_;
  unsigned k_ = 0;
  std::vector<SymbolModel> bits_;        // per context: the bit count k
  BitModel zero_corrector_;              // k == 0: the correction is 0 or 1
  std::vector<SymbolModel> correctors_;  // index k - 1 for 1 <= k <= corr_bits
};

class IntegerDecompressor : public CorrectorModels {
 public:
  IntegerDecompressor(unsigned bits, unsigned contexts = 1, unsigned bits_high = 8, std::uint32_t range = 0)
      : CorrectorModels(bits, contexts, bits_high, range) {}

  std::int32_t decompress(ArithmeticDecoder& dec, std::int32_t pred, unsigned context = 0) {
    std::int32_t real = static_cast<std::int32_t>(static_cast<std::uint32_t>(pred) +
                                                  static_cast<std::uint32_t>(read_corrector(dec, bits_[context])));
    if (real < 0) {
      real = static_cast<std::int32_t>(static_cast<std::uint32_t>(real) + corr_range_);
    } else if (static_cast<std::uint32_t>(real) >= corr_range_ && corr_range_ != 0) {
      real = static_cast<std::int32_t>(static_cast<std::uint32_t>(real) - corr_range_);
    }
    return real;
  }

 private:
  std::int32_t read_corrector(ArithmeticDecoder& dec, SymbolModel& bits_model) {
    k_ = dec.decode_symbol(bits_model);
    if (k_ == 0) return static_cast<std::int32_t>(dec.decode_bit(zero_corrector_));
    if (k_ >= 32) return corr_min_;
    std::uint32_t c;
    if (k_ <= bits_high_) {
      c = dec.decode_symbol(correctors_[k_ - 1]);
    } else {
      const unsigned low_bits = k_ - bits_high_;
      c = dec.decode_symbol(correctors_[k_ - 1]);
      c = (c << low_bits) | dec.read_bits(low_bits);
    }
    // Classes k hold [-(2^k - 1), -2^(k-1)] and [2^(k-1) + 1, 2^k].
    if (c >= (1u << (k_ - 1))) return static_cast<std::int32_t>(c + 1);
    return static_cast<std::int32_t>(c - ((1u << k_) - 1));
  }
};

class IntegerCompressor : public CorrectorModels {
 public:
  IntegerCompressor(unsigned bits, unsigned contexts = 1, unsigned bits_high = 8, std::uint32_t range = 0)
      : CorrectorModels(bits, contexts, bits_high, range) {}

  void compress(ArithmeticEncoder& enc, std::int32_t pred, std::int32_t real, unsigned context = 0) {
    write_corrector(enc, wrap(std::int64_t{real} - pred), bits_[context]);
  }

 private:
  void write_corrector(ArithmeticEncoder& enc, std::int32_t c, SymbolModel& bits_model) {
    // k: the bit count of |c| for c <= 0, of c - 1 for c > 0.
    const std::uint32_t magnitude = c <= 0 ? 0u - static_cast<std::uint32_t>(c) : static_cast<std::uint32_t>(c) - 1;
    k_ = static_cast<unsigned>(std::bit_width(magnitude));
    enc.encode_symbol(bits_model, k_);
    if (k_ == 0) {
      enc.encode_bit(zero_corrector_, static_cast<unsigned>(c));
      return;
    }
    if (k_ >= 32) return;
    const std::uint32_t offset =
        c < 0 ? static_cast<std::uint32_t>(c) + ((1u << k_) - 1) : static_cast<std::uint32_t>(c) - 1;
    if (k_ <= bits_high_) {
      enc.encode_symbol(correctors_[k_ - 1], offset);
    } else {
      const unsigned low_bits = k_ - bits_high_;
      enc.encode_symbol(correctors_[k_ - 1], offset >> low_bits);
      enc.write_bits(low_bits, offset & ((1u << low_bits) - 1));
    }
  }
};

}  // namespace las::laz
