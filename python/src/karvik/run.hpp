#pragma once

#include <Python.h>

#include <variant>

#include "binding/error.hpp"
#include "geometry/box.hpp"
#include "geometry/cylinder.hpp"
#include "geometry/frustum.hpp"
#include "karvik/supervision.hpp"
#include "logbridge/forward.hpp"
#include "pipeline/executor.hpp"

// What extract() and read() share: recognising the geometry, and running the
// pipeline with the GIL released while this thread forwards its log records,
// watches for signals and reports progress.
namespace karvik_python {

using Geometry = std::variant<karvik_core::geometry::AxisAlignedBox, karvik_core::geometry::VerticalCylinder,
                              karvik_core::geometry::Frustum>;

// A copy of the core value, the classes tested in a fixed order; ValueError
// for an object of none of them.
binding::Result<Geometry> geometry_of(PyObject* object);

// The Python logger that the pipeline's records go to.
inline constexpr char kPipelineLogger[] = "karvik_core.pipeline.executor";

// Runs execute(geometry, stop_token, progress counters), a call of the
// pipeline. Fails with the exception that stopped it, or with ValueError
// "Extraction failed: ..." carrying the pipeline's error.
template <typename Execute>
binding::Result<karvik_core::pipeline::ExtractionStats> run_watched(const Geometry& geometry, PyObject* progress,
                                                                    Execute&& execute) {
  if (!logbridge::follow_logger_level(kPipelineLogger)) return binding::already_raised();
  Supervision supervision(progress);
  auto result = logbridge::run_forwarding_logs(
      [&] {
        return std::visit(
            [&](const auto& value) { return execute(value, supervision.stop_token(), supervision.counters()); },
            geometry);
      },
      [&] { supervision.tick(); });
  if (supervision.raise_stop()) return binding::already_raised();
  if (!result) return binding::value_error("Extraction failed: " + result.error().to_string());
  if (!supervision.report_end()) return binding::already_raised();
  return std::move(*result);
}

}  // namespace karvik_python
