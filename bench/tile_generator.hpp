#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "las/error.hpp"

namespace bench {

// The order of the records in the file.
enum class PointOrder {
  // Rows of the jittered grid.
  grid,
  // As a scanner records them: north-south strips 450 m wide with 25% side
  // overlap, flown side by side in alternating directions, each a sequence of
  // zig-zag scan lines across the strip; a short pause in GPS time at each turn.
  flight_lines,
  // The flight-line records, sorted by the Hilbert curve index of their cell
  // in a 1024 x 1024 grid over the tile, in acquisition order within a cell.
  sorted,
};

// A realistic airborne tile: a rolling terrain surface sampled on a jittered
// grid or along flight lines, vegetation giving up to three returns per
// pulse, GPS time increasing along the flight. Coordinates are in a national
// grid (offsets of 10^5 m).
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
  PointOrder order = PointOrder::grid;
};

std::expected<void, las::Error> generate_tile(const std::string& path, const TileParams& params);

}  // namespace bench
