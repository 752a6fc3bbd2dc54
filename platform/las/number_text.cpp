#include "las/number_text.hpp"

#include <charconv>

namespace las {

std::string number_text(double value) {
  // Up to 309 integral digits, or 323 zeros before the digits of the smallest subnormal.
  char buf[400];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, result.ptr);
}

}  // namespace las
