#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace karvik_core {

// Where a byte string stops being valid UTF-8.
struct Utf8Error {
  std::size_t valid_up_to;
  // Length of the invalid sequence; absent when the input ends inside a sequence.
  std::optional<std::size_t> error_len;

  // "invalid utf-8 sequence of 1 bytes from index 3", or
  // "incomplete utf-8 byte sequence from index 3".
  std::string describe() const;
};

std::optional<Utf8Error> validate_utf8(std::string_view bytes);

// Every maximal invalid sequence replaced by U+FFFD.
std::string to_utf8_lossy(std::string_view bytes);

}  // namespace karvik_core
