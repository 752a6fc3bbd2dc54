// Reading and filtering one generated LAS tile of 10 million points (format 1,
// 280 MB, in the page cache), beside a plain sequential read of the same bytes:
// the limit any reader meets. The ratios to that read are the figures: the
// reader alone, with the box test of every point, and with the copy of the
// kept tenth of the records out of each batch (into a buffer reused from
// batch to batch, as the pipeline does). Run: build/bench/las_bench
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "geometry/box.hpp"
#include "pointcloud/reader.hpp"
#include "tile_generator.hpp"

namespace {

constexpr std::size_t kPoints = 10'000'000;
constexpr std::size_t kRounds = 5;

using Clock = std::chrono::steady_clock;

// The bytes of the file through read(2) in 1 MiB pieces, nothing else.
std::size_t sequential_read(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  std::vector<char> buffer(1 << 20);
  std::size_t total = 0;
  for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) total += static_cast<std::size_t>(n);
  ::close(fd);
  return total;
}

enum class Work { kRead, kTest, kTestAndCopy };

struct Counts {
  std::size_t read = 0;
  std::size_t inside = 0;
  std::size_t copied = 0;
};

// Batches of records; each point tested against the box, the kept ones copied, as far as `work` says.
Counts read_tile(const std::string& path, const karvik_core::geometry::AxisAlignedBox& box, Work work) {
  auto reader = karvik_core::pointcloud::PointCloudReader::open(path);
  if (!reader) std::exit(1);
  const las::RecordLayout layout = reader->layout();
  const std::size_t length = layout.record_length();
  karvik_core::pointcloud::PointRecords kept{layout, {}};
  std::vector<std::uint8_t> batch;
  Counts counts;
  for (;;) {
    batch.clear();
    const auto read = reader->read_batch(batch);
    if (!read) std::exit(1);
    if (*read == 0) break;
    counts.read += *read;
    if (work == Work::kRead) continue;
    kept.bytes.clear();
    for (const std::uint8_t* r = batch.data(); r != batch.data() + batch.size(); r += length) {
      const las::Vector3 p = layout.coordinates(r);
      if (!box.contains_xyz(p.x, p.y, p.z)) continue;
      ++counts.inside;
      if (work == Work::kTestAndCopy) kept.append(r);
    }
    counts.copied += kept.size();
  }
  return counts;
}

template <typename F>
double seconds(F&& run) {
  const auto start = Clock::now();
  run();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("karvik-las-bench-" + std::to_string(getpid()) + ".las")).string();
  // A 1000 m square tile; the box below holds a tenth of it.
  if (auto generated = bench::generate_tile(path, {.points = kPoints}); !generated) {
    std::fprintf(stderr, "%s\n", generated.error().message().c_str());
    return 1;
  }
  const karvik_core::geometry::AxisAlignedBox box(100000, 100316, 400000, 400316);
  std::vector<double> plain, batches, tested, filtered;
  Counts read, tested_counts, kept;
  // Interleaved rounds, so that all three see the same state of the machine; the best of each counts.
  for (std::size_t round = 0; round < kRounds; ++round) {
    plain.push_back(seconds([&] { sequential_read(path); }));
    batches.push_back(seconds([&] { read = read_tile(path, box, Work::kRead); }));
    tested.push_back(seconds([&] { tested_counts = read_tile(path, box, Work::kTest); }));
    filtered.push_back(seconds([&] { kept = read_tile(path, box, Work::kTestAndCopy); }));
  }
  std::filesystem::remove(path);
  const double limit = *std::min_element(plain.begin(), plain.end());
  std::printf("tile: %zu points of 28 bytes; %zu read, %zu inside the box, %zu copied\n", kPoints, read.read,
              tested_counts.inside, kept.copied);
  std::printf("%-34s %8s %10s %8s\n", "", "Mpts/s", "seconds", "ratio");
  const auto line = [&](const char* what, const std::vector<double>& times) {
    const double best = *std::min_element(times.begin(), times.end());
    std::printf("%-34s %8.1f %10.4f %8.2f\n", what, kPoints / best / 1e6, best, best / limit);
  };
  line("sequential read(2) of the bytes", plain);
  line("reader: batches of records", batches);
  line("reader + box test", tested);
  line("reader + box test + kept copied", filtered);
}
