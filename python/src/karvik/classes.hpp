#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "geometry/frustum.hpp"

// The module's classes. Each create function makes its class on the first
// call and returns it (borrowed; it lives as long as the process), or null
// with an exception set.
namespace karvik_python {

// What an ExtractionStats instance holds: the pipeline's record, with the
// elapsed time in seconds.
struct Statistics {
  std::size_t tiles_processed;
  std::uint64_t points_read;
  std::uint64_t points_written;
  double elapsed_time;
};

// What a Frustum instance holds: the core value and the corner angles it was
// made from, in degrees (the core keeps them only in radians).
struct FrustumObject {
  karvik_core::geometry::Frustum frustum;
  double phi1, theta1, phi2, theta2;
};

// What a progress callback receives: the pipeline's counters at one moment.
struct ProgressReport {
  std::uint64_t tiles_done;
  std::uint64_t tiles_total;
  std::uint64_t points_read;
  std::uint64_t points_written;
};

PyTypeObject* create_extraction_stats_class();
PyTypeObject* create_extraction_progress_class();
PyTypeObject* create_bounding_box_class();
PyTypeObject* create_cylinder_class();
PyTypeObject* create_frustum_class();

}  // namespace karvik_python
