#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "las/laz/laszip_vlr.hpp"
#include "pointcloud/reader.hpp"
#include "pointcloud/writer.hpp"

namespace karvik_core::pointcloud {
namespace {

namespace fs = std::filesystem;

std::string sample(const std::string& name) { return std::string(KARVIK_SAMPLES_DIR) + "/" + name; }

class PointCloudTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("karvik-pointcloud-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

TEST_F(PointCloudTest, PointsAreEveryRecordOfTheTile) {
  auto reader = PointCloudReader::open(sample("laz-rs__point-time-color.las"));
  ASSERT_TRUE(reader.has_value()) << reader.error();
  auto points = reader->points();
  ASSERT_TRUE(points.has_value()) << points.error();
  EXPECT_EQ(points->size(), 1065u);
  EXPECT_EQ(points->layout, reader->layout());
  EXPECT_EQ(points->bytes.size(), 1065u * 34);
  const las::Vector3 first = points->coordinates(0);
  EXPECT_DOUBLE_EQ(first.x, 494428.61);
  EXPECT_DOUBLE_EQ(first.y, 4877455.58);
  EXPECT_DOUBLE_EQ(first.z, 131.57);
}

TEST_F(PointCloudTest, ReadingFailuresArePointCloudIO) {
  struct Case {
    std::string path;
    std::string text;
  };
  std::ofstream(file("not-las.las")) << "PK\x03\x04 certainly not a LAS file";
  const Case cases[] = {
      {file("missing.las"), "LAS/LAZ file error: No such file or directory: " + file("missing.las")},
      {file("not-las.las"), "LAS/LAZ file error: the file signature is not 'LASF': 'PK\\x03\\x04'"},
      {sample("pdal__1.2-with-color-clipped.las"),
       "LAS/LAZ file error: the header announces 1065 points of 34 bytes, but the file holds 36176 bytes of point "
       "data"},
  };
  for (const Case& c : cases) {
    auto reader = PointCloudReader::open(c.path);
    ASSERT_FALSE(reader.has_value()) << c.path;
    EXPECT_EQ(reader.error().kind(), TileIndexError::Kind::PointCloudIO);
    EXPECT_EQ(reader.error().to_string(), c.text);
  }
}

TEST_F(PointCloudTest, ContentDecidesLasOrLaz) {
  // A LAS file named .laz reads as LAS.
  fs::copy_file(sample("laz-rs__point10.las"), file("named.laz"));
  auto las = PointCloudReader::open(file("named.laz"));
  ASSERT_TRUE(las.has_value()) << las.error();
  EXPECT_FALSE(las->header().is_compressed());
  // A LAZ file named .las is recognised as LAZ and decodes to its LAS twin's records.
  fs::copy_file(sample("laz-rs__point10.laz"), file("named.las"));
  auto laz = PointCloudReader::open(file("named.las"));
  ASSERT_TRUE(laz.has_value()) << laz.error();
  EXPECT_TRUE(laz->header().is_compressed());
  auto decoded = laz->points();
  auto plain = las->points();
  ASSERT_TRUE(decoded.has_value() && plain.has_value());
  EXPECT_EQ(decoded->size(), 1065u);
  EXPECT_EQ(decoded->bytes, plain->bytes);
}

TEST_F(PointCloudTest, LazOutputIsChosenByExtensionInAnyCase) {
  const std::pair<const char*, bool> cases[] = {
      {"out.laz", true}, {"out.LAZ", true}, {"dir.x/out.LaZ", true}, {"out.las", false},
      {"out", false},    {"out.laz.las", false}, {".laz", false},   {"out.lazy", false},
  };
  for (const auto& [path, laz] : cases) EXPECT_EQ(PointCloudWriter::is_laz_path(path), laz) << path;
}

// LAZ output drops every LASzip VLR of the tile's header and appends the one
// describing its own compression; LAS output keeps the VLR list as it is.
TEST_F(PointCloudTest, LaszipVlrsOfTheOutput) {
  auto reader = PointCloudReader::open(sample("laz-rs__extra-bytes.laz"));
  ASSERT_TRUE(reader.has_value()) << reader.error();
  auto points = reader->points();
  ASSERT_TRUE(points.has_value()) << points.error();
  std::vector<std::string> tile_vlrs;
  for (const auto& vlr : reader->header().vlrs()) tile_vlrs.push_back(vlr.user_id + "/" + std::to_string(vlr.record_id));
  ASSERT_EQ(tile_vlrs, (std::vector<std::string>{"LASF_Spec/4", "laszip encoded/22204"}));

  for (const char* name : {"out.LAZ", "out.las"}) {
    auto writer = PointCloudWriter::create(file(name), reader->header());
    ASSERT_TRUE(writer.has_value()) << writer.error();
    ASSERT_TRUE(writer->write_points(*points).has_value());
    ASSERT_TRUE(writer->close().has_value());
    auto out = PointCloudReader::open(file(name));
    ASSERT_TRUE(out.has_value()) << out.error();
    EXPECT_EQ(out->header().is_compressed(), std::string(name) == "out.LAZ");
    const auto& vlrs = out->header().vlrs();
    ASSERT_EQ(vlrs.size(), 2u) << name;
    EXPECT_EQ(vlrs[0], reader->header().vlrs()[0]) << name;
    EXPECT_TRUE(vlrs[1].is_laszip()) << name;
    if (out->header().is_compressed()) {
      auto described = las::laz::LaszipVlr::parse(vlrs[1].data);
      ASSERT_TRUE(described.has_value());
      EXPECT_EQ(*described, las::laz::LaszipVlr::for_point_format(3, 27).value());
    } else {
      EXPECT_EQ(vlrs[1], reader->header().vlrs()[1]);
    }
    auto back = out->points();
    ASSERT_TRUE(back.has_value()) << back.error();
    EXPECT_EQ(back->bytes, points->bytes) << name;
  }
}

TEST_F(PointCloudTest, OutputCountsAndBoundsDescribeTheWrittenPoints) {
  auto reader = PointCloudReader::open(sample("laz-rs__point-time.las"));
  ASSERT_TRUE(reader.has_value()) << reader.error();
  auto points = reader->points();
  ASSERT_TRUE(points.has_value()) << points.error();
  PointRecords kept{points->layout, {}};
  las::Bounds bounds;
  for (std::size_t i = 0; i < points->size(); i += 7) {
    kept.append(points->record(i));
    bounds.grow(points->coordinates(i));
  }
  auto writer = PointCloudWriter::create(file("out.las"), reader->header());
  ASSERT_TRUE(writer.has_value()) << writer.error();
  ASSERT_TRUE(writer->write_points(kept).has_value());
  ASSERT_TRUE(writer->write_points(PointRecords{points->layout, {}}).has_value());
  ASSERT_TRUE(writer->close().has_value());

  auto out = PointCloudReader::open(file("out.las"));
  ASSERT_TRUE(out.has_value()) << out.error();
  EXPECT_EQ(out->header().number_of_points(), kept.size());
  EXPECT_EQ(out->header().bounds(), bounds);
  EXPECT_NE(out->header().bounds(), reader->header().bounds());
  auto back = out->points();
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_EQ(back->bytes, kept.bytes);
}

TEST_F(PointCloudTest, WritingFailuresAreOutputErrors) {
  auto with_color = PointCloudReader::open(sample("laz-rs__point-time-color.las"));
  auto without_color = PointCloudReader::open(sample("laz-rs__point-time.las"));
  ASSERT_TRUE(with_color.has_value() && without_color.has_value());
  auto points = with_color->points();
  ASSERT_TRUE(points.has_value()) << points.error();
  auto writer = PointCloudWriter::create(file("out.las"), without_color->header());
  ASSERT_TRUE(writer.has_value()) << writer.error();
  auto written = writer->write_points(*points);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind(), TileIndexError::Kind::OutputError);
  EXPECT_EQ(written.error().to_string(),
            "Output file error: the attributes of the point format (format 1 [gps time, 0 extra bytes]) do not match "
            "the point: (494428.61, 4877455.58, 131.57) [gps time, rgb, 0 extra bytes]");

  auto unwritable = PointCloudWriter::create(file("no-such-dir/out.las"), without_color->header());
  ASSERT_FALSE(unwritable.has_value());
  EXPECT_EQ(unwritable.error().to_string(),
            "Output file error: No such file or directory: " + file("no-such-dir/out.las"));
}

}  // namespace
}  // namespace karvik_core::pointcloud
