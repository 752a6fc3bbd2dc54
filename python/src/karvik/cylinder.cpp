#include <limits>
#include <optional>
#include <string>
#include <tuple>

#include "binding/call.hpp"
#include "binding/value.hpp"
#include "geometry/checked.hpp"
#include "geometry/cylinder.hpp"
#include "karvik/classes.hpp"
#include "text/number.hpp"

namespace karvik_python {
namespace {

using binding::Result;
using karvik_core::render_number;
using karvik_core::geometry::VerticalCylinder;
using PyCylinder = binding::Class<VerticalCylinder>;

constexpr char kName[] = "Cylinder";

constexpr char kDoc[] =
    "Cylinder(center_x, center_y, radius)\n--\n\n"
    "Python wrapper for a vertical cylinder geometry.";

constexpr char kFromDiameterDoc[] =
    "from_diameter(center_x, center_y, diameter)\n--\n\n"
    "Create a new vertical cylinder from center coordinates and diameter.\n\n"
    "Args:\n"
    "    center_x: X coordinate of the cylinder center\n"
    "    center_y: Y coordinate of the cylinder center\n"
    "    diameter: Diameter of the cylinder\n\n"
    "Returns:\n"
    "    Cylinder: A new vertical cylinder geometry";

constexpr char kContainsDoc[] =
    "contains($self, x, y, z=0.0)\n--\n\n"
    "Check if a point is inside the cylinder.\n\n"
    "Args:\n"
    "    x: X coordinate\n"
    "    y: Y coordinate\n"
    "    z: Z coordinate (ignored for vertical cylinders)\n\n"
    "Returns:\n"
    "    bool: True if the point is inside the cylinder";

// Ordered comparisons, so a NaN radius or diameter passes.
Result<VerticalCylinder> construct(double center_x, double center_y, double radius) {
  auto cylinder = karvik_core::geometry::checked_cylinder(center_x, center_y, radius);
  if (!cylinder) return binding::value_error(cylinder.error());
  return *cylinder;
}

// Half of the smallest positive diameter is 0; the radius is not tested again.
Result<VerticalCylinder> from_diameter(double center_x, double center_y, double diameter) {
  if (diameter <= 0) return binding::value_error("diameter must be positive");
  return VerticalCylinder(center_x, center_y, diameter * 0.5);
}

// z is converted when given, so a z that is no number is refused, but it
// does not take part in the test.
bool contains(const VerticalCylinder& cylinder, double x, double y, std::optional<double> /*z*/) {
  return cylinder.contains_xyz(x, y, 0.0);
}

double diameter(const VerticalCylinder& cylinder) { return cylinder.radius() + cylinder.radius(); }

std::string repr(const VerticalCylinder& cylinder) {
  return "Cylinder(center_x=" + render_number(cylinder.center_x()) + ", center_y=" +
         render_number(cylinder.center_y()) + ", radius=" + render_number(cylinder.radius()) + ")";
}

std::tuple<double, double, double> fields(const VerticalCylinder& cylinder) {
  return {cylinder.center_x(), cylinder.center_y(), cylinder.radius()};
}

// The constructor refuses the radius 0 that from_diameter makes of the
// smallest diameters; such a cylinder is made again from the smallest one.
binding::Reduction<double, double, double> reduction(const VerticalCylinder& cylinder) {
  if (cylinder.radius() == 0) {
    return {"from_diameter",
            {cylinder.center_x(), cylinder.center_y(), std::numeric_limits<double>::denorm_min()}};
  }
  return {"", fields(cylinder)};
}

}  // namespace

PyTypeObject* create_cylinder_class() {
  static PyMethodDef methods[] = {
      binding::static_method<kName, kFromDiameterDoc, &from_diameter>(),
      binding::method<kName, kContainsDoc, &contains>(),
      binding::reduce_method<&reduction>(),
      {},
  };
  static PyGetSetDef properties[] = {
      binding::property<&VerticalCylinder::center_x>("center_x"),
      binding::property<&VerticalCylinder::center_y>("center_y"),
      binding::property<&VerticalCylinder::radius>("radius"),
      binding::property<&diameter>("diameter"),
      {},
  };
  return PyCylinder::create({
      .name = "karvik.Cylinder",
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
