#pragma once

#include <string>

namespace karvik_core {

// The shortest decimal that reads back as the same double, always in
// positional notation, without a fractional part for integral values:
// 10000.0 -> "10000", 1e-7 -> "0.0000001", NaN -> "NaN", -inf -> "-inf".
std::string render_number(double value);

// Fixed-point with exactly two decimals, correctly rounded from the exact
// value of the double (ties to even): 1.5 -> "1.50".
std::string render_two_decimals(double value);

}  // namespace karvik_core
