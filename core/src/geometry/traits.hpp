#pragma once

#include <concepts>
#include <limits>

namespace karvik_core::geometry {

// A two-dimensional rectangle, each axis stored in order. A pair holding a
// NaN is stored swapped: its second value becomes the minimum.
struct Rect {
  double min_x;
  double min_y;
  double max_x;
  double max_y;

  static constexpr Rect from_pairs(double x1, double x2, double y1, double y2) {
    return Rect{x1 < x2 ? x1 : x2, y1 < y2 ? y1 : y2, x1 < x2 ? x2 : x1, y1 < y2 ? y2 : y1};
  }
};

// What the tile index and the pipeline need of an extraction geometry: a
// point test and a footprint test. Checked at compile time; no virtual calls.
template <typename G>
concept ExtractGeometry = std::copyable<G> && requires(const G& g, double x, double y, double z, const Rect& r) {
  { g.contains_xyz(x, y, z) } -> std::same_as<bool>;
  { g.intersects_rect(r) } -> std::same_as<bool>;
};

// The overlap test of two rectangles; edges and corners count, NaN never meets.
constexpr bool rects_meet(const Rect& a, const Rect& b) {
  return a.min_x <= b.max_x && a.max_x >= b.min_x && a.min_y <= b.max_y && a.max_y >= b.min_y;
}

// A closed interval of z; an unbounded side is infinite.
struct ZRange {
  double min = -std::numeric_limits<double>::infinity();
  double max = std::numeric_limits<double>::infinity();
};

// The z values a point inside the geometry may have: the geometry's own
// z_range() where it bounds z, else every z.
template <ExtractGeometry G>
ZRange z_range_of(const G& geometry) {
  if constexpr (requires { { geometry.z_range() } -> std::same_as<ZRange>; }) {
    return geometry.z_range();
  } else {
    return {};
  }
}

// Whether a point inside the geometry may lie within the x/y rectangle and
// the z interval [min_z, max_z]. A NaN z bound meets every z.
template <ExtractGeometry G>
bool meets_box(const G& geometry, const Rect& xy, double min_z, double max_z) {
  const ZRange z = z_range_of(geometry);
  return geometry.intersects_rect(xy) && !(max_z < z.min) && !(min_z > z.max);
}

}  // namespace karvik_core::geometry
