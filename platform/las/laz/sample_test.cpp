#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "las/bytes.hpp"
#include "las/header_codec.hpp"
#include "las/io/file.hpp"
#include "las/laz/chunk_codec.hpp"
#include "las/laz/chunk_table.hpp"
#include "las/laz/laszip_vlr.hpp"
#include "las/laz/laz_test_files.hpp"
#include "las/laz/lazperf_decoder.hpp"
#include "las/test_files.hpp"

namespace las::laz {
namespace {

using testing::Bytes;
using testing::sample;
using testing::LazSample;
using testing::open_sample;

// Through the reader, the LAZ file of each pair gives exactly the records of its LAS twin.
TEST(LazSamples, DecodeToTheRecordsOfTheirLasTwin) {
  const std::pair<const char*, const char*> pairs[] = {
      {"laz-rs__point10.laz", "laz-rs__point10.las"},
      {"laz-rs__point-time.laz", "laz-rs__point-time.las"},
      {"laz-rs__point-color.laz", "laz-rs__point-color.las"},
      {"laz-rs__point-time-color.laz", "laz-rs__point-time-color.las"},
      {"laz-rs__extra-bytes.laz", "laz-rs__extra-bytes.las"},
      {"laz-rs__point-version-1-point-wise.laz", "laz-rs__point-version-1-point-wise.las"},
      {"laz-perf__point10-1.0.laz", "laz-perf__point10-1.0.las"},
      {"laz-perf__no-points-1.3.laz", "laz-perf__no-points-1.3.las"},
      {"laz-perf__point-time-1.4.las.laz", "laz-perf__point-time.las"},
      {"pdal__simple.laz", "pdal__simple.las"},
      {"pdal__simple-laszip-compressor-version-1.2r0.laz", "pdal__simple.las"},
      {"lidR__Megaplot.laz", "lasR__Megaplot.las"},
  };
  for (const auto& [laz, las] : pairs) {
    const Bytes decoded = testing::read_all(sample(laz));
    const Bytes expected = testing::read_all(sample(las));
    ASSERT_EQ(decoded.size(), expected.size()) << laz;
    EXPECT_TRUE(decoded == expected) << laz;
  }
}

// The LAZ samples without a LAS twin decode to what laz-perf decodes.
TEST(LazSamples, DecodeAsLazPerfDoes) {
  const char* files[] = {
      "pdal__faceraster_numerical_imprecision.laz",
      "lidR__dbh.laz",
      "lastools__france.laz",
      "entwine-ellipsoid-single-laz/ellipsoid.laz",
      "entwine-ellipsoid-multi-laz/ned.laz",
      "entwine-ellipsoid-multi-laz/neu.laz",
      "entwine-ellipsoid-multi-laz/nwd.laz",
      "entwine-ellipsoid-multi-laz/nwu.laz",
      "entwine-ellipsoid-multi-laz/sed.laz",
      "entwine-ellipsoid-multi-laz/seu.laz",
      "entwine-ellipsoid-multi-laz/swd.laz",
      "entwine-ellipsoid-multi-laz/swu.laz",
  };
  testing::TempDir dir;
  for (const char* name : files) {
    const Bytes ours = testing::read_all(sample(name));
    EXPECT_FALSE(ours.empty()) << name;
    EXPECT_TRUE(ours == testing::lazperf_decode(sample(name), dir.file("lazperf.bin"))) << name;
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
    const LazSample s = open_sample(name);
    auto decoder = ChunkDecoder::create(s.vlr);
    auto encoder = ChunkEncoder::create(s.vlr);
    ASSERT_TRUE(decoder && encoder) << name;
    std::vector<ChunkEntry> entries;
    std::uint64_t end = s.header.point_data_offset + 8;
    for (const auto& chunk : s.layout.chunks) {
      const auto original = std::span(s.bytes).subspan(chunk.offset, chunk.byte_count);
      Bytes records;
      ASSERT_TRUE(decoder->decode(original, chunk.point_count, records)) << name;
      Bytes again;
      encoder->encode(records, again);
      ASSERT_EQ(again.size(), original.size()) << name << " chunk at " << chunk.offset;
      EXPECT_TRUE(std::equal(again.begin(), again.end(), original.begin())) << name << " chunk at " << chunk.offset;
      entries.push_back({chunk.point_count, chunk.byte_count});
      end = chunk.offset + chunk.byte_count;
    }
    Bytes table;
    encode_chunk_table(entries, s.vlr.variable_chunks(), table);
    ASSERT_LE(end + table.size(), s.bytes.size()) << name;
    EXPECT_EQ(load<std::uint64_t>(s.bytes.data() + s.header.point_data_offset), end) << name;
    EXPECT_TRUE(std::equal(table.begin(), table.end(), s.bytes.begin() + static_cast<std::ptrdiff_t>(end))) << name;
  }
}

// The VLR reads back as it was stored.
TEST(LazSamples, LaszipVlrRoundTrips) {
  for (const char* name : {"laz-rs__extra-bytes.laz", "pdal__simple-laszip-compressor-version-1.2r0.laz",
                           "pdal__1.2-with-color.copc.laz", "laspy__fullwave.laz"}) {
    const auto file = io::InputFile::open(sample(name));
    ASSERT_TRUE(file.has_value());
    const auto header = read_header(*file);
    ASSERT_TRUE(header.has_value()) << name;
    for (const auto& vlr : header->header.vlrs()) {
      if (!vlr.is_laszip()) continue;
      auto parsed = LaszipVlr::parse(vlr.data);
      ASSERT_TRUE(parsed.has_value()) << name << ": " << parsed.error().message();
      EXPECT_EQ(parsed->serialize(), vlr.data) << name;
    }
  }
}

}  // namespace
}  // namespace las::laz
