#include <gtest/gtest.h>

#include <limits>

#include "geometry/box.hpp"
#include "geometry/cylinder.hpp"

namespace karvik_core::geometry {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Rect, PairsAreOrderedAndNaNPairsSwapped) {
  const Rect r = Rect::from_pairs(5, 1, -2, 3);
  EXPECT_EQ(r.min_x, 1);
  EXPECT_EQ(r.max_x, 5);
  EXPECT_EQ(r.min_y, -2);
  EXPECT_EQ(r.max_y, 3);
  const Rect n = Rect::from_pairs(kNaN, 4, 1, 2);
  EXPECT_EQ(n.min_x, 4);
  EXPECT_TRUE(std::isnan(n.max_x));
}

TEST(AxisAlignedBox, PointTest) {
  const AxisAlignedBox flat(0, 10, 0, 10);
  const AxisAlignedBox solid(0, 10, 0, 10, 0, 5);
  const AxisAlignedBox ceiling(0, 10, 0, 10, std::nullopt, 5);
  const AxisAlignedBox reversed(10, 0, 0, 10);
  struct Case {
    const AxisAlignedBox& box;
    double x, y, z;
    bool inside;
  };
  const Case cases[] = {
      {flat, 0, 0, 0, true},        {flat, 10, 10, 1e300, true},  {flat, 5, 5, kNaN, true},
      {flat, kNaN, 5, 0, false},    {flat, 5, kNaN, 0, false},    {flat, 10.000001, 5, 0, false},
      {solid, 10, 10, 5, true},     {solid, 0, 0, 0, true},       {solid, 5, 5, 5.0000001, false},
      {solid, 5, 5, -1e-9, false},  {solid, 5, 5, kNaN, true},    {ceiling, 5, 5, -1e300, true},
      {ceiling, 5, 5, 6, false},    {reversed, 5, 5, 0, false},   {reversed, 10, 5, 0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.box.contains_xyz(c.x, c.y, c.z), c.inside) << c.x << " " << c.y << " " << c.z;
  }
  EXPECT_TRUE(solid.contains_xy(10, 10));
  EXPECT_FALSE(solid.contains_xy(kNaN, 1));
}

TEST(AxisAlignedBox, FootprintTest) {
  const AxisAlignedBox box(0, 10, 0, 10, 100, 200);
  EXPECT_TRUE(box.intersects_rect({5, 5, 6, 6}));
  EXPECT_TRUE(box.intersects_rect({10, 0, 20, 10}));     // shared edge
  EXPECT_TRUE(box.intersects_rect({10, 10, 20, 20}));    // corner
  EXPECT_FALSE(box.intersects_rect({10.5, 0, 20, 10}));
  EXPECT_FALSE(box.intersects_rect({kNaN, 0, 5, 5}));
  EXPECT_FALSE(box.intersects_rect({0, 0, 5, kNaN}));
}

TEST(VerticalCylinder, PointTest) {
  const VerticalCylinder c(0, 0, 5);
  EXPECT_TRUE(c.contains_xyz(3, 4, 0));
  EXPECT_TRUE(c.contains_xyz(3, 4, 1e9));
  EXPECT_FALSE(c.contains_xyz(3, 4.000001, 0));
  EXPECT_FALSE(c.contains_xyz(kNaN, 0, 0));
  EXPECT_TRUE(VerticalCylinder(0, 0, -5).contains_xyz(3, 4, 0));
  EXPECT_FALSE(VerticalCylinder(0, 0, kNaN).contains_xyz(0, 0, 0));
}

TEST(VerticalCylinder, FootprintTest) {
  const VerticalCylinder c(0, 0, 5);
  EXPECT_TRUE(c.intersects_rect({-100, -100, 100, 100}));  // axis inside, circle inside rect
  EXPECT_TRUE(c.intersects_rect({3, 4, 10, 10}));          // nearest corner on the circle
  EXPECT_FALSE(c.intersects_rect({4, 4, 10, 10}));         // inside bounding square, outside circle
  EXPECT_TRUE(c.intersects_rect({5, -1, 10, 1}));          // touches
  EXPECT_FALSE(c.intersects_rect({kNaN, -1, 10, 1}));
  EXPECT_FALSE(c.intersects_rect({-1, -1, 1, kNaN}));
  EXPECT_FALSE(VerticalCylinder(0, 0, kNaN).intersects_rect({-1, -1, 1, 1}));
}

}  // namespace
}  // namespace karvik_core::geometry

namespace karvik_core::geometry {
namespace {

TEST(MeetsBox, XyThroughTheFootprintAndZWhereTheGeometryBoundsIt) {
  const AxisAlignedBox flat(0, 10, 0, 10);
  const AxisAlignedBox layer(0, 10, 0, 10, 2, 4);
  const VerticalCylinder disc(0, 0, 5);
  const Rect near{1, 1, 2, 2}, away{20, 20, 30, 30};
  EXPECT_TRUE(meets_box(flat, near, 100, 200));
  EXPECT_FALSE(meets_box(flat, away, 0, 1));
  EXPECT_TRUE(meets_box(layer, near, 3, 3));
  EXPECT_TRUE(meets_box(layer, near, 4, 9));  // bounds inclusive
  EXPECT_FALSE(meets_box(layer, near, 4.5, 9));
  EXPECT_FALSE(meets_box(layer, near, -9, 1.5));
  EXPECT_TRUE(meets_box(layer, near, kNaN, kNaN));  // unknown z is never ruled out
  EXPECT_TRUE(meets_box(disc, near, -1e9, -1e8));
  EXPECT_FALSE(meets_box(disc, Rect{4, 4, 5, 5}, 0, 1));
  const AxisAlignedBox above(0, 10, 0, 10, 3, std::nullopt);
  EXPECT_TRUE(meets_box(above, near, 0, 1e9));
  EXPECT_FALSE(meets_box(above, near, 0, 2));
}

}  // namespace
}  // namespace karvik_core::geometry
