// libFuzzer target: a tile's coordinate system as the index builder reads it,
// the input taken both as a WKT and as a GeoTIFF key directory. Any EPSG code
// found is positive, and a GeoTIFF one neither user-defined nor beyond 16 bits.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "index/crs.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace karvik_core::index;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto code = wkt_epsg(text); code && *code <= 0) std::abort();
  (void)wkt_name(text);
  if (const auto code = geotiff_epsg({data, size}); code && (*code <= 0 || *code >= 32767)) std::abort();
  return 0;
}
