#include "las/number_text.hpp"

#include <charconv>

namespace las {

std::string number_text(double value) {
  char buf[32];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, result.ptr);
}

}  // namespace las
