#include "karvik/extract.hpp"

#include <optional>
#include <stop_token>
#include <utility>

#include "binding/call.hpp"
#include "karvik/classes.hpp"
#include "karvik/run.hpp"
#include "pipeline/summary.hpp"

namespace karvik_python {
namespace {

using binding::Result;
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

Statistics to_statistics(const ExtractionStats& stats) {
  return {stats.tiles_processed, stats.points_read, stats.points_written,
          karvik_core::pipeline::elapsed_seconds(stats)};
}

// The pipeline writes the output file.
Result<Statistics> extract(binding::Path index_path, binding::Path output_path, PyObject* geometry_object,
                           std::optional<bool> verbose, binding::OrNone<binding::Callable> progress) {
  const Result<Geometry> geometry = geometry_of(geometry_object);
  if (!geometry) return std::unexpected(geometry.error());
  const ExtractionPipeline pipeline(std::move(index_path.text), std::move(output_path.text), verbose.value_or(false));
  auto stats = run_watched(*geometry, progress ? progress->object : nullptr,
                           [&](const auto& value, std::stop_token stop, auto* counters) {
                             return pipeline.execute(value, stop, counters);
                           });
  if (!stats) return std::unexpected(std::move(stats.error()));
  return to_statistics(*stats);
}

}  // namespace

PyMethodDef* extract_definition() {
  static PyMethodDef definition = binding::function<kDoc, &extract>();
  return &definition;
}

}  // namespace karvik_python
