#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "las/header.hpp"

namespace karvik_core::index {

// A tile's coordinate system as its file states it: the EPSG code when it is
// known, the WKT when the file has one (at least one of the two).
struct CoordinateSystem {
  std::optional<int> epsg;
  std::string wkt;

  // Two tiles share a coordinate system when their EPSG codes are equal, or,
  // without codes, their WKT texts.
  std::string identity() const;
  // For messages and the index: "EPSG:28992", else the WKT's own name.
  std::string name() const;
};

// The WKT (VLR or EVLR "LASF_Projection" 2112) with the EPSG code it names;
// without a code there, the EPSG code of the GeoTIFF keys (34735): of the
// projected, else the geographic type key. None when the file has neither.
std::optional<CoordinateSystem> coordinate_system_of(const las::Header& header);

// The EPSG code a WKT (1 or 2) gives the coordinate system itself: the
// AUTHORITY or ID of the outermost element, or for a compound system without
// one, that of its first (horizontal) part.
std::optional<int> wkt_epsg(std::string_view wkt);
// The name of the outermost element, or empty.
std::string wkt_name(std::string_view wkt);

// The EPSG code of a GeoTIFF key directory (the 34735 VLR's payload).
std::optional<int> geotiff_epsg(std::span<const std::uint8_t> directory);

}  // namespace karvik_core::index
