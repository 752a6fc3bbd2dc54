#pragma once

#include <expected>
#include <string>

#include "geometry/traits.hpp"

namespace karvik_core::geometry {

// The region seen from an origin within an azimuth interval (clockwise from
// north, +y) and an elevation interval, between a near and a far distance.
// Angles are given in degrees and stored in radians.
class Frustum {
 public:
  // Fails when min_distance is negative or NaN, or max_distance is not at
  // least min_distance; the text says which.
  static std::expected<Frustum, std::string> create(double origin_x, double origin_y, double origin_z, double phi1,
                                                    double theta1, double phi2, double theta2, double min_distance,
                                                    double max_distance);

  double origin_x() const { return origin_x_; }
  double origin_y() const { return origin_y_; }
  double origin_z() const { return origin_z_; }
  double phi_min() const { return phi_min_; }
  double phi_max() const { return phi_max_; }
  double theta_min() const { return theta_min_; }
  double theta_max() const { return theta_max_; }
  double min_distance() const { return min_distance_; }
  double max_distance() const { return max_distance_; }
  bool azimuth_wraps() const { return azimuth_wraps_; }

  bool contains_xyz(double x, double y, double z) const;
  bool intersects_rect(const Rect& rect) const { return rects_meet(compute_bounding_box(), rect); }
  // The footprint on the x/y plane: the origin, the corner azimuths and the
  // cardinal directions inside the interval, at the bounding elevations.
  Rect compute_bounding_box() const;
  // The z values of its points, widened by a rounding margin.
  ZRange z_range() const;

 private:
  Frustum() = default;
  bool azimuth_inside(double azimuth) const;

  double origin_x_ = 0, origin_y_ = 0, origin_z_ = 0;
  double phi_min_ = 0, phi_max_ = 0;
  double theta_min_ = 0, theta_max_ = 0;
  double min_distance_ = 0, max_distance_ = 0;
  bool azimuth_wraps_ = false;
};

static_assert(ExtractGeometry<Frustum>);

}  // namespace karvik_core::geometry
