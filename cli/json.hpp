#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/number.hpp"
#include "text/utf8.hpp"

namespace karvik_cli::json {

// A JSON string: quotes, backslashes and control characters escaped, bytes
// that are not UTF-8 replaced by U+FFFD.
inline std::string string(std::string_view bytes) {
  std::string out = "\"";
  for (const char c : karvik_core::to_utf8_lossy(bytes)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// A JSON number: the shortest round-trip digits; null where JSON has none (NaN, infinities).
inline std::string number(double value) {
  return std::isfinite(value) ? karvik_core::render_number(value) : "null";
}
inline std::string number(std::uint64_t value) { return std::to_string(value); }

}  // namespace karvik_cli::json
