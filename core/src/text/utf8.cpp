#include "text/utf8.hpp"

namespace karvik_core {
namespace {

// Length of the sequence at `at`, or its error: error_len 0 means the input
// ended inside a sequence that was valid so far.
struct Step {
  bool ok;
  std::size_t len;
};

Step step(std::string_view s, std::size_t at) {
  const auto b0 = static_cast<unsigned char>(s[at]);
  if (b0 < 0x80) return {true, 1};
  std::size_t width;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    width = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    width = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    width = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {false, 1};
  }
  for (std::size_t i = 1; i < width; ++i) {
    if (at + i >= s.size()) return {false, 0};
    const auto b = static_cast<unsigned char>(s[at + i]);
    const unsigned char min = i == 1 ? lo : 0x80;
    const unsigned char max = i == 1 ? hi : 0xBF;
    if (b < min || b > max) return {false, i};
  }
  return {true, width};
}

}  // namespace

std::string Utf8Error::describe() const {
  if (error_len) {
    return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
           std::to_string(valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> validate_utf8(std::string_view bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const Step s = step(bytes, at);
    if (!s.ok) return Utf8Error{at, s.len == 0 ? std::nullopt : std::optional<std::size_t>(s.len)};
    at += s.len;
  }
  return std::nullopt;
}

std::string to_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const Step s = step(bytes, at);
    if (s.ok) {
      out.append(bytes.substr(at, s.len));
      at += s.len;
    } else {
      out += "\xEF\xBF\xBD";
      at += s.len == 0 ? bytes.size() - at : s.len;
    }
  }
  return out;
}

}  // namespace karvik_core
