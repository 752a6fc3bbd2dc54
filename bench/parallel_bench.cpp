// How extraction scales with the pool's threads, each run in a child process
// with its own peak memory (ru_maxrss):
//  - one large LAZ tile (formats 1 and 6), a box keeping 10% and 50% of it,
//    LAS output: the tile's chunks are what the threads share;
//  - 16 LAZ tiles of format 6 with LAZ output keeping 10% and 50%: reading
//    and the output's compression share the threads; the peak memory should
//    not follow the number of points kept.
// Speed-up and peak are relative to the one-thread run of the same job.
//
//   parallel_bench [points_in_the_large_tile=20000000] [points_per_small_tile=2000000] [dir=/tmp/karvik-parallel-bench]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "extraction_run.hpp"
#include "geometry/box.hpp"
#include "pool/pool.hpp"
#include "testing/gpkg_fixture.hpp"
#include "tile_generator.hpp"

namespace {

namespace fs = std::filesystem;
using karvik_core::geometry::AxisAlignedBox;
using karvik_core::geometry::Rect;

constexpr double kTile = 1000, kX0 = 100000, kY0 = 400000;

// Generates the tiles that are not there yet (side x side tiles of 1 km) and
// writes their index.
std::string make_tiles(const fs::path& dir, const std::string& name, int side, std::uint64_t points,
                       std::uint8_t format) {
  fs::create_directories(dir);
  std::vector<std::pair<std::string, Rect>> index;
  for (int i = 0; i < side * side; ++i) {
    const double x = kX0 + (i % side) * kTile, y = kY0 + (i / side) * kTile;
    const fs::path path = dir / (name + "_" + std::to_string(points) + "_f" + std::to_string(format) + "_" +
                                 std::to_string(i) + ".laz");
    if (!fs::exists(path)) {
      const bench::TileParams params{x, y, kTile, points, format, static_cast<std::uint32_t>(i + 1), true};
      if (auto ok = bench::generate_tile(path.string(), params); !ok) {
        std::fprintf(stderr, "generating %s: %s\n", path.c_str(), ok.error().message().c_str());
        std::exit(1);
      }
    }
    index.push_back({path.string(), {x, y, x + kTile, y + kTile}});
  }
  const fs::path gpkg = dir / (name + "_" + std::to_string(points) + "_f" + std::to_string(format) + ".gpkg");
  fs::remove(gpkg);
  karvik_core::testing::write_index(gpkg, index);
  return gpkg.string();
}

// A box at the centre of the tiles keeping the fraction f of them.
AxisAlignedBox central_box(int side, double f) {
  const double width = side * kTile, half = width * std::sqrt(f) / 2;
  const double cx = kX0 + width / 2, cy = kY0 + width / 2;
  return AxisAlignedBox(cx - half, cx + half, cy - half, cy + half);
}

std::vector<std::string> thread_counts() {
  std::vector<std::string> counts = {"1", "2"};
  const std::size_t all = pool::ThreadPool::default_size();
  if (all > 2) counts.push_back(std::to_string(all));
  return counts;
}

void print_heading(const char* what) {
  std::printf("\n%s\n%-12s %5s %8s %12s %12s %9s %9s %9s %9s\n", what, "job", "kept", "threads", "points read",
              "written", "s", "speed-up", "peak MB", "peak x");
}

void compare_threads(const char* job, double f, const std::string& index, const std::string& output, int side) {
  bench::Run one;
  for (const std::string& threads : thread_counts()) {
    const bench::Run r = bench::in_child(threads, [&] { return bench::extract(index, output, central_box(side, f)); });
    if (threads == "1") one = r;
    std::printf("%-12s %4.0f%% %8s %12llu %12llu %9.2f %9.2f %9.1f %9.2f\n", job, f * 100, threads.c_str(),
                static_cast<unsigned long long>(r.read), static_cast<unsigned long long>(r.written), r.seconds,
                one.seconds / r.seconds, r.peak_kb / 1024.0, static_cast<double>(r.peak_kb) / one.peak_kb);
  }
  fs::remove(output);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t large = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20'000'000;
  const std::uint64_t small = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2'000'000;
  const fs::path dir = argc > 3 ? argv[3] : "/tmp/karvik-parallel-bench";

  print_heading(("One LAZ tile of " + std::to_string(large) + " points, LAS output").c_str());
  for (const std::uint8_t format : {1, 6}) {
    const std::string index = make_tiles(dir, "one", 1, large, format);
    const std::string job = "format " + std::to_string(format);
    for (const double f : {0.10, 0.50}) compare_threads(job.c_str(), f, index, (dir / "out.las").string(), 1);
  }

  print_heading(("16 LAZ tiles of " + std::to_string(small) + " points, format 6, LAZ output").c_str());
  const std::string index = make_tiles(dir, "sixteen", 4, small, 6);
  for (const double f : {0.10, 0.50}) compare_threads("16 tiles", f, index, (dir / "out.laz").string(), 4);
}
