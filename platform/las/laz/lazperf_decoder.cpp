#include "las/laz/lazperf_decoder.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace las::testing {

Bytes lazperf_decode(const std::string& path, const std::string& scratch) {
  std::string command = "node '";
  command.append(KARVIK_LAZPERF_DIR).append("/decode.js' '").append(path).append("' '").append(scratch);
  command.append("' 2>&1");
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return read_bytes(scratch);
}

}  // namespace las::testing
