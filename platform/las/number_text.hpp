#pragma once

#include <string>

namespace las {

// The shortest text that reads back as the same double ("0.01", "1e-07", "inf").
std::string number_text(double value);

}  // namespace las
