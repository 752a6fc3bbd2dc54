// read_tiles over an index of 100,000 tiles, beside a bare SQLite scan of the
// same rows (the floor any reader pays); build_index over 10,000 small tiles
// (half LAS, half LAZ, each with a WKT), on one thread and on all, beside a
// plain read of the same headers (open and read 375 bytes per file). Each
// indexing runs in a child process, as the pool reads KARVIK_NUM_THREADS once
// per process; its peak memory is its own.
//
//   build/bench/index_bench [--benchmark_filter=...] (tiles kept in /tmp/karvik-index-bench-tiles)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "geometry/box.hpp"
#include "index/builder.hpp"
#include "index/reader.hpp"
#include "pool/pool.hpp"
#include "tile_generator.hpp"

namespace {

constexpr int kSide = 316;  // 316 x 316 ~ 100,000 tiles of 1000 x 1000 units

std::vector<unsigned char> envelope_blob(double x0, double y0, double size) {
  std::vector<unsigned char> blob(40 + 93, 0);  // header, then room for a small polygon WKB
  blob[0] = 'G';
  blob[1] = 'P';
  blob[3] = 0x03;
  const double v[] = {x0, x0 + size, y0, y0 + size};
  std::memcpy(&blob[8], v, sizeof v);
  return blob;
}

const std::string& index_path() {
  static const std::string path = [] {
    const std::string p = "/tmp/karvik-index-bench-" + std::to_string(getpid()) + ".gpkg";
    std::filesystem::remove(p);
    sqlite3* db = nullptr;
    sqlite3_open(p.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=OFF; BEGIN;"
                 "CREATE TABLE gpkg_contents (table_name TEXT, data_type TEXT);"
                 "CREATE TABLE gpkg_geometry_columns (table_name TEXT, column_name TEXT);"
                 "INSERT INTO gpkg_contents VALUES ('tiles', 'features');"
                 "INSERT INTO gpkg_geometry_columns VALUES ('tiles', 'geom');"
                 "CREATE TABLE tiles (fid INTEGER PRIMARY KEY, location TEXT, geom BLOB);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO tiles (location, geom) VALUES (?, ?)", -1, &stmt, nullptr);
    for (int i = 0; i < kSide; ++i) {
      for (int j = 0; j < kSide; ++j) {
        const std::string location = "/data/ahn/tile_" + std::to_string(i) + "_" + std::to_string(j) + ".laz";
        const auto blob = envelope_blob(i * 1000.0, j * 1000.0, 1000.0);
        sqlite3_bind_text(stmt, 1, location.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(stmt, 2, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
      }
    }
    sqlite3_finalize(stmt);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::atexit([] { std::filesystem::remove(index_path()); });
    return p;
  }();
  return path;
}

void BM_SqliteScan(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(index_path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  std::int64_t rows = 0;
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT location, geom FROM tiles", -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_text(stmt, 0));
      benchmark::DoNotOptimize(sqlite3_column_blob(stmt, 1));
      ++rows;
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  state.counters["tiles/s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}

void BM_ReadTiles(benchmark::State& state) {
  auto reader = karvik_core::index::TileIndexReader::open(index_path());
  const karvik_core::geometry::AxisAlignedBox box(100000, 130000, 100000, 130000);
  std::int64_t rows = 0;
  for (auto _ : state) {
    auto tiles = reader->read_tiles(std::nullopt, box);
    benchmark::DoNotOptimize(tiles);
    rows += kSide * kSide;
  }
  state.counters["tiles/s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}

constexpr int kHeaderTiles = 10'000;
constexpr char kTilesDir[] = "/tmp/karvik-index-bench-tiles";
constexpr char kWkt[] =
    "PROJCS[\"Amersfoort / RD New\",GEOGCS[\"Amersfoort\",DATUM[\"Amersfoort\",SPHEROID[\"Bessel 1841\","
    "6377397.155,299.1528128]],PRIMEM[\"Greenwich\",0],UNIT[\"degree\",0.0174532925199433]],"
    "PROJECTION[\"Oblique_Stereographic\"],UNIT[\"metre\",1],AUTHORITY[\"EPSG\",\"28992\"]]";

// 10,000 tiles of 1 km with 16 points each, written once and kept.
const std::vector<std::string>& header_tiles() {
  static const std::vector<std::string> tiles = [] {
    std::filesystem::create_directories(kTilesDir);
    std::vector<std::string> paths;
    for (int i = 0; i < kHeaderTiles; ++i) {
      const bool laz = i % 2 == 1;
      const std::string path = std::string(kTilesDir) + "/tile_" + std::to_string(i) + (laz ? ".laz" : ".las");
      if (!std::filesystem::exists(path)) {
        const bench::TileParams params{100000.0 + (i % 100) * 1000.0, 400000.0 + (i / 100) * 1000.0, 1000, 16, 6,
                                       static_cast<std::uint32_t>(i + 1), laz, kWkt};
        if (auto ok = bench::generate_tile(path, params); !ok) {
          std::fprintf(stderr, "generating %s: %s\n", path.c_str(), ok.error().message().c_str());
          std::exit(1);
        }
      }
      paths.push_back(path);
    }
    return paths;
  }();
  return tiles;
}

struct ChildRun {
  double seconds = 0;
  std::size_t tiles = 0;
};

// Indexes the tiles in a child process with the given pool size ("": all).
bench::ChildResult<ChildRun> index_in_child(const std::string& threads) {
  const std::size_t expected = header_tiles().size();
  const auto run = bench::run_in_child<ChildRun>(threads, [] {
    const std::string index = "/tmp/karvik-index-bench-" + std::to_string(getpid()) + ".gpkg";
    const auto start = std::chrono::steady_clock::now();
    // Headers only: the plain read beside it reads headers too.
    auto report = karvik_core::index::build_index(index, {kTilesDir}, {.chunks = false});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::filesystem::remove(index);
    if (!report) std::fprintf(stderr, "indexing failed: %s\n", report.error().to_string().c_str());
    return ChildRun{seconds, report ? report->tiles_indexed : 0};
  });
  if (run.value.tiles != expected) {
    std::fprintf(stderr, "indexed %zu of %zu tiles\n", run.value.tiles, expected);
    std::exit(1);
  }
  return run;
}

// Tiles per second of each benchmark, for the ratios printed at the end.
std::map<std::string, double>& rates() {
  static std::map<std::string, double> measured;
  return measured;
}

void BM_PlainHeaderRead(benchmark::State& state) {
  const std::vector<std::string>& tiles = header_tiles();
  std::size_t files = 0;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    char header[375];
    for (const std::string& tile : tiles) {
      const int fd = open(tile.c_str(), O_RDONLY | O_CLOEXEC);
      benchmark::DoNotOptimize(read(fd, header, sizeof header));
      close(fd);
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    files += tiles.size();
  }
  state.counters["tiles/s"] = benchmark::Counter(static_cast<double>(files) / seconds);
  rates()["plain header read"] = static_cast<double>(files) / seconds;
}

void BM_BuildIndex(benchmark::State& state) {
  const std::int64_t threads = state.range(0);
  std::size_t tiles = 0;
  double seconds = 0;
  long peak_kb = 0;
  for (auto _ : state) {
    const auto run = index_in_child(threads > 0 ? std::to_string(threads) : "");
    state.SetIterationTime(run.value.seconds);
    seconds += run.value.seconds;
    tiles += run.value.tiles;
    peak_kb = std::max(peak_kb, run.peak_kb);
  }
  state.counters["tiles/s"] = benchmark::Counter(static_cast<double>(tiles) / seconds);
  state.counters["peak_MB"] = benchmark::Counter(static_cast<double>(peak_kb) / 1024);
  const std::string label = threads > 0 ? std::to_string(threads) + " thread" : "all threads";
  rates()["build_index, " + label] = static_cast<double>(tiles) / seconds;
}

}  // namespace

BENCHMARK(BM_SqliteScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadTiles)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainHeaderRead)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
// 0: all threads (the pool's default size).
BENCHMARK(BM_BuildIndex)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const auto& measured = rates();
  const auto plain = measured.find("plain header read");
  if (plain == measured.end()) return 0;
  std::printf("\nTiles per second against the plain header read (%zu tiles, %zu threads for all):\n",
              header_tiles().size(), pool::ThreadPool::default_size());
  for (const auto& [name, rate] : measured) {
    std::printf("  %-26s %10.0f tiles/s  %6.3f x\n", name.c_str(), rate, rate / plain->second);
  }
  return 0;
}
