#include "text/number.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace karvik_core {
namespace {

std::string non_finite(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

}  // namespace

std::string render_number(double value) {
  if (!std::isfinite(value)) return non_finite(value);
  // The shortest round-trip digits come as "-d.ddde+XX"; they are then
  // written out positionally, so that 1e23 renders as a 1 and 23 zeros, not
  // as the exact value of the double (99999999999999991611392).
  char buf[32];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string_view text(buf, result.ptr);
  const std::size_t e = text.find('e');
  const bool negative = text.front() == '-';
  std::string digits;
  for (char c : text.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);

  std::string out = negative ? "-" : "";
  const int count = static_cast<int>(digits.size());
  if (exponent >= count - 1) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent - (count - 1)), '0');
  } else if (exponent >= 0) {
    out += digits.substr(0, static_cast<std::size_t>(exponent) + 1);
    out += '.';
    out += digits.substr(static_cast<std::size_t>(exponent) + 1);
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  }
  return out;
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
