#pragma once

#include <string>

#include "las/test_files.hpp"

namespace las::testing {

// The records that laz-perf (tests/lazperf, an independent decoder of formats
// 0-3 and 6-8) decodes from the LAZ file at `path`; `scratch` receives them.
Bytes lazperf_decode(const std::string& path, const std::string& scratch);

}  // namespace las::testing
