#pragma once

#include <cmath>
#include <cstdint>
#include <expected>
#include <string>

#include "las/error.hpp"

namespace las {

// Scale and offset of one axis: value = raw * scale + offset.
struct Transform {
  double scale = 0.001;
  double offset = 0.0;

  double apply(std::int32_t raw) const { return raw * scale + offset; }

  // The raw value for a coordinate, rounded to nearest with halves away from
  // zero; fails when it falls outside int32 (or is NaN).
  std::expected<std::int32_t, Error> inverse(double value) const {
    const double raw = std::round((value - offset) / scale);
    if (raw >= -2147483648.0 && raw <= 2147483647.0) return static_cast<std::int32_t>(raw);
    return std::unexpected(inverse_error(value));
  }

  bool operator==(const Transform&) const = default;

 private:
  Error inverse_error(double value) const;
};

// "{scale: 0.01, offset: 100}"
std::string describe(const Transform& transform);

}  // namespace las
