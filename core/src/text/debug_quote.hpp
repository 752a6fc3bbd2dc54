#pragma once

#include <string>
#include <string_view>

namespace karvik_core {

// A text in debug form: enclosed in double quotes, with double quotes,
// backslashes and control characters escaped ("\n", "\t", "\u{1b}").
std::string debug_quote(std::string_view text);

}  // namespace karvik_core
