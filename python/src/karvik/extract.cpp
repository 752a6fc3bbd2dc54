#include "karvik/extract.hpp"

#include <chrono>
#include <optional>
#include <utility>
#include <variant>

#include "binding/call.hpp"
#include "geometry/box.hpp"
#include "geometry/cylinder.hpp"
#include "geometry/frustum.hpp"
#include "karvik/classes.hpp"
#include "karvik/supervision.hpp"
#include "logbridge/forward.hpp"
#include "pipeline/executor.hpp"

namespace karvik_python {
namespace {

using binding::Result;
using karvik_core::geometry::AxisAlignedBox;
using karvik_core::geometry::Frustum;
using karvik_core::geometry::VerticalCylinder;
using karvik_core::pipeline::ExtractionPipeline;
using karvik_core::pipeline::ExtractionStats;

constexpr char kDoc[] =
    "extract(index_path, output_path, geometry, verbose=False, progress=None)\n--\n\n"
    "Extract points from LAS/LAZ files using a GeoPackage tile index.\n\n"
    "Args:\n"
    "    index_path: Path to the GeoPackage tile index file\n"
    "    output_path: Path where the extracted points will be written\n"
    "    geometry: Extraction geometry (BoundingBox or Cylinder)\n"
    "    verbose: Whether to log detailed progress information (default: False)\n"
    "    progress: Called about ten times a second and at the end with an ExtractionProgress (default: None)\n\n"
    "Returns:\n"
    "    ExtractionStats: Statistics about the extraction process\n\n"
    "Raises:\n"
    "    ValueError: If the geometry is not valid\n"
    "    RuntimeError: If the extraction fails\n\n"
    "Example:\n"
    "    ```python\n"
    "    import karvik\n\n"
    "    # Create a bounding box\n"
    "    bbox = karvik.BoundingBox(10000, 20000, 30000, 40000)\n\n"
    "    # Extract points\n"
    "    stats = karvik.extract(\"tiles.gpkg\", \"output.laz\", bbox, verbose=True)\n"
    "    print(f\"Extracted {stats.points_written} points\")\n"
    "    ```";

// The Python logger that the pipeline's records go to.
constexpr char kPipelineLogger[] = "karvik_core.pipeline.executor";

using Geometry = std::variant<AxisAlignedBox, VerticalCylinder, Frustum>;

// A copy of the core value, the classes tested in a fixed order.
std::optional<Geometry> geometry_of(PyObject* object) {
  if (const auto* box = binding::Class<AxisAlignedBox>::value_of(object)) return *box;
  if (const auto* cylinder = binding::Class<VerticalCylinder>::value_of(object)) return *cylinder;
  if (const auto* frustum = binding::Class<FrustumObject>::value_of(object)) return frustum->frustum;
  return std::nullopt;
}

Statistics to_statistics(const ExtractionStats& stats) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(stats.elapsed_time);
  const auto nanoseconds = stats.elapsed_time - seconds;
  return {stats.tiles_processed, stats.points_read, stats.points_written,
          static_cast<double>(seconds.count()) + static_cast<double>(nanoseconds.count()) / 1e9};
}

// The pipeline runs with the GIL released; its log records reach Python's
// logging on this thread meanwhile, which also watches for signals and
// reports progress.
Result<Statistics> extract(binding::Path index_path, binding::Path output_path, PyObject* geometry_object,
                           std::optional<bool> verbose, binding::OrNone<binding::Callable> progress) {
  const std::optional<Geometry> geometry = geometry_of(geometry_object);
  if (!geometry) return binding::value_error("geometry must be BoundingBox, Cylinder, or Frustum");
  if (!logbridge::follow_logger_level(kPipelineLogger)) return binding::already_raised();
  const ExtractionPipeline pipeline(std::move(index_path.text), std::move(output_path.text), verbose.value_or(false));
  Supervision supervision(progress ? progress->object : nullptr);
  auto result = logbridge::run_forwarding_logs(
      [&] {
        return std::visit(
            [&](const auto& value) {
              return pipeline.execute(value, supervision.stop_token(), supervision.counters());
            },
            *geometry);
      },
      [&] { supervision.tick(); });
  if (supervision.raise_stop()) return binding::already_raised();
  if (!result) return binding::value_error("Extraction failed: " + result.error().to_string());
  if (!supervision.report_end()) return binding::already_raised();
  return to_statistics(*result);
}

}  // namespace

PyMethodDef* extract_definition() {
  static PyMethodDef definition = binding::function<kDoc, &extract>();
  return &definition;
}

}  // namespace karvik_python
