#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <expected>
#include <mutex>
#include <stop_token>
#include <thread>
#include <variant>

#include "arguments.hpp"
#include "commands.hpp"
#include "geometry/checked.hpp"
#include "interrupt.hpp"
#include "pipeline/executor.hpp"
#include "pipeline/summary.hpp"
#include "terminal.hpp"

namespace karvik_cli {
namespace {

using namespace karvik_core;
using Geometry = std::variant<geometry::AxisAlignedBox, geometry::VerticalCylinder, geometry::Frustum>;

// The one geometry option of the command line, checked as the constructors check it.
std::expected<Geometry, std::string> parse_geometry(Arguments& arguments) {
  auto box = arguments.numbers("box", 4, 6);
  auto cylinder = arguments.numbers("cylinder", 3, 3);
  auto frustum = arguments.numbers("frustum", 9, 9);
  for (const auto* given : {&box, &cylinder, &frustum}) {
    if (!*given) return std::unexpected(given->error());
  }
  const int count = (*box ? 1 : 0) + (*cylinder ? 1 : 0) + (*frustum ? 1 : 0);
  if (count != 1) return std::unexpected("give one geometry: --box, --cylinder or --frustum");
  const auto checked = [](auto made) -> std::expected<Geometry, std::string> {
    if (!made) return std::unexpected(made.error());
    return Geometry(*made);
  };
  if (*box) {
    const auto& b = **box;
    if (b.size() == 6) return checked(geometry::checked_box(b[0], b[1], b[2], b[3], b[4], b[5]));
    return checked(geometry::checked_box(b[0], b[1], b[2], b[3]));
  }
  if (*cylinder) {
    const auto& c = **cylinder;
    return checked(geometry::checked_cylinder(c[0], c[1], c[2]));
  }
  const auto& f = **frustum;
  return checked(geometry::checked_frustum(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8]));
}

}  // namespace

int run_extract(std::vector<std::string> words) {
  Arguments arguments(std::move(words));
  const bool verbose = arguments.flag("verbose");
  const bool quiet = arguments.flag("quiet");
  auto geometry = parse_geometry(arguments);
  if (!geometry) return usage_error("extract", geometry.error());
  const auto paths = arguments.positionals();
  if (!paths) return usage_error("extract", paths.error());
  if (paths->size() != 2) return usage_error("extract", "give the index and the output path");
  if (verbose && quiet) return usage_error("extract", "--verbose and --quiet exclude each other");

  Terminal terminal(!quiet);
  terminal.capture_logs(quiet ? logging::Level::Error : verbose ? logging::Level::Info : logging::Level::Warn);
  const InterruptGuard interrupts;
  const pipeline::ExtractionPipeline pipeline((*paths)[0], (*paths)[1], verbose);
  std::stop_source stop;
  pipeline::ExtractionProgress progress;

  // The extraction runs beside this thread, which watches for signals and draws progress.
  std::mutex mutex;
  std::condition_variable finished;
  std::optional<std::expected<pipeline::ExtractionStats, TileIndexError>> result;
  std::jthread worker([&] {
    auto outcome = std::visit([&](const auto& g) { return pipeline.execute(g, stop.get_token(), &progress); }, *geometry);
    std::lock_guard lock(mutex);
    result.emplace(std::move(outcome));
    finished.notify_one();
  });
  {
    std::unique_lock lock(mutex);
    while (!finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return result.has_value(); })) {
      if (InterruptGuard::signal_received() != 0) stop.request_stop();
      lock.unlock();
      terminal.show_progress({progress.tiles_done, progress.tiles_total, progress.points_read});
      lock.lock();
    }
  }
  worker.join();
  terminal.clear_progress();

  if (const int signal = InterruptGuard::signal_received(); signal != 0 && !*result) {
    std::fprintf(stderr, "karvik: interrupted; nothing was written\n");
    return exit_status_for(signal);
  }
  if (!*result) {
    std::fprintf(stderr, "karvik: Extraction failed: %s\n", result->error().to_string().c_str());
    return kFailure;
  }
  std::printf("%s\n", pipeline::summary(**result).c_str());
  return 0;
}

}  // namespace karvik_cli
