// LAZ decoding and encoding of a generated airborne tile of 5 million points
// (formats 1 and 3, and the layered formats 6 and 7, from the shared tile
// generator), one thread, beside reading and writing the same points as plain
// LAS: the LAS figures are the baseline the LAZ ones compare with.
// BM_LazReadBox reads the LAZ tile through a box that keeps a tenth of it,
// against BM_LazRead of the whole tile.
//
// Run: build/bench/laz_bench
//
// The codec against the reference LASzip, per core: build/bench/laz_bench
// --codec [--reference=PROGRAM] [--repeat=N] (or KARVIK_LASZIP_REFERENCE=PROGRAM)
// decodes and encodes 5 M-point tiles of formats 1, 3, 6, 7 and 8, one
// thread, and prints M points/s, best of N runs taken in turns with the
// reference's. PROGRAM is a timing program built outside the repository
// against the LASzip library: `PROGRAM decode TILE.laz` and `PROGRAM encode
// TILE.las OUT.laz` print "<points> <seconds>" of decoding the whole LAZ
// tile, and of encoding the LAS tile's points (held in memory) as LAZ; the
// bench then prints our speed over the reference's.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// --codec: our decoding and encoding of the whole tile against the reference's.

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double our_decode_seconds(const Tile& t) {
  const auto start = std::chrono::steady_clock::now();
  auto reader = las::Reader::open(t.laz).value();
  std::vector<std::uint8_t> batch;
  std::size_t points = 0;
  for (std::size_t n; (n = reader.read_batch(batch).value()) != 0; batch.clear()) points += n;
  const double s = seconds_since(start);
  if (points != kPoints) std::exit(1);
  return s;
}

double our_encode_seconds(const Tile& t, const std::string& out) {
  const auto start = std::chrono::steady_clock::now();
  auto writer = las::Writer::create(out, t.header, true).value();
  writer.write_records(writer.layout(), t.records).value();
  writer.close().value();
  return seconds_since(start);
}

// The seconds the reference program reports for `arguments`; < 0 when it fails.
double reference_seconds(const std::string& program, const std::string& arguments) {
  const std::string command = "'" + program + "' " + arguments;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  unsigned long long points = 0;
  double seconds = -1;
  if (std::fscanf(pipe, "%llu %lf", &points, &seconds) != 2 || points != kPoints) seconds = -1;
  if (pclose(pipe) != 0) seconds = -1;
  return seconds;
}

int compare_codec(const std::string& reference, int repeat) {
  const bool with_reference = !reference.empty();
  std::printf("codec, one thread, %zu points a tile, best of %d (M points/s)\n", kPoints, repeat);
  std::printf("%-6s %10s %10s %7s %10s %10s %7s\n", "format", "decode", "ref", "ratio", "encode", "ref", "ratio");
  for (std::uint8_t format : {1, 3, 6, 7, 8}) {
    const Tile& t = tile(format);
    const std::string out = file_path(format, ".out.laz");
    const std::string ref_out = file_path(format, ".ref.laz");
    double decode = 1e30, encode = 1e30, ref_decode = 1e30, ref_encode = 1e30;
    for (int i = 0; i < repeat; ++i) {
      decode = std::min(decode, our_decode_seconds(t));
      if (with_reference) ref_decode = std::min(ref_decode, reference_seconds(reference, "decode '" + t.laz + "'"));
      encode = std::min(encode, our_encode_seconds(t, out));
      if (with_reference) {
        ref_encode = std::min(ref_encode, reference_seconds(reference, "encode '" + t.las + "' '" + ref_out + "'"));
      }
    }
    std::filesystem::remove(out);
    std::filesystem::remove(ref_out);
    const auto rate = [](double s) { return static_cast<double>(kPoints) / s / 1e6; };
    std::printf("%-6u %10.2f", unsigned{format}, rate(decode));
    if (with_reference && ref_decode > 0) {
      std::printf(" %10.2f %6.2fx", rate(ref_decode), ref_decode / decode);
    } else {
      std::printf(" %10s %7s", "-", "-");
    }
    std::printf(" %10.2f", rate(encode));
    if (with_reference && ref_encode > 0) {
      std::printf(" %10.2f %6.2fx\n", rate(ref_encode), ref_encode / encode);
    } else {
      std::printf(" %10s %7s\n", "-", "-");
    }
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The codec per core: a LAZ writer would otherwise encode on every thread of the pool.
  setenv("KARVIK_NUM_THREADS", "1", 1);
  bool codec = false;
  std::string reference;
  if (const char* env = std::getenv("KARVIK_LASZIP_REFERENCE")) reference = env;
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--codec") codec = true;
    if (arg.starts_with("--reference=")) reference = arg.substr(std::strlen("--reference="));
    if (arg.starts_with("--repeat=")) repeat = std::max(1, std::atoi(arg.c_str() + std::strlen("--repeat=")));
  }
  if (codec) {
    compare_codec(reference, repeat);
  } else {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
  for (std::uint8_t format : {1, 3, 6, 7, 8}) {
    std::filesystem::remove(file_path(format, ".las"));
    std::filesystem::remove(file_path(format, ".laz"));
  }
  return 0;
}
