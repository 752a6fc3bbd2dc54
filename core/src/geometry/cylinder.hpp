#pragma once

#include <cmath>

#include "geometry/traits.hpp"

namespace karvik_core::geometry {

// An infinite vertical cylinder: a disc on the x/y plane, z ignored.
class VerticalCylinder {
 public:
  constexpr VerticalCylinder(double center_x, double center_y, double radius)
      : center_x_(center_x), center_y_(center_y), radius_(radius) {}

  constexpr double center_x() const { return center_x_; }
  constexpr double center_y() const { return center_y_; }
  constexpr double radius() const { return radius_; }

  // The boundary circle is inside; a NaN x or y is outside.
  constexpr bool contains_xyz(double x, double y, double /*z*/) const {
    const double dx = x - center_x_;
    const double dy = y - center_y_;
    return dy * dy + dx * dx <= radius_ * radius_;
  }

  // The rectangle's point nearest to the axis must lie within the radius.
  // A rectangle with a NaN bound does not meet the disc.
  bool intersects_rect(const Rect& rect) const {
    if (std::isnan(rect.min_x) || std::isnan(rect.min_y) || std::isnan(rect.max_x) || std::isnan(rect.max_y)) {
      return false;
    }
    double nearest_y = center_y_;
    if (nearest_y < rect.min_y) nearest_y = rect.min_y;
    if (nearest_y > rect.max_y) nearest_y = rect.max_y;
    double nearest_x = center_x_;
    if (nearest_x < rect.min_x) nearest_x = rect.min_x;
    if (nearest_x > rect.max_x) nearest_x = rect.max_x;
    const double ey = nearest_y - center_y_;
    const double ex = nearest_x - center_x_;
    return ey * ey + ex * ex <= radius_ * radius_;
  }

 private:
  double center_x_;
  double center_y_;
  double radius_;
};

static_assert(ExtractGeometry<VerticalCylinder>);

}  // namespace karvik_core::geometry
