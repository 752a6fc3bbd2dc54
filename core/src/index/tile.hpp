#pragma once

#include <string>

#include "geometry/traits.hpp"

namespace karvik_core::index {

// One tile of the index: its file's path exactly as stored (not resolved, so a
// relative path is taken from the working directory), and its x/y envelope.
struct TileInfo {
  std::string location;
  geometry::Rect bounds;
};

}  // namespace karvik_core::index
