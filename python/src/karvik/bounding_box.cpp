#include <optional>
#include <string>
#include <tuple>

#include "binding/call.hpp"
#include "binding/value.hpp"
#include "geometry/box.hpp"
#include "geometry/checked.hpp"
#include "karvik/classes.hpp"
#include "text/number.hpp"

namespace karvik_python {
namespace {

using binding::OrNone;
using binding::Result;
using karvik_core::render_number;
using karvik_core::geometry::AxisAlignedBox;
using PyBoundingBox = binding::Class<AxisAlignedBox>;

constexpr char kName[] = "BoundingBox";

constexpr char kDoc[] =
    "BoundingBox(min_x, max_x, min_y, max_y, min_z=None, max_z=None)\n--\n\n"
    "Python wrapper for a 2D/3D bounding box geometry.";

constexpr char kNew2dDoc[] =
    "new_2d(min_x, max_x, min_y, max_y)\n--\n\n"
    "Create a new 2D bounding box (convenience method).\n\n"
    "Args:\n"
    "    min_x: Minimum X coordinate\n"
    "    max_x: Maximum X coordinate\n"
    "    min_y: Minimum Y coordinate\n"
    "    max_y: Maximum Y coordinate\n\n"
    "Returns:\n"
    "    BoundingBox: A new 2D bounding box geometry";

constexpr char kNew3dDoc[] =
    "new_3d(min_x, max_x, min_y, max_y, min_z, max_z)\n--\n\n"
    "Create a new 3D bounding box (convenience method).\n\n"
    "Args:\n"
    "    min_x: Minimum X coordinate\n"
    "    max_x: Maximum X coordinate\n"
    "    min_y: Minimum Y coordinate\n"
    "    max_y: Maximum Y coordinate\n"
    "    min_z: Minimum Z coordinate\n"
    "    max_z: Maximum Z coordinate\n\n"
    "Returns:\n"
    "    BoundingBox: A new 3D bounding box geometry";

constexpr char kContainsDoc[] =
    "contains($self, x, y, z=None)\n--\n\n"
    "Check if a point is inside the bounding box.\n\n"
    "Args:\n"
    "    x: X coordinate\n"
    "    y: Y coordinate\n"
    "    z: Optional Z coordinate (only checked for 3D boxes)\n\n"
    "Returns:\n"
    "    bool: True if the point is inside the bounding box";

// The one validation of the constructor, new_2d and new_3d. Ordered
// comparisons, so a NaN bound passes.
Result<AxisAlignedBox> make_box(double min_x, double max_x, double min_y, double max_y, std::optional<double> min_z,
                                std::optional<double> max_z) {
  auto box = karvik_core::geometry::checked_box(min_x, max_x, min_y, max_y, min_z, max_z);
  if (!box) return binding::value_error(box.error());
  return *box;
}

Result<AxisAlignedBox> construct(double min_x, double max_x, double min_y, double max_y, OrNone<double> min_z,
                                 OrNone<double> max_z) {
  return make_box(min_x, max_x, min_y, max_y, min_z, max_z);
}

Result<AxisAlignedBox> new_2d(double min_x, double max_x, double min_y, double max_y) {
  return make_box(min_x, max_x, min_y, max_y, std::nullopt, std::nullopt);
}

Result<AxisAlignedBox> new_3d(double min_x, double max_x, double min_y, double max_y, double min_z, double max_z) {
  return make_box(min_x, max_x, min_y, max_y, min_z, max_z);
}

bool contains(const AxisAlignedBox& box, double x, double y, OrNone<double> z) {
  return z ? box.contains_xyz(x, y, *z) : box.contains_xy(x, y);
}

// The 3-D form only when both z bounds are present.
std::string repr(const AxisAlignedBox& box) {
  std::string text = "BoundingBox(min_x=" + render_number(box.min_x()) + ", max_x=" + render_number(box.max_x()) +
                     ", min_y=" + render_number(box.min_y()) + ", max_y=" + render_number(box.max_y());
  if (box.min_z() && box.max_z()) {
    text += ", min_z=" + render_number(*box.min_z()) + ", max_z=" + render_number(*box.max_z());
  }
  return text + ")";
}

using Fields = std::tuple<double, double, double, double, std::optional<double>, std::optional<double>>;

Fields fields(const AxisAlignedBox& box) {
  return {box.min_x(), box.max_x(), box.min_y(), box.max_y(), box.min_z(), box.max_z()};
}

// The constructor takes an absent z bound as None.
binding::Reduction<double, double, double, double, std::optional<double>, std::optional<double>> reduction(
    const AxisAlignedBox& box) {
  return {"", fields(box)};
}

}  // namespace

PyTypeObject* create_bounding_box_class() {
  static PyMethodDef methods[] = {
      binding::static_method<kName, kNew2dDoc, &new_2d>(),
      binding::static_method<kName, kNew3dDoc, &new_3d>(),
      binding::method<kName, kContainsDoc, &contains>(),
      binding::reduce_method<&reduction>(),
      {},
  };
  static PyGetSetDef properties[] = {
      binding::property<&AxisAlignedBox::min_x>("min_x"), binding::property<&AxisAlignedBox::max_x>("max_x"),
      binding::property<&AxisAlignedBox::min_y>("min_y"), binding::property<&AxisAlignedBox::max_y>("max_y"),
      binding::property<&AxisAlignedBox::min_z>("min_z"), binding::property<&AxisAlignedBox::max_z>("max_z"),
      {},
  };
  return PyBoundingBox::create({
      .name = "karvik.BoundingBox",
      .doc = kDoc,
      .constructor = binding::constructor<kDoc, &construct>,
      .repr = binding::text_slot<&repr>,
      .str = nullptr,
      .compare = binding::compare<&fields>,
      .hash = binding::hash<&fields>,
      .methods = methods,
      .properties = properties,
  });
}

}  // namespace karvik_python
