#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace binding {

inline constexpr std::size_t kMaxParameters = 9;

// What a docstring's text-signature header "name($self, a, b=None)\n--\n\n"
// says: the callable's name, its parameter names (without $self) and how
// many of them, leading, have no default.
struct Header {
  std::string_view name;
  std::array<std::string_view, kMaxParameters> parameters{};
  std::size_t count = 0;
  std::size_t required = 0;
};

// Evaluated at compile time: a docstring without a well-formed header does
// not compile.
consteval Header parse_header(std::string_view doc) {
  const std::size_t open = doc.find('(');
  const std::size_t close = doc.find(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
      doc.substr(close + 1, 5) != "\n--\n\n") {
    throw "the docstring lacks a text-signature header";
  }
  Header header;
  header.name = doc.substr(0, open);
  std::string_view list = doc.substr(open + 1, close - open - 1);
  while (!list.empty()) {
    const std::size_t comma = list.find(", ");
    const std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 2);
    if (item == "$self") continue;
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
      if (header.required != header.count) throw "a parameter without default follows one with a default";
      ++header.required;
    }
    if (header.count == kMaxParameters) throw "too many parameters";
    header.parameters[header.count++] = item.substr(0, equals);
  }
  return header;
}

// The callable's name from the header, as a NUL-terminated string.
template <const char* Doc>
struct NameOf {
  static constexpr std::string_view name = parse_header(Doc).name;
  static constexpr auto text = [] {
    std::array<char, name.size() + 1> chars{};
    for (std::size_t i = 0; i < name.size(); ++i) chars[i] = name[i];
    return chars;
  }();
};

}  // namespace binding
