#include <cstdio>

#include "arguments.hpp"
#include "commands.hpp"
#include "index/builder.hpp"
#include "terminal.hpp"
#include "text/utf8.hpp"

namespace karvik_cli {

int run_index(std::vector<std::string> words) {
  Arguments arguments(std::move(words));
  karvik_core::index::IndexOptions options;
  options.update = arguments.flag("update");
  const bool chunks = arguments.flag("chunks"), no_chunks = arguments.flag("no-chunks");
  if (chunks && no_chunks) return usage_error("index", "give --chunks or --no-chunks, not both");
  options.chunks = !no_chunks;
  const auto layer = arguments.value("layer");
  if (!layer) return usage_error("index", layer.error());
  if (*layer) options.layer = **layer;
  const auto paths = arguments.positionals();
  if (!paths) return usage_error("index", paths.error());
  if (paths->size() < 2) return usage_error("index", "give the index and at least one file or folder");

  Terminal terminal(false);
  terminal.capture_logs(logging::Level::Warn);  // each file left out, with its reason
  const std::vector<std::string> inputs(paths->begin() + 1, paths->end());
  auto report = karvik_core::index::build_index(paths->front(), inputs, options);
  if (!report) {
    std::fprintf(stderr, "karvik: Indexing failed: %s\n", report.error().to_string().c_str());
    return kFailure;
  }
  std::printf("Indexed %zu tiles into %s (%zu read, %zu removed)", report->tiles_indexed,
              karvik_core::to_utf8_lossy(paths->front()).c_str(), report->tiles_read, report->tiles_removed);
  std::printf(report->skipped.empty() ? "\n" : "; %zu files left out\n", report->skipped.size());
  return report->skipped.empty() ? 0 : kFailure;
}

}  // namespace karvik_cli
