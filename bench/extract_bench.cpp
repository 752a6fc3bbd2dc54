// End-to-end extraction over 16 generated tiles with a box, a cylinder and a
// frustum, each keeping a fraction of the points (10%, 25%, then twice that), on one thread
// and on all threads. Each run is a child process, so that its peak memory
// (ru_maxrss) is its own. Beside them: a plain read of the same bytes.
//
//   extract_bench [points_per_tile=2000000] [dir=/tmp/karvik-extract-bench] [las|laz]
//
// las: LAS 1.2 format 1 tiles; laz: LAS 1.4 format 6 LAZ tiles (layered).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "extraction_run.hpp"
#include "geometry/box.hpp"
#include "geometry/cylinder.hpp"
#include "geometry/frustum.hpp"
#include "pool/pool.hpp"
#include "testing/gpkg_fixture.hpp"
#include "tile_generator.hpp"

namespace {

namespace fs = std::filesystem;
using bench::extract;
using bench::in_child;
using bench::Run;
using karvik_core::geometry::AxisAlignedBox;
using karvik_core::geometry::Frustum;
using karvik_core::geometry::VerticalCylinder;

constexpr int kSide = 4;  // 4 x 4 tiles of 1 km
constexpr double kTile = 1000, kX0 = 100000, kY0 = 400000;
constexpr double kWidth = kSide * kTile;

struct Dataset {
  std::uint8_t format;
  bool compressed;
  const char* extension;
};

std::vector<std::string> make_dataset(const fs::path& dir, std::uint64_t points, const Dataset& kind) {
  fs::create_directories(dir);
  std::vector<std::string> tiles;
  std::vector<std::pair<std::string, karvik_core::geometry::Rect>> index;
  for (int i = 0; i < kSide * kSide; ++i) {
    const double x = kX0 + (i % kSide) * kTile, y = kY0 + (i / kSide) * kTile;
    const fs::path path = dir / ("tile_" + std::to_string(points) + "_" + std::to_string(i) + kind.extension);
    if (!fs::exists(path)) {
      bench::TileParams params{x, y, kTile, points, kind.format, static_cast<std::uint32_t>(i + 1), kind.compressed};
      if (auto ok = bench::generate_tile(path.string(), params); !ok) {
        std::fprintf(stderr, "generating %s: %s\n", path.c_str(), ok.error().message().c_str());
        std::exit(1);
      }
    }
    tiles.push_back(path.string());
    index.push_back({path.string(), {x, y, x + kTile, y + kTile}});
  }
  const fs::path gpkg = dir / ("index_" + std::to_string(points) + kind.extension + ".gpkg");
  fs::remove(gpkg);
  karvik_core::testing::write_index(gpkg, index);
  return tiles;
}

Run plain_read(const std::vector<std::string>& tiles) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<char> buffer(1 << 23);
  std::uint64_t bytes = 0;
  for (const auto& t : tiles) {
    const int fd = open(t.c_str(), O_RDONLY);
    for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0;) bytes += static_cast<std::uint64_t>(n);
    close(fd);
  }
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), bytes, 0, 0};
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t points = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2'000'000;
  const fs::path dir = argc > 2 ? argv[2] : "/tmp/karvik-extract-bench";
  const bool laz = argc > 3 && std::string(argv[3]) == "laz";
  const Dataset kind = laz ? Dataset{6, true, ".laz"} : Dataset{1, false, ".las"};
  const auto tiles = make_dataset(dir, points, kind);
  const std::string index = (dir / ("index_" + std::to_string(points) + kind.extension + ".gpkg")).string();
  const std::string output = (dir / (std::string("out") + kind.extension)).string();
  const std::string all = std::to_string(pool::ThreadPool::default_size());

  // The kept fraction f of a square box of side s over the 4 km square is (s / 4 km)^2.
  auto box = [](double f) {
    const double half = kWidth * std::sqrt(f) / 2, cx = kX0 + kWidth / 2, cy = kY0 + kWidth / 2;
    return AxisAlignedBox(cx - half, cx + half, cy - half, cy + half);
  };
  auto cylinder = [](double f) {
    return VerticalCylinder(kX0 + kWidth / 2, kY0 + kWidth / 2, kWidth * std::sqrt(f / M_PI));
  };
  // A quarter turn seen from the centre, reaching far enough to cover the fraction f.
  auto frustum = [](double f) {
    const double reach = kWidth * std::sqrt(4 * f / M_PI);
    return *Frustum::create(kX0 + kWidth / 2, kY0 + kWidth / 2, 20, 0, -10, 90, 10, 0, reach);
  };

  const Run io = in_child(all.c_str(), [&] { return plain_read(tiles); });
  std::printf("16 tiles x %llu points (%s, %.0f MB); plain read of the bytes: %.2f s (%.0f MB/s)\n",
              static_cast<unsigned long long>(points), laz ? "LAZ, LAS 1.4 format 6" : "LAS 1.2 format 1",
              io.read / 1e6, io.seconds, io.read / 1e6 / io.seconds);
  std::printf("%-9s %5s %8s %12s %12s %10s %10s %9s %10s\n", "geometry", "kept", "threads", "points read",
              "written", "s", "Mpts/s", "speed-up", "peak MB");
  for (double f : {0.10, 0.25, 0.50}) {
    const std::function<Run()> runs[3] = {
        [&] { return extract(index, output, box(f)); },
        [&] { return extract(index, output, cylinder(f)); },
        [&] { return extract(index, output, frustum(f)); },
    };
    const char* names[3] = {"box", "cylinder", "frustum"};
    for (int g = 0; g < 3; ++g) {
      const Run one = in_child("1", runs[g]);
      const Run many = in_child(all.c_str(), runs[g]);
      for (const auto& [label, r] : {std::pair{"1", one}, std::pair{all.c_str(), many}}) {
        std::printf("%-9s %4.0f%% %8s %12llu %12llu %10.2f %10.1f %9.2f %10.1f\n", names[g], f * 100, label,
                    static_cast<unsigned long long>(r.read), static_cast<unsigned long long>(r.written), r.seconds,
                    r.read / 1e6 / r.seconds, one.seconds / r.seconds, r.peak_kb / 1024.0);
      }
    }
  }
  fs::remove(output);
}
