// Real files written by other programs: every one reads as its origin
// describes it, and rewriting it keeps its records and header.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "las/bytes.hpp"
#include "las/header_codec.hpp"
#include "las/reader.hpp"
#include "las/test_files.hpp"
#include "las/writer.hpp"

namespace las {
namespace {

using testing::Bytes;

struct Sample {
  const char* name;
  Version version;
  std::uint8_t format;
  std::uint16_t record_length;
  std::uint64_t points;
  std::size_t vlrs;
  std::size_t evlrs;
  std::size_t header_padding;
  std::size_t vlr_padding;
  Vector3 first;
};

std::ostream& operator<<(std::ostream& out, const Sample& sample) { return out << sample.name; }

const Sample kSamples[] = {
    {"las-rs__long-header.las", {1, 2}, 0, 20, 1, 2, 0, 2, 0, {470692.44, 4602888.9, 16.0}},
    {"lasR__Megaplot.las", {1, 2}, 1, 28, 81590, 1, 0, 0, 0, {684992.16, 5018006.92, 17.3}},
    {"laspy__1_4_w_evlr.las", {1, 4}, 6, 30, 1000, 2, 1, 0, 0, {1694510.3869346841, 1816497.966263977, 5598.3596128149675}},
    {"laspy__simple1_1.las", {1, 1}, 1, 28, 1065, 0, 0, 0, 0, {637012.24, 849028.31, 431.66}},
    {"laspy__simple1_3.las", {1, 3}, 4, 57, 999, 5, 0, 0, 2, {-234935.841, 5800843.145, 265.094}},
    {"laspy__unregistered_extra_bytes.las", {1, 4}, 6, 34, 4, 0, 0, 0, 0, {1.0, 1.0, 1.0}},
    {"laspy__vegetation_1_3.las", {1, 3}, 1, 28, 10683, 0, 0, 0, 0, {-98449.688, -55970.553, -81458.594}},
    {"laszip__5points_14.las", {1, 4}, 6, 33, 5, 3, 0, 0, 0, {630499.95, 4834749.17, 62.15}},
    {"laz-perf__no-points-1.3.las", {1, 3}, 0, 20, 0, 0, 0, 0, 0, {}},
    {"laz-perf__point-time.las", {1, 2}, 1, 28, 1065, 4, 0, 0, 0, {494428.61, 4877455.58, 131.57}},
    {"laz-perf__point10-1.0.las", {1, 0}, 0, 20, 1, 0, 0, 0, 0, {1.0, 2.0, 3.0}},
    {"laz-perf__rand1_6.las", {1, 4}, 6, 30, 50000, 0, 0, 0, 0, {1351727964.0, 581869302.0, 1742863086.0}},
    {"laz-rs__extra-bytes.las", {1, 2}, 3, 61, 1065, 1, 0, 0, 0, {637012.24, 849028.31, 431.66}},
    {"laz-rs__point-color.las", {1, 2}, 2, 26, 1065, 0, 0, 0, 0, {494428.61, 4877455.58, 131.57}},
    {"laz-rs__point-time-color.las", {1, 2}, 3, 34, 1065, 0, 0, 0, 0, {494428.61, 4877455.58, 131.57}},
    {"laz-rs__point-time.las", {1, 2}, 1, 28, 1065, 0, 0, 0, 0, {494428.61, 4877455.58, 131.57}},
    {"laz-rs__point-version-1-point-wise.las", {1, 0}, 0, 20, 11781, 5, 0, 0, 2, {2483574.6, 366588.9, 1481.48}},
    {"laz-rs__point10.las", {1, 2}, 0, 20, 1065, 0, 0, 0, 0, {494428.61, 4877455.58, 131.57}},
    {"pdal__autzen-bmx-2010.las", {1, 4}, 7, 36, 829, 1, 0, 0, 0, {194506.86, 259235.01, 426.54}},
    {"pdal__epsg_4326.las", {1, 2}, 0, 20, 5380, 3, 0, 0, 377, {-94.6639387, 31.0367341, 47.8700002}},
    {"pdal__gps-time-nan.las", {1, 2}, 1, 28, 1, 0, 0, 0, 0, {0.0, 0.0, 0.0}},
    {"pdal__lots_of_vlr.las", {1, 1}, 1, 28, 1, 390, 0, 0, 0, {715001.346, 839349.171, 17.275}},
    {"pdal__permutations_1.0_0.las", {1, 0}, 0, 20, 1, 3, 0, 0, 2, {470692.44, 4602888.9, 16.0}},
    {"pdal__permutations_1.0_1.las", {1, 0}, 1, 28, 1, 3, 0, 0, 2, {470692.44, 4602888.9, 16.0}},
    {"pdal__permutations_1.1_0.las", {1, 1}, 0, 20, 1, 3, 0, 0, 0, {470692.44, 4602888.9, 16.0}},
    {"pdal__permutations_1.1_1.las", {1, 1}, 1, 28, 1, 3, 0, 0, 0, {470692.44, 4602888.9, 16.0}},
    {"pdal__permutations_1.2_0.las", {1, 2}, 0, 20, 1, 3, 0, 0, 0, {470692.44, 4602888.9, 16.0}},
    {"pdal__permutations_1.2_1.las", {1, 2}, 1, 28, 1, 3, 0, 0, 0, {470692.44, 4602888.9, 16.0}},
    {"pdal__permutations_1.2_2.las", {1, 2}, 2, 26, 1, 3, 0, 0, 0, {470692.44, 4602888.9, 16.0}},
    {"pdal__permutations_1.2_3.las", {1, 2}, 3, 34, 1, 3, 0, 0, 0, {470692.44, 4602888.9, 16.0}},
    {"pdal__simple.las", {1, 2}, 3, 34, 1065, 0, 0, 0, 0, {637012.24, 849028.31, 431.66}},
    {"pdal__wontcompress3.las", {1, 4}, 6, 30, 1000, 2, 0, 0, 0, {768323.751, 2028765.291, 105.58}},
};

class SampleTest : public ::testing::TestWithParam<Sample> {};

TEST_P(SampleTest, ReadsAsDescribed) {
  const Sample& s = GetParam();
  auto reader = Reader::open(testing::sample(s.name));
  ASSERT_TRUE(reader.has_value()) << reader.error().message();
  const Header& header = reader->header();
  EXPECT_EQ(header.version(), s.version);
  EXPECT_EQ(header.point_format().id, s.format);
  EXPECT_EQ(header.point_format().record_length(), s.record_length);
  EXPECT_FALSE(header.is_compressed());
  EXPECT_EQ(header.number_of_points(), s.points);
  EXPECT_EQ(header.vlrs().size(), s.vlrs);
  EXPECT_EQ(header.evlrs().size(), s.evlrs);
  EXPECT_EQ(header.fields().header_padding.size(), s.header_padding);
  EXPECT_EQ(header.fields().vlr_padding.size(), s.vlr_padding);

  const Bytes records = testing::read_all(testing::sample(s.name));
  ASSERT_EQ(records.size(), s.points * s.record_length);
  if (s.points == 0) return;
  const Vector3 first = reader->layout().coordinates(records.data());
  EXPECT_DOUBLE_EQ(first.x, s.first.x);
  EXPECT_DOUBLE_EQ(first.y, s.first.y);
  EXPECT_DOUBLE_EQ(first.z, s.first.z);
}

// The header fields that a writer derives from the points it wrote.
bool is_recomputed(std::size_t offset) {
  return (offset >= 107 && offset < 131) ||  // legacy counts
         (offset >= 179 && offset < 227) ||  // bounds
         (offset >= 247 && offset < 375);    // 64-bit counts
}

TEST_P(SampleTest, RewritingKeepsRecordsAndHeader) {
  const Sample& s = GetParam();
  testing::TempDir dir;
  const std::string out_path = dir.file("out.las");
  auto reader = Reader::open(testing::sample(s.name));
  ASSERT_TRUE(reader.has_value()) << reader.error().message();
  auto writer = Writer::create(out_path, reader->header(), false);
  ASSERT_TRUE(writer.has_value()) << writer.error().message();
  Bytes records;
  while (true) {
    records.clear();
    auto read = reader->read_batch(records);
    ASSERT_TRUE(read.has_value()) << read.error().message();
    if (*read == 0) break;
    ASSERT_TRUE(writer->write_records(reader->layout(), records).has_value());
  }
  ASSERT_TRUE(writer->close().has_value());

  const Bytes in = testing::read_bytes(testing::sample(s.name));
  const Bytes out = testing::read_bytes(out_path);
  const std::size_t point_data = load<std::uint32_t>(&in[96]);
  const std::size_t points_end = point_data + s.points * s.record_length;
  ASSERT_GE(out.size(), points_end);
  for (std::size_t i = 0; i < points_end; ++i) {
    if (i < s.version.header_size() && is_recomputed(i)) continue;
    ASSERT_EQ(in[i], out[i]) << "first difference at byte " << i;
  }
  if (s.evlrs > 0) {
    const std::size_t evlr_start = load<std::uint64_t>(&in[235]);
    EXPECT_EQ(Bytes(out.begin() + points_end, out.end()), Bytes(in.begin() + evlr_start, in.end()));
  } else {
    EXPECT_EQ(out.size(), points_end);
  }

  auto rewritten = Reader::open(out_path);
  ASSERT_TRUE(rewritten.has_value()) << rewritten.error().message();
  EXPECT_EQ(rewritten->header().number_of_points(), s.points);
  const Bytes back = testing::read_all(out_path);
  Bounds bounds;
  for (std::size_t i = 0; i < s.points; ++i) bounds.grow(rewritten->layout().coordinates(&back[i * s.record_length]));
  EXPECT_EQ(rewritten->header().bounds(), bounds);
}

INSTANTIATE_TEST_SUITE_P(Las, SampleTest, ::testing::ValuesIn(kSamples));

// Two files from different writers that hold the same points.
TEST(Samples, SamePointsFromTwoWritersReadTheSame) {
  EXPECT_EQ(testing::read_all(testing::sample("laz-rs__point-time.las")),
            testing::read_all(testing::sample("laz-perf__point-time.las")));
}

TEST(Samples, BrokenFilesAreRefused) {
  struct Case {
    const char* name;
    const char* message;
  };
  const Case cases[] = {
      {"pdal__1.2-with-color-clipped.las",
       "the header announces 1065 points of 34 bytes, but the file holds 36176 bytes of point data"},
      {"pdal__garbage_nVariableLength.las", "VLR 1 of 1069128089 runs past the start of the point data at byte 227"},
  };
  for (const Case& c : cases) {
    auto reader = Reader::open(testing::sample(c.name));
    ASSERT_FALSE(reader.has_value()) << c.name;
    EXPECT_EQ(reader.error().message(), c.message);
  }
}

}  // namespace
}  // namespace las
