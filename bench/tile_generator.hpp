#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "las/error.hpp"

namespace bench {

// A realistic airborne tile: a rolling terrain surface sampled on a jittered
// grid, vegetation giving up to three returns per pulse, GPS time increasing
// along flight lines. Coordinates are in a national grid (offsets of 10^5 m).
struct TileParams {
  double min_x = 100000;
  double min_y = 400000;
  double size = 1000;  // metres on a side
  std::uint64_t points = 1'000'000;
  std::uint8_t format = 1;  // 1, 3, 6 or 7
  std::uint32_t seed = 1;
  bool compressed = false;
  // The coordinate system as an OGC WKT VLR; none when empty.
  std::string wkt{};
};

std::expected<void, las::Error> generate_tile(const std::string& path, const TileParams& params);

}  // namespace bench
