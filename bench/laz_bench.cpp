// LAZ decoding and encoding of a generated airborne tile of 5 million points
// (formats 1 and 3, and the layered formats 6 and 7, from the shared tile
// generator), one thread, beside reading and writing the same points as plain
// LAS: the LAS figures are the baseline the LAZ ones compare with.
// BM_LazReadBox reads the LAZ tile through a box that keeps a tenth of it,
// against BM_LazRead of the whole tile.
// Run: build/bench/laz_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "las/bytes.hpp"
#include "las/reader.hpp"
#include "las/writer.hpp"
#include "tile_generator.hpp"

namespace {

constexpr std::size_t kPoints = 5'000'000;

std::string file_path(std::uint8_t format, const char* extension) {
  return "/tmp/karvik-laz-bench-" + std::to_string(getpid()) + "-f" + std::to_string(format) + extension;
}

// The same generated points as a LAS and a LAZ file, and their records.
struct Tile {
  std::string las;
  std::string laz;
  las::Header header;
  std::vector<std::uint8_t> records;
};

const Tile& tile(std::uint8_t format) {
  static std::map<std::uint8_t, Tile> tiles;
  auto [it, added] = tiles.try_emplace(format);
  Tile& t = it->second;
  if (added) {
    t.las = file_path(format, ".las");
    t.laz = file_path(format, ".laz");
    bench::TileParams params;
    params.points = kPoints;
    params.format = format;
    bench::generate_tile(t.las, params).value();
    params.compressed = true;
    bench::generate_tile(t.laz, params).value();
    auto reader = las::Reader::open(t.las).value();
    t.header = reader.header();
    while (reader.read_batch(t.records).value() != 0) {
    }
  }
  return t;
}

void read_all(benchmark::State& state, const std::string& path) {
  std::vector<std::uint8_t> batch;
  for (auto _ : state) {
    auto reader = las::Reader::open(path).value();
    std::size_t points = 0;
    for (std::size_t n; (n = reader.read_batch(batch).value()) != 0; batch.clear()) points += n;
    if (points != kPoints) state.SkipWithError("wrong point count");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
}

void BM_LasRead(benchmark::State& state) { read_all(state, tile(static_cast<std::uint8_t>(state.range(0))).las); }

void BM_LazRead(benchmark::State& state) {
  const Tile& t = tile(static_cast<std::uint8_t>(state.range(0)));
  read_all(state, t.laz);
  state.counters["ratio_bytes"] =
      static_cast<double>(std::filesystem::file_size(t.laz)) / static_cast<double>(std::filesystem::file_size(t.las));
}

// The lower left of the tile, a tenth of its area: layered chunks that it
// misses are decoded only as far as their coordinates.
void BM_LazReadBox(benchmark::State& state) {
  const Tile& t = tile(static_cast<std::uint8_t>(state.range(0)));
  const std::size_t length = t.header.point_format().record_length();
  std::int32_t min_x = INT32_MAX, max_x = INT32_MIN, min_y = INT32_MAX, max_y = INT32_MIN;
  for (std::size_t i = 0; i < t.records.size(); i += length) {
    const auto x = las::load<std::int32_t>(&t.records[i]), y = las::load<std::int32_t>(&t.records[i + 4]);
    min_x = std::min(min_x, x), max_x = std::max(max_x, x), min_y = std::min(min_y, y), max_y = std::max(max_y, y);
  }
  const double side = std::sqrt(0.1);
  const auto box_x = static_cast<std::int32_t>(min_x + side * (max_x - min_x));
  const auto box_y = static_cast<std::int32_t>(min_y + side * (max_y - min_y));
  const las::RecordFilter in_box = [&](std::span<const std::uint8_t> records, std::size_t len,
                                       std::span<std::uint8_t> keep) {
    for (std::size_t i = 0; i < keep.size(); ++i) {
      const std::uint8_t* r = &records[i * len];
      keep[i] = las::load<std::int32_t>(r) <= box_x && las::load<std::int32_t>(r + 4) <= box_y;
    }
  };
  std::vector<std::uint8_t> kept;
  for (auto _ : state) {
    auto reader = las::Reader::open(t.laz).value();
    kept.clear();
    std::size_t points = 0;
    for (std::size_t n; (n = reader.read_batch(kept, in_box).value()) != 0;) points += n;
    if (points != kPoints) state.SkipWithError("wrong point count");
  }
  state.counters["kept"] = static_cast<double>(kept.size() / length) / static_cast<double>(kPoints);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
}

void write_all(benchmark::State& state, bool laz) {
  const auto format = static_cast<std::uint8_t>(state.range(0));
  const Tile& t = tile(format);
  const std::string path = file_path(format, laz ? ".out.laz" : ".out.las");
  for (auto _ : state) {
    auto writer = las::Writer::create(path, t.header, laz).value();
    writer.write_records(writer.layout(), t.records).value();
    writer.close().value();
  }
  std::filesystem::remove(path);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
}

void BM_LasWrite(benchmark::State& state) { write_all(state, false); }
void BM_LazWrite(benchmark::State& state) { write_all(state, true); }

BENCHMARK(BM_LasRead)->Arg(1)->Arg(3)->Arg(6)->Arg(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LazRead)->Arg(1)->Arg(3)->Arg(6)->Arg(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LazReadBox)->Arg(1)->Arg(6)->Arg(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LasWrite)->Arg(1)->Arg(3)->Arg(6)->Arg(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LazWrite)->Arg(1)->Arg(3)->Arg(6)->Arg(7)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (std::uint8_t format : {1, 3, 6, 7}) {
    std::filesystem::remove(file_path(format, ".las"));
    std::filesystem::remove(file_path(format, ".laz"));
  }
  return 0;
}
