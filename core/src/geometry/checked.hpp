#pragma once

// The geometries from a user's numbers, checked as every front end checks
// them (the Python classes, the command line): the message of the first
// condition that fails. The comparisons are ordered, so a NaN passes them
// (a NaN frustum distance is then refused by Frustum::create).

#include <expected>
#include <optional>
#include <string>

#include "geometry/box.hpp"
#include "geometry/cylinder.hpp"
#include "geometry/frustum.hpp"

namespace karvik_core::geometry {

inline std::expected<AxisAlignedBox, std::string> checked_box(double min_x, double max_x, double min_y, double max_y,
                                                              std::optional<double> min_z = std::nullopt,
                                                              std::optional<double> max_z = std::nullopt) {
  if (min_x >= max_x) return std::unexpected("min_x must be less than max_x");
  if (min_y >= max_y) return std::unexpected("min_y must be less than max_y");
  if (min_z && max_z && *min_z >= *max_z) return std::unexpected("min_z must be less than max_z");
  return AxisAlignedBox(min_x, max_x, min_y, max_y, min_z, max_z);
}

inline std::expected<VerticalCylinder, std::string> checked_cylinder(double center_x, double center_y,
                                                                     double radius) {
  if (radius <= 0) return std::unexpected("radius must be positive");
  return VerticalCylinder(center_x, center_y, radius);
}

inline std::expected<Frustum, std::string> checked_frustum(double origin_x, double origin_y, double origin_z,
                                                           double phi1, double theta1, double phi2, double theta2,
                                                           double min_distance, double max_distance) {
  if (min_distance < 0) return std::unexpected("min_distance must be non-negative");
  if (max_distance < min_distance) return std::unexpected("max_distance must be >= min_distance");
  return Frustum::create(origin_x, origin_y, origin_z, phi1, theta1, phi2, theta2, min_distance, max_distance);
}

}  // namespace karvik_core::geometry
