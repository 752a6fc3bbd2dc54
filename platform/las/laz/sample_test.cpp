#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "las/laz/chunk_codec.hpp"
#include "las/laz/chunk_table.hpp"
#include "las/laz/laszip_vlr.hpp"

namespace las::laz {
namespace {

std::vector<std::uint8_t> read_file(const std::string& name) {
  std::ifstream in(std::string(KARVIK_SAMPLES_DIR) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename T>
T at(const std::vector<std::uint8_t>& b, std::size_t offset) {
  T v;
  std::memcpy(&v, b.data() + offset, sizeof v);
  return v;
}

struct MiniHeader {
  std::uint32_t point_data;
  std::uint64_t points;
  std::uint8_t format;
  std::uint16_t record_length;
  std::vector<std::uint8_t> laszip;
};

MiniHeader parse(const std::vector<std::uint8_t>& b) {
  MiniHeader h{at<std::uint32_t>(b, 96),
               at<std::uint32_t>(b, 107),
               static_cast<std::uint8_t>(b[104] & 0x3F),
               at<std::uint16_t>(b, 105),
               {}};
  std::size_t p = at<std::uint16_t>(b, 94);
  for (std::uint32_t i = 0; i < at<std::uint32_t>(b, 100); ++i) {
    const auto length = at<std::uint16_t>(b, p + 20);
    if (at<std::uint16_t>(b, p + 18) == 22204) h.laszip.assign(b.begin() + p + 54, b.begin() + p + 54 + length);
    p += 54 + length;
  }
  return h;
}

ReadAt reader_of(const std::vector<std::uint8_t>& b) {
  return [&b](std::uint64_t offset, std::span<std::uint8_t> out) -> std::expected<void, Error> {
    if (offset > b.size() || b.size() - offset < out.size()) return std::unexpected(Error("outside"));
    std::memcpy(out.data(), b.data() + offset, out.size());
    return {};
  };
}

struct Pair {
  const char* laz;
  const char* las;
};

TEST(LazSamples, DecodeToTheRecordsOfTheirLasTwin) {
  const Pair pairs[] = {
      {"laz-rs__point10.laz", "laz-rs__point10.las"},
      {"laz-rs__point-time.laz", "laz-rs__point-time.las"},
      {"laz-rs__point-color.laz", "laz-rs__point-color.las"},
      {"laz-rs__point-time-color.laz", "laz-rs__point-time-color.las"},
      {"laz-rs__extra-bytes.laz", "laz-rs__extra-bytes.las"},
      {"laz-rs__point-version-1-point-wise.laz", "laz-rs__point-version-1-point-wise.las"},
      {"laz-perf__point10-1.0.laz", "laz-perf__point10-1.0.las"},
      {"laz-perf__no-points-1.3.laz", "laz-perf__no-points-1.3.las"},
      {"pdal__simple.laz", "pdal__simple.las"},
      {"pdal__simple-laszip-compressor-version-1.2r0.laz", "pdal__simple.las"},
      {"lidR__Megaplot.laz", "lasR__Megaplot.las"},
  };
  for (const auto& pair : pairs) {
    const auto laz = read_file(pair.laz);
    const auto las = read_file(pair.las);
    const auto h = parse(laz);
    const auto twin = parse(las);
    auto vlr = LaszipVlr::parse(h.laszip);
    ASSERT_TRUE(vlr) << pair.laz << ": " << vlr.error().message();
    ASSERT_TRUE(vlr->check_point_format(h.format, h.record_length)) << pair.laz;
    auto layout = locate_chunks(reader_of(laz), h.point_data, laz.size(), *vlr, h.points, h.record_length);
    ASSERT_TRUE(layout) << pair.laz << ": " << layout.error().message();
    auto decoder = ChunkDecoder::create(*vlr);
    ASSERT_TRUE(decoder);
    std::vector<std::uint8_t> records;
    for (const auto& chunk : layout->chunks) {
      auto used = decoder->decode(std::span(laz).subspan(chunk.offset, chunk.byte_count), chunk.point_count, records);
      ASSERT_TRUE(used) << pair.laz << ": " << used.error().message();
    }
    const std::vector<std::uint8_t> expected(las.begin() + twin.point_data,
                                             las.begin() + twin.point_data + twin.points * twin.record_length);
    ASSERT_EQ(records.size(), expected.size()) << pair.laz;
    EXPECT_TRUE(records == expected) << pair.laz;
  }
}


// Re-encoding the decoded points with the file's own items and chunk size
// gives back its compressed chunks and chunk table byte for byte.
TEST(LazSamples, ReencodeByteForByte) {
  const char* files[] = {
      "laz-rs__point10.laz",
      "laz-rs__point-time.laz",
      "laz-rs__point-color.laz",
      "laz-rs__point-time-color.laz",
      "laz-rs__extra-bytes.laz",
      "laz-perf__point10-1.0.laz",
      "laz-perf__no-points-1.3.laz",
      "laz-perf__point-time-1.4.las.laz",
      "pdal__simple.laz",
      "pdal__faceraster_numerical_imprecision.laz",
      "lidR__Megaplot.laz",
      "lidR__dbh.laz",
      "lastools__france.laz",
      "entwine-ellipsoid-single-laz/ellipsoid.laz",
      "entwine-ellipsoid-multi-laz/ned.laz",
      "entwine-ellipsoid-multi-laz/swu.laz",
  };
  for (const char* name : files) {
    const auto laz = read_file(name);
    const auto h = parse(laz);
    auto vlr = LaszipVlr::parse(h.laszip);
    ASSERT_TRUE(vlr) << name;
    auto layout = locate_chunks(reader_of(laz), h.point_data, laz.size(), *vlr, h.points, h.record_length);
    ASSERT_TRUE(layout) << name << ": " << layout.error().message();
    auto decoder = ChunkDecoder::create(*vlr);
    auto encoder = ChunkEncoder::create(*vlr);
    ASSERT_TRUE(decoder && encoder) << name;
    std::vector<ChunkEntry> entries;
    std::uint64_t end = h.point_data + 8;
    for (const auto& chunk : layout->chunks) {
      const auto original = std::span(laz).subspan(chunk.offset, chunk.byte_count);
      std::vector<std::uint8_t> records;
      ASSERT_TRUE(decoder->decode(original, chunk.point_count, records)) << name;
      std::vector<std::uint8_t> again;
      encoder->encode(records, again);
      ASSERT_EQ(again.size(), original.size()) << name << " chunk at " << chunk.offset;
      EXPECT_TRUE(std::equal(again.begin(), again.end(), original.begin())) << name << " chunk at " << chunk.offset;
      entries.push_back({chunk.point_count, chunk.byte_count});
      end = chunk.offset + chunk.byte_count;
    }
    std::vector<std::uint8_t> table;
    encode_chunk_table(entries, vlr->variable_chunks(), table);
    ASSERT_LE(end + table.size(), laz.size()) << name;
    EXPECT_EQ(at<std::uint64_t>(laz, h.point_data), end) << name;
    EXPECT_TRUE(std::equal(table.begin(), table.end(), laz.begin() + static_cast<std::ptrdiff_t>(end))) << name;
  }
}

}  // namespace
}  // namespace las::laz
