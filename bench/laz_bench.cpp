// LAZ decoding and encoding of a generated airborne tile of 5 million points
// (formats 1 and 3, and the layered formats 6 and 7), one thread, beside
// reading and writing the same points as plain LAS: the LAS figures are the
// baseline the LAZ ones compare with. BM_LazReadBox reads the LAZ tile through
// a box that keeps a tenth of it, against BM_LazRead of the whole tile.
// Run: build/bench/laz_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "las/bytes.hpp"
#include "las/reader.hpp"
#include "las/writer.hpp"

namespace {

constexpr std::size_t kPoints = 5'000'000;

las::Header tile_header(std::uint8_t format) {
  las::HeaderBuilder builder;
  builder.version = {1, static_cast<std::uint8_t>(format >= 6 ? 4 : 2)};
  builder.point_format = {format, 0};
  builder.transforms = {{0.01, 500000.0}, {0.01, 6000000.0}, {0.01, 0.0}};
  return builder.build().value();
}

// Scan lines across a 1 km strip: pulses 0.5 m apart along the line with up to
// three returns over vegetation, smooth terrain, GPS time steady per pulse,
// intensity and colour varying with the ground.
std::vector<std::uint8_t> tile_records(const las::PointFormat& format) {
  std::mt19937 rng(42);
  std::normal_distribution<double> noise(0.0, 1.0);
  const std::size_t length = format.record_length();
  std::vector<std::uint8_t> bytes(kPoints * length);
  double time = 302400.0;
  std::size_t i = 0;
  for (int line = 0; i < kPoints; ++line) {
    const bool forward = line % 2 == 0;
    for (int pulse = 0; pulse < 2000 && i < kPoints; ++pulse) {
      time += 0.00002;
      const double along = forward ? pulse * 0.5 : (1999 - pulse) * 0.5;
      const double x = along + 0.05 * noise(rng);
      const double y = line * 0.7 + 0.05 * noise(rng);
      const double ground = 40.0 + 8.0 * std::sin(x / 90.0) + 5.0 * std::cos(y / 70.0);
      const bool vegetation = std::sin(x / 13.0) * std::cos(y / 11.0) > 0.3;
      const unsigned returns = vegetation ? 1 + rng() % 3 : 1;
      for (unsigned r = 1; r <= returns && i < kPoints; ++r, ++i) {
        std::uint8_t* p = &bytes[i * length];
        const double z = r == returns ? ground + 0.03 * noise(rng) : ground + 3.0 + 12.0 * (rng() % 1000) / 1000.0;
        las::store<std::int32_t>(p, static_cast<std::int32_t>(std::lround(x * 100)));
        las::store<std::int32_t>(p + 4, static_cast<std::int32_t>(std::lround(y * 100)));
        las::store<std::int32_t>(p + 8, static_cast<std::int32_t>(std::lround(z * 100)));
        las::store<std::uint16_t>(p + 12,
                                  static_cast<std::uint16_t>(vegetation ? 300 + rng() % 400 : 900 + rng() % 150));
        const bool edge = pulse == 0 || pulse == 1999;
        if (format.is_extended()) {
          p[14] = static_cast<std::uint8_t>(r | (returns << 4));
          p[15] = static_cast<std::uint8_t>((forward ? 1u << 6 : 0u) | (edge ? 1u << 7 : 0u));
          p[16] = r == returns ? 2 : 5;
          p[17] = 0;
          las::store<std::int16_t>(p + 18, static_cast<std::int16_t>((pulse - 1000) * 3));
          las::store<std::uint16_t>(p + 20, 17);
        } else {
          p[14] = static_cast<std::uint8_t>(r | (returns << 3) | (forward ? 1u << 6 : 0u) | (edge ? 1u << 7 : 0u));
          p[15] = r == returns ? 2 : 5;
          p[16] = static_cast<std::uint8_t>(static_cast<std::int8_t>((pulse - 1000) / 50));
          p[17] = 0;
          las::store<std::uint16_t>(p + 18, 17);
        }
        if (format.has_gps_time()) las::store<double>(p + format.gps_time_offset(), time);
        if (format.has_rgb()) {
          const auto shade = static_cast<std::uint16_t>(vegetation ? 20000 + rng() % 3000 : 40000 + rng() % 2000);
          las::store<std::uint16_t>(p + format.rgb_offset(), static_cast<std::uint16_t>(shade / 2));
          las::store<std::uint16_t>(p + format.rgb_offset() + 2, shade);
          las::store<std::uint16_t>(p + format.rgb_offset() + 4, static_cast<std::uint16_t>(shade / 3));
        }
      }
    }
  }
  return bytes;
}

std::string file_path(std::uint8_t format, const char* extension) {
  return "/tmp/karvik-laz-bench-" + std::to_string(getpid()) + "-f" + std::to_string(format) + extension;
}

void write_file(const std::string& path, std::uint8_t format, const std::vector<std::uint8_t>& records, bool laz) {
  auto writer = las::Writer::create(path, tile_header(format), laz).value();
  writer.write_records(writer.layout(), records).value();
  writer.close().value();
}

// The records of a format, and the same points as LAS and as LAZ files.
struct Tile {
  std::vector<std::uint8_t> records;
  std::string las;
  std::string laz;
};

const Tile& tile(std::uint8_t format) {
  static std::map<std::uint8_t, Tile> tiles;
  auto [it, added] = tiles.try_emplace(format);
  if (added) {
    it->second.records = tile_records(tile_header(format).point_format());
    it->second.las = file_path(format, ".las");
    it->second.laz = file_path(format, ".laz");
    write_file(it->second.las, format, it->second.records, false);
    write_file(it->second.laz, format, it->second.records, true);
  }
  return it->second;
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

void write_all(benchmark::State& state, bool laz) {
  const auto format = static_cast<std::uint8_t>(state.range(0));
  const Tile& t = tile(format);
  const std::string path = file_path(format, laz ? ".out.laz" : ".out.las");
  for (auto _ : state) write_file(path, format, t.records, laz);
  std::filesystem::remove(path);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
}

// The lower left of the tile, a tenth of its area: the chunks it misses are
// decoded only as far as their coordinates.
void BM_LazReadBox(benchmark::State& state) {
  const Tile& t = tile(static_cast<std::uint8_t>(state.range(0)));
  std::int32_t max_x = 0, max_y = 0;
  const std::size_t length = t.records.size() / kPoints;
  for (std::size_t i = 0; i < t.records.size(); i += length) {
    max_x = std::max(max_x, las::load<std::int32_t>(&t.records[i]));
    max_y = std::max(max_y, las::load<std::int32_t>(&t.records[i + 4]));
  }
  const auto box_x = static_cast<std::int32_t>(max_x * 0.316), box_y = static_cast<std::int32_t>(max_y * 0.316);
  const las::RecordFilter in_box = [&](std::span<const std::uint8_t> records, std::size_t len,
                                       std::span<std::uint8_t> keep) {
    for (std::size_t i = 0; i < keep.size(); ++i) {
      keep[i] = las::load<std::int32_t>(&records[i * len]) <= box_x && las::load<std::int32_t>(&records[i * len + 4]) <= box_y;
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
  state.counters["kept"] = static_cast<double>(kept.size() / length) / kPoints;
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
