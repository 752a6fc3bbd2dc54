#include "geometry/frustum.hpp"

#include <cmath>

#include "text/number.hpp"

namespace karvik_core::geometry {
namespace {

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kTwoPi = 6.283185307179586;
// Slightly below 2*pi, so that a full circle is recognised despite rounding.
constexpr double kFullCircle = 6.283185306179586;
constexpr double kDegenerate = 1e-10;
constexpr double kMinAzimuthSpan = 0.1;
constexpr double kMaxAzimuthSpan = 359.9;

// Into [0, 2*pi): the remainder keeps the dividend's sign, so add a turn when negative.
double normalize_angle(double radians) {
  double p = std::fmod(radians, kTwoPi);
  if (p < 0) p += kTwoPi;
  return p;
}

struct Cardinal {
  double angle, sin, cos;
};
// The double-precision sine and cosine of north, east, south and west.
constexpr Cardinal kCardinals[] = {
    {0.0, 0.0, 1.0},
    {1.5707963267948966, 1.0, 6.123233995736766e-17},
    {3.141592653589793, 1.2246467991473532e-16, -1.0},
    {4.71238898038469, -1.0, -1.8369701987210297e-16},
};

}  // namespace

std::expected<Frustum, std::string> Frustum::create(double origin_x, double origin_y, double origin_z, double phi1,
                                                    double theta1, double phi2, double theta2, double min_distance,
                                                    double max_distance) {
  if (!(min_distance >= 0)) {
    return std::unexpected("min_distance must be non-negative, got " + render_number(min_distance));
  }
  if (!(max_distance >= min_distance)) {
    return std::unexpected("max_distance (" + render_number(max_distance) + ") must be >= min_distance (" +
                           render_number(min_distance) + ")");
  }
  Frustum f;
  const double dphi = std::fabs(phi2 - phi1);
  if (dphi >= kMaxAzimuthSpan || dphi <= kMinAzimuthSpan) {
    f.phi_min_ = 0;
    f.phi_max_ = kTwoPi;
    f.azimuth_wraps_ = false;
  } else {
    const double p1 = normalize_angle(phi1 * kDegToRad);
    const double p2 = normalize_angle(phi2 * kDegToRad);
    const double smaller = p1 < p2 ? p1 : p2;
    const double larger = p1 < p2 ? p2 : p1;
    const double d = std::fabs(p2 - p1);
    f.azimuth_wraps_ = !(d <= kTwoPi - d);
    f.phi_min_ = f.azimuth_wraps_ ? larger : smaller;
    f.phi_max_ = f.azimuth_wraps_ ? smaller : larger;
  }
  const double t1 = theta1 * kDegToRad;
  const double t2 = theta2 * kDegToRad;
  f.theta_min_ = t1 < t2 ? t1 : t2;
  f.theta_max_ = t1 < t2 ? t2 : t1;
  f.origin_x_ = origin_x;
  f.origin_y_ = origin_y;
  f.origin_z_ = origin_z;
  f.min_distance_ = min_distance;
  f.max_distance_ = max_distance;
  return f;
}

bool Frustum::azimuth_inside(double azimuth) const {
  if (phi_max_ >= kFullCircle) return true;
  if (azimuth_wraps_) return azimuth >= phi_min_ || azimuth <= phi_max_;
  return phi_min_ <= azimuth && azimuth <= phi_max_;
}

bool Frustum::contains_xyz(double x, double y, double z) const {
  const double dx = x - origin_x_;
  const double dy = y - origin_y_;
  const double dz = z - origin_z_;
  const double h2 = dy * dy + dx * dx;
  double r = std::sqrt(h2 + dz * dz);
  double elevation = 0;
  double azimuth = 0;
  if (r < kDegenerate) {
    r = 0;
  } else {
    elevation = std::asin(dz / r);
    if (!(std::sqrt(h2) < kDegenerate)) azimuth = normalize_angle(std::atan2(dx, dy));
  }
  if (r < min_distance_ || r > max_distance_) return false;
  if (elevation < theta_min_ || elevation > theta_max_) return false;
  return azimuth_inside(azimuth);
}

ZRange Frustum::z_range() const {
  // z - origin_z = r sin(elevation), r within the distances and the elevation
  // within the interval (asin gives no more than a quarter turn either way).
  const double quarter = kTwoPi / 4;
  const double top = std::sin(theta_max_ < quarter ? theta_max_ : quarter);
  const double bottom = std::sin(theta_min_ > -quarter ? theta_min_ : -quarter);
  const auto reach = [this](double s, bool farthest) {
    return s == 0 ? 0 : (farthest ? max_distance_ : min_distance_) * s;
  };
  const double margin = 1e-9 * (1 + std::fabs(origin_z_) + max_distance_);
  return {origin_z_ + reach(bottom, bottom < 0) - margin, origin_z_ + reach(top, top > 0) + margin};
}

Rect Frustum::compute_bounding_box() const {
  // The horizontal reach is widest at the elevation nearest the horizontal: an
  // interval that holds elevation 0 reaches max_distance, beyond both of its ends.
  const bool holds_horizontal = theta_min_ <= 0 && 0 <= theta_max_;
  const double reaches[5] = {
      min_distance_ * std::cos(theta_min_),
      min_distance_ * std::cos(theta_max_),
      max_distance_ * std::cos(theta_min_),
      max_distance_ * std::cos(theta_max_),
      holds_horizontal ? max_distance_ : std::nan(""),  // a NaN reach widens nothing
  };
  double min_x = origin_x_, max_x = origin_x_, min_y = origin_y_, max_y = origin_y_;
  auto widen = [&](double sin_phi, double cos_phi) {
    for (double h : reaches) {
      const double px = origin_x_ + sin_phi * h;
      const double py = origin_y_ + cos_phi * h;
      min_x = std::fmin(min_x, px);
      max_x = std::fmax(max_x, px);
      min_y = std::fmin(min_y, py);
      max_y = std::fmax(max_y, py);
    }
  };
  widen(std::sin(phi_min_), std::cos(phi_min_));
  widen(std::sin(phi_max_), std::cos(phi_max_));
  if (azimuth_wraps_) widen(0.0, 1.0);
  for (const Cardinal& c : kCardinals) {
    if (azimuth_inside(c.angle)) widen(c.sin, c.cos);
  }
  return Rect::from_pairs(min_x, max_x, min_y, max_y);
}

}  // namespace karvik_core::geometry
