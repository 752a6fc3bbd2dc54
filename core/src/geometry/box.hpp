#pragma once

#include <optional>

#include "geometry/traits.hpp"

namespace karvik_core::geometry {

// A box aligned with the axes, bounds inclusive. Without z bounds it is a
// prism of unlimited height; each z bound limits its own side only.
class AxisAlignedBox {
 public:
  constexpr AxisAlignedBox(double min_x, double max_x, double min_y, double max_y,
                           std::optional<double> min_z = std::nullopt, std::optional<double> max_z = std::nullopt)
      : min_x_(min_x), max_x_(max_x), min_y_(min_y), max_y_(max_y), min_z_(min_z), max_z_(max_z) {}

  constexpr double min_x() const { return min_x_; }
  constexpr double max_x() const { return max_x_; }
  constexpr double min_y() const { return min_y_; }
  constexpr double max_y() const { return max_y_; }
  constexpr std::optional<double> min_z() const { return min_z_; }
  constexpr std::optional<double> max_z() const { return max_z_; }

  // A NaN x or y is outside.
  constexpr bool contains_xy(double x, double y) const {
    return min_x_ <= x && x <= max_x_ && min_y_ <= y && y <= max_y_;
  }

  // z is rejected only when it compares strictly beyond a bound, so NaN passes.
  constexpr bool contains_xyz(double x, double y, double z) const {
    if (!contains_xy(x, y)) return false;
    if (min_z_ && z < *min_z_) return false;
    if (max_z_ && z > *max_z_) return false;
    return true;
  }

  constexpr ZRange z_range() const {
    ZRange z;
    if (min_z_) z.min = *min_z_;
    if (max_z_) z.max = *max_z_;
    return z;
  }

  constexpr bool intersects_rect(const Rect& rect) const {
    return rects_meet(Rect{min_x_, min_y_, max_x_, max_y_}, rect);
  }

 private:
  double min_x_;
  double max_x_;
  double min_y_;
  double max_y_;
  std::optional<double> min_z_;
  std::optional<double> max_z_;
};

static_assert(ExtractGeometry<AxisAlignedBox>);

}  // namespace karvik_core::geometry
