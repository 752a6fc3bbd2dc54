#pragma once

#include <cstdint>

namespace las {

// A part of a file's point data that decodes on its own: a LASzip chunk, or
// a slice of plain records.
struct PointUnit {
  std::uint64_t first_point = 0;
  std::uint64_t point_count = 0;
  friend bool operator==(const PointUnit&, const PointUnit&) = default;
};

}  // namespace las
