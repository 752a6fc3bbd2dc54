#include "karvik/build_index.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "binding/call.hpp"
#include "binding/text_and_paths.hpp"
#include "index/builder.hpp"
#include "logbridge/forward.hpp"

namespace karvik_python {
namespace {

using binding::Result;

constexpr char kDoc[] =
    "build_index(index_path, paths, layer=\"tiles\", update=False, chunks=True)\n--\n\n"
    "Build a GeoPackage tile index of LAS/LAZ files, as extract() reads it.\n\n"
    "Args:\n"
    "    index_path: Path of the GeoPackage to write\n"
    "    paths: A path or an iterable of paths: LAS/LAZ files, or folders searched recursively for .las and .laz\n"
    "    layer: Name of the feature table (default: \"tiles\")\n"
    "    update: Update an existing index: add new files, read changed ones again, drop rows of files gone\n"
    "        (default: False)\n"
    "    chunks: Also record the bounds of each tile's chunks, so that extractions read only the chunks they\n"
    "        need; without, the index holds headers only and an update drops the chunk bounds (default: True)\n\n"
    "Returns:\n"
    "    IndexReport: How many tiles the index lists and how many files were left out\n\n"
    "Raises:\n"
    "    ValueError: If no index can be written (no readable tile, differing coordinate systems, an index\n"
    "        to update that is not a tile index)\n\n"
    "Files that cannot be read are left out, each logged as a warning on the logger \"karvik\".";

// The Python logger the builder's notes go to (the builder's log target).
constexpr char kLogger[] = "karvik";

// What an IndexReport instance holds.
struct IndexSummary {
  std::size_t tiles_indexed;
  std::size_t tiles_skipped;
};

std::string repr(const IndexSummary& summary) {
  return "IndexReport(tiles_indexed=" + std::to_string(summary.tiles_indexed) +
         ", tiles_skipped=" + std::to_string(summary.tiles_skipped) + ")";
}

// The headers are read with the GIL released; skipped files reach Python's logging meanwhile.
Result<IndexSummary> build_index(binding::Path index_path, binding::PathList paths, std::optional<binding::Text> layer,
                                 std::optional<bool> update, std::optional<bool> chunks) {
  karvik_core::index::IndexOptions options;
  if (layer) options.layer = std::move(layer->text);
  options.update = update.value_or(false);
  options.chunks = chunks.value_or(true);
  if (!logbridge::follow_logger_level(kLogger)) return binding::already_raised();
  auto report = logbridge::run_forwarding_logs(
      [&] { return karvik_core::index::build_index(index_path.text, paths.paths, options); }, [] {});
  if (!report) return binding::value_error("Indexing failed: " + report.error().to_string());
  return IndexSummary{report->tiles_indexed, report->skipped.size()};
}

}  // namespace

PyMethodDef* build_index_definition() {
  static PyMethodDef definition = binding::function<kDoc, &build_index>();
  return &definition;
}

PyTypeObject* create_index_report_class() {
  static PyGetSetDef properties[] = {
      binding::property<&IndexSummary::tiles_indexed>("tiles_indexed", "Number of tiles the index lists."),
      binding::property<&IndexSummary::tiles_skipped>("tiles_skipped",
                                                      "Number of files left out because they could not be read."),
      {},
  };
  return binding::Class<IndexSummary>::create({
      .name = "karvik.IndexReport",
      .doc = "What build_index() did: the tiles the index lists and the files it left out.",
      .constructor = nullptr,
      .repr = binding::text_slot<&repr>,
      .str = nullptr,
      .compare = nullptr,
      .hash = nullptr,
      .methods = nullptr,
      .properties = properties,
  });
}

}  // namespace karvik_python
