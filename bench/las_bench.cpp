// Reading and filtering one generated LAS tile of 10 million points (format 1,
// 280 MB, in the page cache), beside a plain sequential read of the same bytes:
// the limit any reader meets. The ratios to that read are the figures: the
// reader alone, with the box test of every point, and with the copy of the
// kept tenth of the records into a list of their own. Run: build/bench/las_bench
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "geometry/box.hpp"
#include "las/bytes.hpp"
#include "las/writer.hpp"
#include "pointcloud/reader.hpp"

namespace {

constexpr std::size_t kPoints = 10'000'000;
constexpr std::size_t kRounds = 5;

using Clock = std::chrono::steady_clock;

// Points on a 1000 m square; the box below holds a tenth of them.
void generate(const std::string& path) {
  las::HeaderBuilder builder;
  builder.point_format = {1, 0};
  builder.transforms = {{0.001, 100000}, {0.001, 400000}, {0.001, 0}};
  auto writer = las::Writer::create(path, *builder.build(), false);
  if (!writer) {
    std::fprintf(stderr, "%s\n", writer.error().message().c_str());
    std::exit(1);
  }
  const las::RecordLayout layout = writer->layout();
  std::vector<std::uint8_t> records(1'000'000 * layout.record_length());
  std::uint32_t state = 12345;
  for (std::size_t done = 0; done < kPoints; done += 1'000'000) {
    for (std::size_t i = 0; i < 1'000'000; ++i) {
      std::uint8_t* r = &records[i * layout.record_length()];
      for (int axis = 0; axis < 3; ++axis) {
        state = state * 1664525u + 1013904223u;
        las::store<std::int32_t>(r + 4 * axis, static_cast<std::int32_t>(state % (axis == 2 ? 100'000u : 1'000'000u)));
      }
      r[14] = 0x09;
    }
    if (!writer->write_records(layout, records)) std::exit(1);
  }
  if (!writer->close()) std::exit(1);
}

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

// Batches of records; each point tested against the box, the kept ones copied, as far as `work` says.
std::size_t read_tile(const std::string& path, const karvik_core::geometry::AxisAlignedBox& box, Work work) {
  auto reader = karvik_core::pointcloud::PointCloudReader::open(path);
  if (!reader) std::exit(1);
  const las::RecordLayout layout = reader->layout();
  const std::size_t length = layout.record_length();
  karvik_core::pointcloud::PointRecords kept{layout, {}};
  std::vector<std::uint8_t> batch;
  std::size_t points = 0;
  std::size_t inside = 0;
  for (;;) {
    batch.clear();
    const auto read = reader->read_batch(batch);
    if (!read) std::exit(1);
    if (*read == 0) break;
    points += *read;
    if (work == Work::kRead) continue;
    for (const std::uint8_t* r = batch.data(); r != batch.data() + batch.size(); r += length) {
      const las::Vector3 p = layout.coordinates(r);
      if (!box.contains_xyz(p.x, p.y, p.z)) continue;
      if (work == Work::kTestAndCopy) kept.append(r);
      ++inside;
    }
  }
  return work == Work::kRead ? points : inside;
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
  generate(path);
  const karvik_core::geometry::AxisAlignedBox box(100000, 100316, 400000, 400316);
  std::vector<double> plain, batches, tested, filtered;
  std::size_t read = 0, inside = 0, kept = 0;
  // Interleaved rounds, so that all three see the same state of the machine; the best of each counts.
  for (std::size_t round = 0; round < kRounds; ++round) {
    plain.push_back(seconds([&] { sequential_read(path); }));
    batches.push_back(seconds([&] { read = read_tile(path, box, Work::kRead); }));
    tested.push_back(seconds([&] { inside = read_tile(path, box, Work::kTest); }));
    filtered.push_back(seconds([&] { kept = read_tile(path, box, Work::kTestAndCopy); }));
  }
  std::filesystem::remove(path);
  const double limit = *std::min_element(plain.begin(), plain.end());
  std::printf("tile: %zu points of 28 bytes; %zu read, %zu inside the box, %zu kept\n", kPoints, read, inside, kept);
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
