#include <string>
#include <tuple>

#include "binding/call.hpp"
#include "binding/value.hpp"
#include "geometry/checked.hpp"
#include "geometry/frustum.hpp"
#include "karvik/classes.hpp"
#include "text/number.hpp"

namespace karvik_python {
namespace {

using binding::Result;
using karvik_core::render_number;
using karvik_core::geometry::Frustum;
using PyFrustum = binding::Class<FrustumObject>;

constexpr char kName[] = "Frustum";

constexpr char kDoc[] =
    "Frustum(origin_x, origin_y, origin_z, phi1, theta1, phi2, theta2, min_distance, max_distance)\n--\n\n"
    "Python wrapper for a frustum (truncated pyramid) geometry.\n\n"
    "A frustum is defined by an origin point, angular bounds (two corner angles),\n"
    "and distance bounds (near and far planes).\n\n"
    "Uses geographic coordinates:\n"
    "- phi (azimuth): measured clockwise from north (0-360 degrees)\n"
    "- theta (elevation): measured above/below horizontal (-90 to +90 degrees)";

constexpr char kContainsDoc[] =
    "contains($self, x, y, z)\n--\n\n"
    "Check if a 3D point is inside the frustum.\n\n"
    "Args:\n"
    "    x: X coordinate\n"
    "    y: Y coordinate\n"
    "    z: Z coordinate\n\n"
    "Returns:\n"
    "    bool: True if the point is inside the frustum";

// The ordered tests let a NaN distance through; the core refuses it, and
// that refusal is a ValueError with the core's message too.
Result<FrustumObject> construct(double origin_x, double origin_y, double origin_z, double phi1, double theta1,
                                double phi2, double theta2, double min_distance, double max_distance) {
  auto frustum = karvik_core::geometry::checked_frustum(origin_x, origin_y, origin_z, phi1, theta1, phi2, theta2,
                                                        min_distance, max_distance);
  if (!frustum) return binding::value_error(frustum.error());
  return FrustumObject{*frustum, phi1, theta1, phi2, theta2};
}

bool contains(const FrustumObject& object, double x, double y, double z) {
  return object.frustum.contains_xyz(x, y, z);
}

template <double (Frustum::*Field)() const>
double core_field(const FrustumObject& object) {
  return (object.frustum.*Field)();
}

// The constructor's arguments.
using Fields = std::tuple<double, double, double, double, double, double, double, double, double>;

Fields fields(const FrustumObject& object) {
  const Frustum& f = object.frustum;
  return {f.origin_x(), f.origin_y(), f.origin_z(),     object.phi1,     object.theta1,
          object.phi2,  object.theta2, f.min_distance(), f.max_distance()};
}

binding::Reduction<double, double, double, double, double, double, double, double, double> reduction(
    const FrustumObject& object) {
  return {"", fields(object)};
}

std::string repr(const FrustumObject& object) {
  const Frustum& frustum = object.frustum;
  return "Frustum(origin=(" + render_number(frustum.origin_x()) + ", " + render_number(frustum.origin_y()) + ", " +
         render_number(frustum.origin_z()) + "), min_distance=" + render_number(frustum.min_distance()) +
         ", max_distance=" + render_number(frustum.max_distance()) + ")";
}

}  // namespace

PyTypeObject* create_frustum_class() {
  static PyMethodDef methods[] = {
      binding::method<kName, kContainsDoc, &contains>(),
      binding::reduce_method<&reduction>(),
      {},
  };
  static PyGetSetDef properties[] = {
      binding::property<&core_field<&Frustum::origin_x>>("origin_x"),
      binding::property<&core_field<&Frustum::origin_y>>("origin_y"),
      binding::property<&core_field<&Frustum::origin_z>>("origin_z"),
      binding::property<&core_field<&Frustum::min_distance>>("min_distance"),
      binding::property<&core_field<&Frustum::max_distance>>("max_distance"),
      {},
  };
  return PyFrustum::create({
      .name = "karvik.Frustum",
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
