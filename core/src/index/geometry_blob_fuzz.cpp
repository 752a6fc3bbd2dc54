// libFuzzer target: the GeoPackage geometry blob header, as the tile index
// reads each footprint. A blob it accepts has the magic, an envelope and its
// x/y ranges; the envelope's pairs come back ordered.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "index/reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using karvik_core::index::TileIndexReader;
  const auto bounds = TileIndexReader::extract_bounds_from_blob({data, size});
  if (!bounds) return 0;
  if (size < 40 || data[0] != 'G' || data[1] != 'P') std::abort();
  const auto ordered = [](double min, double max) { return std::isnan(min) || std::isnan(max) || min <= max; };
  if (!ordered(bounds->min_x, bounds->max_x) || !ordered(bounds->min_y, bounds->max_y)) std::abort();
  return 0;
}
