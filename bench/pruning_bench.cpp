// What chunk bounds in the index save: one LAZ tile of format 6 (20 million
// points by default) in flight-line order (scan lines across strips flown side
// by side, as a scanner records them) and the same points spatially sorted;
// a 15 m cylinder, a 50 m box and a frustum 300 m deep near the tile's
// centre, each extracted with an index holding chunk bounds and with one
// holding headers only. Each run is a child process on all threads; the
// speed-up is the headers-only time over the chunk-bounds time, the read
// fraction the points decoded over the tile's points.
//
//   pruning_bench [points=20000000] [dir=/tmp/karvik-pruning-bench]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "extraction_run.hpp"
#include "geometry/box.hpp"
#include "geometry/cylinder.hpp"
#include "geometry/frustum.hpp"
#include "index/builder.hpp"
#include "tile_generator.hpp"

namespace {

namespace fs = std::filesystem;
using karvik_core::geometry::AxisAlignedBox;
using karvik_core::geometry::Frustum;
using karvik_core::geometry::VerticalCylinder;

constexpr double kX0 = 100000, kY0 = 400000, kSize = 1000;
constexpr double kCx = kX0 + kSize / 2, kCy = kY0 + kSize / 2;

std::string make_tile(const fs::path& dir, std::uint64_t points, bench::PointOrder order, const char* name) {
  fs::create_directories(dir);
  const fs::path path = dir / (std::string(name) + "_" + std::to_string(points) + ".laz");
  if (!fs::exists(path)) {
    bench::TileParams params{kX0, kY0, kSize, points, 6, 1, true};
    params.order = order;
    if (auto ok = bench::generate_tile(path.string(), params); !ok) {
      std::fprintf(stderr, "generating %s: %s\n", path.c_str(), ok.error().message().c_str());
      std::exit(1);
    }
  }
  return path.string();
}

// Builds the index in a child, timed.
double build_index(const std::string& gpkg, const std::string& tile, bool chunks) {
  return bench::in_child("", [&] {
           fs::remove(gpkg);
           const auto start = std::chrono::steady_clock::now();
           auto report = karvik_core::index::build_index(gpkg, {tile}, {.chunks = chunks});
           if (!report) {
             std::fprintf(stderr, "indexing failed: %s\n", report.error().to_string().c_str());
             std::exit(1);
           }
           return bench::Run{std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
         })
      .seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t points = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20'000'000;
  const fs::path dir = argc > 2 ? argv[2] : "/tmp/karvik-pruning-bench";
  const std::string output = (dir / "out.las").string();
  const VerticalCylinder cylinder(kCx + 3, kCy - 7, 15);
  const AxisAlignedBox box(kCx - 20, kCx + 30, kCy - 25, kCy + 25);
  // From 40 m up at the tile's west third, looking east and down, 300 m deep.
  const Frustum frustum = *Frustum::create(kCx - 150, kCy, 40, 80, -20, 100, 0, 0, 300);

  std::printf("one LAZ tile of %llu points, format 6, all threads\n", static_cast<unsigned long long>(points));
  std::printf("%-12s %-9s %10s %10s %9s %12s %9s\n", "order", "geometry", "headers s", "chunks s", "speed-up",
              "points read", "read");
  for (const auto& [order, name] : {std::pair{bench::PointOrder::flight_lines, "flight-line"},
                                    std::pair{bench::PointOrder::sorted, "sorted"}}) {
    const std::string tile = make_tile(dir, points, order, name);
    const std::string headers = (dir / (std::string(name) + "_headers.gpkg")).string();
    const std::string chunks = (dir / (std::string(name) + "_chunks.gpkg")).string();
    const double headers_build = build_index(headers, tile, false);
    const double chunks_build = build_index(chunks, tile, true);
    const std::pair<const char*, std::function<bench::Run(const std::string&)>> runs[] = {
        {"cylinder", [&](const std::string& index) { return bench::extract(index, output, cylinder); }},
        {"box", [&](const std::string& index) { return bench::extract(index, output, box); }},
        {"frustum", [&](const std::string& index) { return bench::extract(index, output, frustum); }},
    };
    for (const auto& [geometry, run] : runs) {
      const bench::Run whole = bench::in_child("", [&] { return run(headers); });
      const bench::Run pruned = bench::in_child("", [&] { return run(chunks); });
      if (pruned.written != whole.written) {
        std::fprintf(stderr, "%s %s: %llu points written with chunk bounds, %llu without\n", name, geometry,
                     static_cast<unsigned long long>(pruned.written), static_cast<unsigned long long>(whole.written));
        return 1;
      }
      std::printf("%-12s %-9s %10.3f %10.3f %9.1f %12llu %8.2f%%\n", name, geometry, whole.seconds, pruned.seconds,
                  whole.seconds / pruned.seconds, static_cast<unsigned long long>(pruned.read),
                  100.0 * static_cast<double>(pruned.read) / static_cast<double>(points));
    }
    std::printf("%-12s indexing: %.2f s headers only, %.2f s with chunk bounds\n", name, headers_build, chunks_build);
  }
  fs::remove(output);
}
