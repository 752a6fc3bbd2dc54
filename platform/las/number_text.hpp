#pragma once

#include <string>

namespace las {

// The shortest digits that read back as the same double, in positional
// notation ("0.01", "0.0000001", "30000000", "inf").
std::string number_text(double value);

}  // namespace las
