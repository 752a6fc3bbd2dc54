#include "karvik/run.hpp"

#include "binding/class.hpp"
#include "karvik/classes.hpp"

namespace karvik_python {

binding::Result<Geometry> geometry_of(PyObject* object) {
  using karvik_core::geometry::AxisAlignedBox;
  using karvik_core::geometry::VerticalCylinder;
  if (const auto* box = binding::Class<AxisAlignedBox>::value_of(object)) return *box;
  if (const auto* cylinder = binding::Class<VerticalCylinder>::value_of(object)) return *cylinder;
  if (const auto* frustum = binding::Class<FrustumObject>::value_of(object)) return frustum->frustum;
  return binding::value_error("geometry must be BoundingBox, Cylinder, or Frustum");
}

}  // namespace karvik_python
