#include "text/number.hpp"

#include <charconv>
#include <cmath>

namespace karvik_core {
namespace {

std::string non_finite(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

}  // namespace

std::string render_number(double value) {
  if (!std::isfinite(value)) return non_finite(value);
  // Fixed notation of the shortest round-trip digits: at most 309 integral
  // digits, or "0." and 323 zeros before the digits of the smallest subnormal.
  char buf[400];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, result.ptr);
}

std::string render_two_decimals(double value) {
  // As Python's format(value, '.2f') writes the non-finite values.
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[400];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2);
  return std::string(buf, result.ptr);
}

}  // namespace karvik_core
