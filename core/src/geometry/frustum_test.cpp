#include "geometry/frustum.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace karvik_core::geometry {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kDeg = 0.017453292519943295;

Frustum make(double phi1, double theta1, double phi2, double theta2, double dmin = 0, double dmax = 100) {
  auto f = Frustum::create(0, 0, 0, phi1, theta1, phi2, theta2, dmin, dmax);
  EXPECT_TRUE(f.has_value());
  return *f;
}

// A point at the given azimuth (degrees clockwise from +y), elevation and distance.
bool sees(const Frustum& f, double azimuth, double elevation, double distance) {
  const double h = distance * std::cos(elevation * kDeg);
  return f.contains_xyz(std::sin(azimuth * kDeg) * h, std::cos(azimuth * kDeg) * h,
                        std::sin(elevation * kDeg) * distance);
}

TEST(Frustum, DistanceChecksAndMessages) {
  struct Case {
    double dmin, dmax;
    const char* message;
  };
  const Case cases[] = {
      {-1, 10, "min_distance must be non-negative, got -1"},
      {5, 2, "max_distance (2) must be >= min_distance (5)"},
      {kNaN, 10, "min_distance must be non-negative, got NaN"},
      {5, kNaN, "max_distance (NaN) must be >= min_distance (5)"},
      {0.5, 0.25, "max_distance (0.25) must be >= min_distance (0.5)"},
  };
  for (const auto& c : cases) {
    auto f = Frustum::create(0, 0, 0, 0, 0, 90, 45, c.dmin, c.dmax);
    ASSERT_FALSE(f.has_value());
    EXPECT_EQ(f.error(), c.message);
  }
  EXPECT_TRUE(Frustum::create(0, 0, 0, 0, 0, 90, 45, 0, 0).has_value());
}

TEST(Frustum, AzimuthIntervals) {
  struct Case {
    double phi1, phi2;
    bool full, wraps;
    double phi_min_deg, phi_max_deg;
  };
  const Case cases[] = {
      {30, 30, true, false, 0, 360},     {0, 360, true, false, 0, 360},      {30, 30.05, true, false, 0, 360},
      {350, 10, false, true, 350, 10},   {10, 350, false, true, 350, 10},    {10, 200, false, true, 200, 10},
      {0, 180, false, false, 0, 180},    {30, 30.2, false, false, 30, 30.2}, {-90, 90, false, false, 90, 270},
  };
  for (const auto& c : cases) {
    const Frustum f = make(c.phi1, -10, c.phi2, 10);
    EXPECT_EQ(f.azimuth_wraps(), c.wraps) << c.phi1 << " " << c.phi2;
    if (c.full) {
      EXPECT_EQ(f.phi_min(), 0);
      EXPECT_EQ(f.phi_max(), 6.283185307179586);
    } else {
      EXPECT_NEAR(f.phi_min(), c.phi_min_deg * kDeg, 1e-12) << c.phi1 << " " << c.phi2;
      EXPECT_NEAR(f.phi_max(), c.phi_max_deg * kDeg, 1e-12) << c.phi1 << " " << c.phi2;
    }
  }
}

TEST(Frustum, PointTest) {
  const Frustum north = make(350, -10, 10, 10);
  EXPECT_TRUE(sees(north, 355, 0, 50));
  EXPECT_TRUE(sees(north, 5, 0, 50));
  EXPECT_FALSE(sees(north, 180, 0, 50));
  EXPECT_FALSE(sees(north, 5, 20, 50));
  EXPECT_TRUE(north.contains_xyz(0, 50, 0));
  EXPECT_TRUE(north.contains_xyz(0, 100, 0));  // exactly max_distance
  EXPECT_FALSE(north.contains_xyz(0, 100.001, 0));

  const Frustum shell = make(0, -90, 0, 90, 10, 20);
  EXPECT_TRUE(shell.contains_xyz(0, 10, 0));  // exactly min_distance
  EXPECT_FALSE(shell.contains_xyz(0, 9.999, 0));

  const Frustum wide = make(10, -10, 200, 10);
  EXPECT_TRUE(sees(wide, 0, 0, 50));
  EXPECT_TRUE(sees(wide, 250, 0, 50));
  EXPECT_FALSE(sees(wide, 100, 0, 50));

  // Straight above the origin: azimuth 0, elevation 90 degrees.
  EXPECT_TRUE(make(350, 0, 10, 90).contains_xyz(0, 0, 5));
  EXPECT_FALSE(make(80, 0, 100, 90).contains_xyz(0, 0, 5));
  // The origin: distance, elevation and azimuth 0.
  EXPECT_TRUE(make(350, -5, 10, 5).contains_xyz(0, 0, 0));
  EXPECT_FALSE(make(350, -5, 10, 5, 1, 10).contains_xyz(0, 0, 0));
  EXPECT_FALSE(make(80, -5, 100, 5).contains_xyz(0, 0, 0));
}

TEST(Frustum, NaNCoordinatesOnlyInsideAFullCircle) {
  EXPECT_TRUE(make(0, -10, 0, 10).contains_xyz(kNaN, 0, 0));
  EXPECT_FALSE(make(350, -10, 10, 10).contains_xyz(kNaN, 0, 0));
  // Straight above with a NaN height: azimuth 0, so only an interval holding north keeps it.
  EXPECT_TRUE(make(10, -10, 200, 10).contains_xyz(0, 0, kNaN));
  EXPECT_FALSE(make(80, -10, 100, 10).contains_xyz(0, 0, kNaN));
}

TEST(Frustum, FootprintHoldsTheHorizontalReach) {
  // The elevation interval holds the horizontal: the far point at elevation 0
  // lies beyond the reach of both bounding elevations.
  const Frustum across = make(20, -30, 40, 30, 0, 100);
  const Rect box = across.compute_bounding_box();
  EXPECT_TRUE(sees(across, 40, 0, 99));
  EXPECT_DOUBLE_EQ(box.max_x, 100 * std::sin(40 * kDeg));
  EXPECT_DOUBLE_EQ(box.max_y, 100 * std::cos(20 * kDeg));
  EXPECT_EQ(box.min_x, 0);
  EXPECT_EQ(box.min_y, 0);
  EXPECT_TRUE(across.intersects_rect({100 * std::sin(40 * kDeg) - 0.5, 0, 200, 200}));

  // Entirely above the horizontal: the lower bounding elevation reaches furthest.
  const Frustum above = make(20, 10, 40, 30, 0, 100);
  EXPECT_DOUBLE_EQ(above.compute_bounding_box().max_x, 100 * std::sin(40 * kDeg) * std::cos(10 * kDeg));
  // Entirely below it: the upper one does.
  const Frustum below = make(20, -30, 40, -10, 0, 100);
  EXPECT_DOUBLE_EQ(below.compute_bounding_box().max_x, 100 * std::sin(40 * kDeg) * std::cos(10 * kDeg));
}

TEST(Frustum, FootprintReachesCardinalDirections) {
  const Frustum east = make(60, 0, 120, 45, 10, 100);  // contains east, neither corner points east
  EXPECT_DOUBLE_EQ(east.compute_bounding_box().max_x, 100);
  const Frustum around = make(0, 0, 0, 0, 0, 10);
  const Rect r = around.compute_bounding_box();
  EXPECT_DOUBLE_EQ(r.min_x, -10);
  EXPECT_DOUBLE_EQ(r.max_x, 10);
  EXPECT_DOUBLE_EQ(r.min_y, -10);
  EXPECT_DOUBLE_EQ(r.max_y, 10);
  const Frustum through_north = make(350, 0, 10, 0, 0, 10);
  EXPECT_DOUBLE_EQ(through_north.compute_bounding_box().max_y, 10);

  EXPECT_TRUE(east.intersects_rect({99, 0, 200, 1}));
  EXPECT_TRUE(east.intersects_rect({100, 0, 200, 1}));  // shared edge
  EXPECT_FALSE(east.intersects_rect({100.5, 0, 200, 1}));
  EXPECT_FALSE(east.intersects_rect({kNaN, 0, 200, 1}));
}

TEST(Frustum, FootprintIgnoresNaNSamples) {
  // A NaN elevation makes every reach NaN; the origin alone remains.
  const Frustum f = make(10, kNaN, 20, kNaN, 0, 10);
  const Rect r = f.compute_bounding_box();
  EXPECT_EQ(r.min_x, 0);
  EXPECT_EQ(r.max_x, 0);
  EXPECT_EQ(r.min_y, 0);
  EXPECT_EQ(r.max_y, 0);
}

}  // namespace
}  // namespace karvik_core::geometry

namespace karvik_core::geometry {
namespace {

// Every point a frustum holds lies within its z range, and the range is
// tight: its ends are reached up to the margin.
TEST(Frustum, ZRangeHoldsEveryPointInside) {
  struct Case {
    double theta1, theta2, dmin, dmax, low, high;
  };
  const Case cases[] = {
      {-20, 10, 0, 100, -34.202, 17.365},   // the horizon inside: the far distance on both sides
      {10, 30, 20, 100, 3.473, 50.0},       // all above: the near distance at the bottom
      {-60, -30, 50, 200, -173.205, -25.0}, // all below
      {0, 0, 0, 100, 0, 0},                 // a flat fan
      {-120, 120, 0, 10, -10, 10},          // beyond the vertical: asin stops at a quarter turn
  };
  for (const Case& c : cases) {
    auto f = Frustum::create(5, 5, 7, 0, c.theta1, 90, c.theta2, c.dmin, c.dmax);
    ASSERT_TRUE(f.has_value());
    const ZRange z = f->z_range();
    EXPECT_NEAR(z.min, 7 + c.low, 1e-3) << c.theta1 << " " << c.theta2;
    EXPECT_NEAR(z.max, 7 + c.high, 1e-3) << c.theta1 << " " << c.theta2;
    for (double e = -90; e <= 90; e += 2.5) {
      for (double d = 0; d <= c.dmax * 1.1; d += c.dmax / 23) {
        const double h = d * std::cos(e * kDeg), pz = 7 + std::sin(e * kDeg) * d;
        if (f->contains_xyz(5 + std::sin(45 * kDeg) * h, 5 + std::cos(45 * kDeg) * h, pz)) {
          EXPECT_TRUE(z.min <= pz && pz <= z.max) << e << " " << d;
        }
      }
    }
  }
  auto far = Frustum::create(0, 0, 0, 0, 0, 90, 10, 0, std::numeric_limits<double>::infinity());
  ASSERT_TRUE(far.has_value());
  EXPECT_LE(far->z_range().min, 0);  // never NaN, though the reach is endless
  EXPECT_EQ(far->z_range().max, std::numeric_limits<double>::infinity());
}

}  // namespace
}  // namespace karvik_core::geometry
