#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "las/bytes.hpp"
#include "las/laz/models.hpp"

// Small pieces the item codecs share.
namespace las::laz {

inline std::uint8_t fold_u8(int value) { return static_cast<std::uint8_t>(value); }

inline int clamp_u8(int value) { return value < 0 ? 0 : (value > 255 ? 255 : value); }

// Wrapping 32-bit arithmetic, as the format defines it.
inline std::int32_t wrapping_add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
inline std::int32_t wrapping_sub(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
inline std::int32_t wrapping_mul(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

// 256 symbol models of 256 symbols, one per previous byte value, created on
// first use: most files only ever meet a few previous values.
class ModelPerByte {
 public:
  SymbolModel& operator[](std::uint8_t previous) {
    auto& model = models_[previous];
    if (!model) model = std::make_unique<SymbolModel>(256);
    return *model;
  }

 private:
  std::array<std::unique_ptr<SymbolModel>, 256> models_;
};

// The median of the last five values added, kept with two insertion steps.
class StreamingMedian5 {
 public:
  std::int32_t get() const { return values_[2]; }

  void add(std::int32_t v) {
    auto& a = values_;
    if (high_) {
      if (v < a[2]) {
        a[4] = a[3];
        a[3] = a[2];
        if (v < a[0]) {
          a[2] = a[1];
          a[1] = a[0];
          a[0] = v;
        } else if (v < a[1]) {
          a[2] = a[1];
          a[1] = v;
        } else {
          a[2] = v;
        }
      } else {
        if (v < a[3]) {
          a[4] = a[3];
          a[3] = v;
        } else {
          a[4] = v;
        }
        high_ = false;
      }
    } else {
      if (a[2] < v) {
        a[0] = a[1];
        a[1] = a[2];
        if (a[4] < v) {
          a[2] = a[3];
          a[3] = a[4];
          a[4] = v;
        } else if (a[3] < v) {
          a[2] = a[3];
          a[3] = v;
        } else {
          a[2] = v;
        }
      } else {
        if (a[1] < v) {
          a[0] = a[1];
          a[1] = v;
        } else {
          a[0] = v;
        }
        high_ = true;
      }
    }
  }

 private:
  std::array<std::int32_t, 5> values_{};
  bool high_ = true;
};

}  // namespace las::laz
