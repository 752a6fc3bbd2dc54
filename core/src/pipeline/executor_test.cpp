#include "pipeline/executor.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <functional>
#include <thread>
#include <fstream>
#include <mutex>
#include <stop_token>

#include "geometry/box.hpp"
#include "geometry/cylinder.hpp"
#include "geometry/frustum.hpp"
#include "index/builder.hpp"
#include "index/geopackage.hpp"
#include "index/reader.hpp"
#include "las/bytes.hpp"
#include "las/copc.hpp"
#include "las/header_codec.hpp"
#include "las/io/fault.hpp"
#include "las/reader.hpp"
#include "testing/gpkg_fixture.hpp"
#include "testing/las_fixture.hpp"

namespace karvik_core::pipeline {
namespace {

using geometry::AxisAlignedBox;
using geometry::Rect;
using namespace karvik_core::testing;

struct Captured {
  logging::Level level;
  std::string target, message, file;
};

// Captures every record the pipeline emits.
class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logging::set_max_level(logging::Level::Trace);
    logging::set_sink([this](const logging::Record& r) {
      std::lock_guard lock(mutex_);
      records_.push_back({r.level, std::string(r.target), std::string(r.message), r.file});
    });
  }
  void TearDown() override {
    logging::set_sink({});
    logging::set_max_level(logging::Level::Off);
  }
  std::vector<std::string> messages(logging::Level level) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : records_) {
      if (r.level == level) out.push_back(r.message);
    }
    return out;
  }
  std::vector<Captured> records() {
    std::lock_guard lock(mutex_);
    return records_;
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  // Files in the folder other than the index and the tiles the test wrote.
  std::vector<std::string> stray_files(const std::vector<std::string>& expected) const {
    std::vector<std::string> stray;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      if (std::find(expected.begin(), expected.end(), name) == expected.end()) stray.push_back(name);
    }
    return stray;
  }

  template <typename G>
  std::expected<ExtractionStats, TileIndexError> run(const G& geometry, const std::string& output = "out.las",
                                                     bool verbose = false) {
    return ExtractionPipeline(path("index.gpkg"), path(output), verbose).execute(geometry);
  }

  TempDir dir_;

 private:
  std::mutex mutex_;
  std::vector<Captured> records_;
};

// Records of `all` (record length `length`) whose point lies inside the box, in order.
std::vector<std::uint8_t> inside(const std::vector<std::uint8_t>& all, const std::vector<TilePoint>& points,
                                 std::size_t length, double x0, double x1, double y0, double y1) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (points[i].x >= x0 && points[i].x <= x1 && points[i].y >= y0 && points[i].y <= y1) {
      out.insert(out.end(), all.begin() + i * length, all.begin() + (i + 1) * length);
    }
  }
  return out;
}

TEST_F(PipelineTest, KeepsThePointsInsideInTileOrderBehindTheFirstTilesHeader) {
  const auto pa = grid(0, 0, 10, 1);   // x, y in 0..9
  const auto pb = grid(10, 0, 10, 1);  // x in 10..19
  const auto ra = write_tile(path("a.las"), pa, {.file_source_id = 11});
  const auto rb = write_tile(path("b.las"), pb, {.file_source_id = 22});
  write_tile(path("far.las"), grid(100, 100, 3, 1));
  // b comes first in the index: its header is the output's.
  write_index(path("index.gpkg"), {{path("b.las"), {10, 0, 19, 9}},
                                   {path("far.las"), {100, 100, 102, 102}},
                                   {path("a.las"), {0, 0, 9, 9}}});
  const AxisAlignedBox box(7, 12, 2, 4);
  auto stats = run(box);
  ASSERT_TRUE(stats) << stats.error().to_string();
  EXPECT_EQ(stats->tiles_processed, 2u);
  EXPECT_EQ(stats->points_read, 200u);
  const std::size_t length = 28;
  auto expected = inside(rb, pb, length, 7, 12, 2, 4);
  const auto from_a = inside(ra, pa, length, 7, 12, 2, 4);
  expected.insert(expected.end(), from_a.begin(), from_a.end());
  EXPECT_EQ(stats->points_written, expected.size() / length);
  EXPECT_GT(stats->elapsed_time.count(), 0);

  const ReadBack out = read_back(path("out.las"));
  EXPECT_EQ(out.records, expected);
  EXPECT_EQ(out.header.fields().file_source_id, 22);
  EXPECT_EQ(out.header.number_of_points(), expected.size() / length);
  EXPECT_EQ(out.header.bounds().min.x, 7);
  EXPECT_EQ(out.header.bounds().max.x, 12);
  EXPECT_EQ(out.header.fields().number_of_points_by_return[0], expected.size() / length);
  EXPECT_TRUE(stray_files({"a.las", "b.las", "far.las", "index.gpkg", "out.las"}).empty());
  EXPECT_TRUE(messages(logging::Level::Info).empty());  // not verbose
  EXPECT_TRUE(messages(logging::Level::Warn).empty());
}

TEST_F(PipelineTest, AllThreeGeometries) {
  const auto points = grid(0, 0, 21, 1, 0);  // z = x
  const auto records = write_tile(path("t.las"), points);
  write_index(path("index.gpkg"), {{path("t.las"), {0, 0, 20, 20}}});
  auto frustum = geometry::Frustum::create(0, 0, 0, 0, -90, 90, 90, 0, 10);
  ASSERT_TRUE(frustum);
  struct Case {
    std::function<bool(const TilePoint&)> inside;
    std::expected<ExtractionStats, TileIndexError> stats;
  };
  Case cases[] = {
      {[](const TilePoint& p) { return p.x >= 2 && p.x <= 4 && p.y >= 3 && p.y <= 5 && p.z <= 3; },
       run(AxisAlignedBox(2, 4, 3, 5, std::nullopt, 3), "box.las")},
      {[](const TilePoint& p) { return (p.x - 10) * (p.x - 10) + (p.y - 10) * (p.y - 10) <= 9; },
       run(geometry::VerticalCylinder(10, 10, 3), "cylinder.las")},
      {[](const TilePoint& p) { return p.x * p.x + p.y * p.y + p.z * p.z <= 100; },
       run(*frustum, "frustum.las")},
  };
  const char* outputs[] = {"box.las", "cylinder.las", "frustum.las"};
  for (int c = 0; c < 3; ++c) {
    ASSERT_TRUE(cases[c].stats) << cases[c].stats.error().to_string();
    std::vector<std::uint8_t> expected;
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (cases[c].inside(points[i])) expected.insert(expected.end(), &records[i * 28], &records[(i + 1) * 28]);
    }
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(read_back(path(outputs[c])).records, expected) << outputs[c];
    EXPECT_EQ(cases[c].stats->points_written, expected.size() / 28);
  }
}

// LAZ tiles, layered (format 7) and pointwise (format 3) in one run, give the
// records of the same extraction from their LAS twins, in LAS and in LAZ output.
TEST_F(PipelineTest, LazTilesAndLazOutput) {
  for (const std::uint8_t format : {3, 7}) {
    std::vector<std::pair<std::string, Rect>> las_tiles, laz_tiles;
    for (int t = 0; t < 3; ++t) {
      const auto points = grid(t * 100, 0, 260, 0.3);  // 67,600 points: two chunks
      const std::string name = "f" + std::to_string(format) + "_" + std::to_string(t);
      write_tile(path(name + ".las"), points, {.format = format});
      write_tile(path(name + ".laz"), points, {.format = format, .compressed = true});
      las_tiles.push_back({path(name + ".las"), {t * 100.0, 0, t * 100.0 + 78, 78}});
      laz_tiles.push_back({path(name + ".laz"), {t * 100.0, 0, t * 100.0 + 78, 78}});
    }
    const std::string f = std::to_string(format);
    write_index(path("las" + f + ".gpkg"), las_tiles);
    write_index(path("laz" + f + ".gpkg"), laz_tiles);
    // Keeps the far corner of each tile's first chunk region and skips most chunks.
    const geometry::VerticalCylinder disc(150, 10, 70);
    auto from_las = ExtractionPipeline(path("las" + f + ".gpkg"), path("from_las.las"), false).execute(disc);
    auto from_laz = ExtractionPipeline(path("laz" + f + ".gpkg"), path("from_laz.LAZ"), false).execute(disc);
    ASSERT_TRUE(from_las) << from_las.error().to_string();
    ASSERT_TRUE(from_laz) << from_laz.error().to_string();
    EXPECT_EQ(from_laz->points_read, from_las->points_read);
    EXPECT_GT(from_las->points_written, 50'000u);
    const ReadBack las = read_back(path("from_las.las"));
    const ReadBack laz = read_back(path("from_laz.LAZ"));
    EXPECT_TRUE(laz.header.is_compressed());
    EXPECT_FALSE(las.header.is_compressed());
    EXPECT_EQ(laz.records, las.records) << int(format);
    EXPECT_EQ(laz.records.size(), from_las->points_written * (las::PointFormat{format, 0}.record_length()));
  }
}

TEST_F(PipelineTest, FrustumReadsTilesBeyondItsBoundingElevations) {
  // Elevations -30..30: the far points near the horizontal lie east of where
  // the bounding elevations reach (100 sin 40 cos 30 = 55.7).
  const auto frustum = geometry::Frustum::create(0, 0, 0, 20, -30, 40, 30, 0, 100);
  ASSERT_TRUE(frustum);
  const auto points = grid(60, 70, 10, 1, 0);
  write_tile(path("east.las"), points);
  write_index(path("index.gpkg"), {{path("east.las"), {60, 70, 69, 79}}});
  std::uint64_t expected = 0;
  for (const TilePoint& p : points) expected += frustum->contains_xyz(p.x, p.y, p.z);
  ASSERT_GT(expected, 0u);
  auto stats = run(*frustum);
  ASSERT_TRUE(stats) << stats.error().to_string();
  EXPECT_EQ(stats->points_written, expected);
}

TEST_F(PipelineTest, KeepsAGlobalEncodingBitTheFirstTilesVersionLacks) {
  // LAS 1.1 with the GPS-standard-time bit, as some writers produce.
  const TileOptions options{.compressed = true, .version = las::Version{1, 1}, .global_encoding = 1};
  const auto records = write_tile(path("old.laz"), grid(0, 0, 10, 1), options);
  write_index(path("index.gpkg"), {{path("old.laz"), {0, 0, 9, 9}}});
  for (const std::string output : {"out.las", "out.laz"}) {
    auto stats = run(AxisAlignedBox(-1, 20, -1, 20), output);
    ASSERT_TRUE(stats) << stats.error().to_string();
    const ReadBack out = read_back(path(output));
    EXPECT_EQ(out.header.version(), (las::Version{1, 1}));
    EXPECT_EQ(out.header.fields().global_encoding, 1);
    EXPECT_EQ(out.records, records);
  }
  EXPECT_EQ(messages(logging::Level::Debug),
            std::vector<std::string>(2, "The first tile's global encoding carries GpsStandardTime, which version 1.1 "
                                        "lacks; kept in the output"));
}

TEST_F(PipelineTest, NoFootprintMetOpensNoTileAndCreatesNoFile) {
  write_index(path("index.gpkg"), {{path("missing.las"), {0, 0, 1, 1}}});
  auto stats = run(AxisAlignedBox(5, 6, 5, 6));
  ASSERT_FALSE(stats);
  EXPECT_EQ(stats.error().kind(), TileIndexError::Kind::NoTilesFound);
  EXPECT_TRUE(records().empty());  // the missing tile was never opened
  EXPECT_TRUE(stray_files({"index.gpkg"}).empty());
}

TEST_F(PipelineTest, NoPointInsideWarnsAndLeavesAnExistingOutputUntouched) {
  write_tile(path("a.las"), grid(0, 0, 5, 1));
  write_index(path("index.gpkg"), {{path("a.las"), {0, 0, 10, 10}}});
  std::ofstream(path("out.las")) << "previous result";
  auto stats = run(AxisAlignedBox(7, 8, 7, 8), "out.las", true);
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->points_read, 25u);
  EXPECT_EQ(stats->points_written, 0u);
  EXPECT_EQ(messages(logging::Level::Warn), std::vector<std::string>{"No points to write!"});
  const auto info = messages(logging::Level::Info);
  ASSERT_EQ(info.size(), 5u);
  EXPECT_EQ(info[0], "Opening tile index: \"" + path("index.gpkg") + "\"");
  EXPECT_EQ(info[1], "Found 1 intersecting tiles");
  EXPECT_EQ(info[2], "Processing tile: \"" + path("a.las") + "\"");
  EXPECT_EQ(info[3], "Tile \"" + path("a.las") + "\": 25 -> 0 points");
  EXPECT_EQ(info[4], "Total: read 25 points, writing 0 points");
  for (const auto& r : records()) {
    EXPECT_EQ(r.target, "karvik_core::pipeline::executor");
    EXPECT_NE(r.file.find("pipeline/executor"), std::string::npos);
  }
  std::ifstream previous(path("out.las"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(previous), {}), "previous result");
  EXPECT_TRUE(stray_files({"a.las", "index.gpkg", "out.las"}).empty());
}

TEST_F(PipelineTest, FailingTilesAreSkippedButCounted) {
  const auto points = grid(0, 0, 4, 1);
  const auto good = write_tile(path("good.las"), points);
  // A tile whose header announces more points than its file holds.
  write_tile(path("truncated.las"), grid(0, 0, 4, 1));
  fs::resize_file(path("truncated.las"), fs::file_size(path("truncated.las")) - 10);
  write_index(path("index.gpkg"), {{path("good.las"), {0, 0, 3, 3}},
                                   {path("missing.las"), {0, 0, 3, 3}},
                                   {path("truncated.las"), {0, 0, 3, 3}},
                                   {path("good.las"), {0, 0, 3, 3}}});
  auto stats = run(AxisAlignedBox(-1, 10, -1, 10), "out.las", true);
  ASSERT_TRUE(stats) << stats.error().to_string();
  EXPECT_EQ(stats->tiles_processed, 4u);
  EXPECT_EQ(stats->points_read, 32u);  // the good tile twice, nothing of the others
  EXPECT_EQ(stats->points_written, 32u);
  std::vector<std::uint8_t> twice = good;
  twice.insert(twice.end(), good.begin(), good.end());
  EXPECT_EQ(read_back(path("out.las")).records, twice);
  auto warnings = messages(logging::Level::Warn);
  std::sort(warnings.begin(), warnings.end());  // tasks log in completion order
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_TRUE(warnings[0].starts_with("Failed to open \"" + path("missing.las") + "\": LAS/LAZ file error: "))
      << warnings[0];
  const std::string tail = "\"" + path("truncated.las") + "\": LAS/LAZ file error: ";
  EXPECT_TRUE(warnings[1].starts_with("Failed to read points from " + tail)) << warnings[1];
  EXPECT_EQ(messages(logging::Level::Info).back(), "Wrote output to: \"" + path("out.las") + "\"");
}

TEST_F(PipelineTest, EveryTileFailing) {
  write_index(path("index.gpkg"), {{path("x.las"), {0, 0, 3, 3}}, {path("y.las"), {0, 0, 3, 3}}});
  auto stats = run(AxisAlignedBox(-1, 10, -1, 10));
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->tiles_processed, 2u);
  EXPECT_EQ(stats->points_read, 0u);
  const auto warnings = messages(logging::Level::Warn);
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_EQ(warnings[2], "No points to write!");
  EXPECT_TRUE(stray_files({"index.gpkg"}).empty());
}

TEST_F(PipelineTest, UnreadableFirstTileFailsOnlyWhenThereIsAPointToWrite) {
  write_tile(path("b.las"), grid(0, 0, 4, 1));
  write_index(path("index.gpkg"), {{path("gone.las"), {0, 0, 4, 4}}, {path("b.las"), {0, 0, 4, 4}}});
  auto stats = run(AxisAlignedBox(-1, 10, -1, 10));
  ASSERT_FALSE(stats);
  EXPECT_EQ(stats.error().kind(), TileIndexError::Kind::PointCloudIO);
  EXPECT_TRUE(stray_files({"b.las", "index.gpkg"}).empty());
  // Nothing inside: the no-points path, no error.
  auto nothing = run(AxisAlignedBox(3.5, 3.7, 3.5, 3.7));
  ASSERT_TRUE(nothing) << nothing.error().to_string();
  EXPECT_EQ(nothing->points_written, 0u);
  EXPECT_EQ(nothing->points_read, 16u);
}

TEST_F(PipelineTest, WriteFailuresLeaveNoPartialFileAndTheOldOutputUntouched) {
  write_tile(path("f1.las"), grid(0, 0, 4, 1));
  write_tile(path("f2.las"), grid(0, 0, 4, 1), {.format = 2});  // colour, where the output has none
  write_index(path("index.gpkg"), {{path("f1.las"), {0, 0, 3, 3}}, {path("f2.las"), {0, 0, 3, 3}}});
  std::ofstream(path("out.las")) << "previous result";
  auto stats = run(AxisAlignedBox(-1, 10, -1, 10));
  ASSERT_FALSE(stats);
  EXPECT_EQ(stats.error().kind(), TileIndexError::Kind::OutputError);
  EXPECT_TRUE(stats.error().to_string().starts_with("Output file error: the attributes of the point format"))
      << stats.error().to_string();
  std::ifstream previous(path("out.las"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(previous), {}), "previous result");
  EXPECT_TRUE(stray_files({"f1.las", "f2.las", "index.gpkg", "out.las"}).empty());

  auto no_dir = ExtractionPipeline(path("index.gpkg"), path("no/such/dir/out.las"), false)
                    .execute(AxisAlignedBox(-1, 10, -1, 10));
  ASSERT_FALSE(no_dir);
  EXPECT_EQ(no_dir.error().kind(), TileIndexError::Kind::OutputError);

  // A device that is not a regular file is written directly.
  auto full = ExtractionPipeline(path("index.gpkg"), "/dev/full", false).execute(AxisAlignedBox(-1, 10, -1, 10));
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error().kind(), TileIndexError::Kind::OutputError);
  write_index(path("f1.gpkg"), {{path("f1.las"), {0, 0, 3, 3}}});
  auto null = ExtractionPipeline(path("f1.gpkg"), "/dev/null", false).execute(AxisAlignedBox(-1, 10, -1, 10));
  ASSERT_TRUE(null) << null.error().to_string();
  EXPECT_EQ(null->points_written, 16u);
}

// A planned failure of the file layer, for the life of the guard.
class PlannedFault {
 public:
  PlannedFault(las::io::FaultPlan::Operation operation, const std::string& name_part, std::uint64_t after_bytes,
               int error) {
    las::io::plan_fault(las::io::FaultPlan{operation, name_part, after_bytes, error});
  }
  ~PlannedFault() { las::io::plan_fault(std::nullopt); }
};

TEST_F(PipelineTest, ATileWhoseReadFailsPartWayContributesNothing) {
  const auto pa = grid(0, 0, 10, 1);
  const auto ra = write_tile(path("a.las"), pa);
  write_tile(path("b.las"), grid(20, 0, 350, 0.1));  // 122,500 points: three slices of up to 50,000
  write_index(path("index.gpkg"), {{path("a.las"), {0, 0, 9, 9}}, {path("b.las"), {20, 0, 55, 35}}});
  // The header and the first two slices (2.8 MB) pass; the third slice fails.
  const PlannedFault fault(las::io::FaultPlan::Operation::read, "b.las", 2 * 50'000 * 28 + 4096, EIO);
  auto stats = run(AxisAlignedBox(-1, 100, -1, 100));
  ASSERT_TRUE(stats) << stats.error().to_string();
  EXPECT_EQ(stats->points_written, pa.size());
  EXPECT_EQ(read_back(path("out.las")).records, ra);
  const auto warnings = messages(logging::Level::Warn);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_TRUE(warnings[0].starts_with("Failed to read points from " + debug_quote(path("b.las")) + ": "))
      << warnings[0];
  EXPECT_NE(warnings[0].find("Input/output error"), std::string::npos) << warnings[0];
}

// A LAZ tile with a damaged chunk between good ones is skipped with the error
// that reading it from start to end gives, though its chunks are read apart.
TEST_F(PipelineTest, ALazTileWithADamagedMiddleChunkContributesNothing) {
  const auto pa = grid(0, 0, 10, 1);
  const auto ra = write_tile(path("a.laz"), pa, {.compressed = true});
  write_tile(path("b.laz"), grid(20, 0, 400, 0.1), {.compressed = true});  // 160,000 points: four chunks
  {
    std::fstream b(path("b.laz"), std::ios::in | std::ios::out | std::ios::binary);
    b.seekp(static_cast<std::streamoff>(fs::file_size(path("b.laz")) / 2));
    b.write(std::string(64, '\x5a').data(), 64);
  }
  std::string sequential_error;
  auto reader = las::Reader::open(path("b.laz"));
  ASSERT_TRUE(reader);
  for (std::vector<std::uint8_t> records;;) {
    auto read = reader->read_batch(records);
    if (!read) {
      sequential_error = TileIndexError(read.error()).to_string();
      break;
    }
    ASSERT_NE(*read, 0u) << "the damage went unnoticed";
  }
  write_index(path("index.gpkg"), {{path("a.laz"), {0, 0, 9, 9}}, {path("b.laz"), {20, 0, 60, 40}}});
  // Its first chunks are written before the damage is found, and taken back.
  for (const std::string output : {"out.las", "out.laz"}) {
    auto stats = run(AxisAlignedBox(-1, 100, -1, 100), output);
    ASSERT_TRUE(stats) << stats.error().to_string();
    EXPECT_EQ(stats->points_written, pa.size());
    const ReadBack back = read_back(path(output));
    EXPECT_EQ(back.records, ra);
    EXPECT_EQ(back.header.number_of_points(), pa.size());
    EXPECT_EQ(messages(logging::Level::Warn).back(),
              "Failed to read points from " + debug_quote(path("b.laz")) + ": " + sequential_error);
  }
  std::ifstream direct_file(path("out.laz"), std::ios::binary);
  const std::string rewound{std::istreambuf_iterator<char>(direct_file), {}};
  write_index(path("a_only.gpkg"), {{path("a.laz"), {0, 0, 9, 9}}});
  const ExtractionPipeline a_alone(path("a_only.gpkg"), path("a_only.laz"), false);
  ASSERT_TRUE(a_alone.execute(AxisAlignedBox(-1, 100, -1, 100)));
  std::ifstream a_only(path("a_only.laz"), std::ios::binary);
  EXPECT_EQ(rewound, std::string(std::istreambuf_iterator<char>(a_only), {}));
}

// Makes a LAZ file look like one whose writer stopped before its chunk table:
// its chunks can then only be read one after the other.
void remove_chunk_table(const std::string& laz) {
  auto file = las::io::InputFile::open(laz);
  ASSERT_TRUE(file);
  const std::uint64_t data_start = las::read_header(*file)->point_data_offset;
  std::uint8_t offset[8];
  ASSERT_TRUE(file->read_at(data_start, offset));
  fs::resize_file(laz, las::load<std::uint64_t>(offset));
  std::fstream out(laz, std::ios::in | std::ios::out | std::ios::binary);
  las::store<std::uint64_t>(offset, data_start);
  out.seekp(static_cast<std::streamoff>(data_start));
  out.write(reinterpret_cast<const char*>(offset), 8);
}

TEST_F(PipelineTest, WriteAndSpillFaultsLeaveNothingBehind) {
  // 360,000 kept records of 28 bytes, past the 8 MB a tile keeps in memory,
  // in chunks read one after the other: a tile that keeps them all before
  // they can be written.
  write_tile(path("big.las"), grid(0, 0, 600, 0.1), {.compressed = true});
  remove_chunk_table(path("big.las"));
  write_index(path("index.gpkg"), {{path("big.las"), {0, 0, 60, 60}}});
  const AxisAlignedBox everything(-1, 100, -1, 100);
  struct Case {
    const char* what;
    las::io::FaultPlan::Operation operation;
    const char* name_part;
    std::uint64_t after_bytes;
    std::string error;
  };
  const Case cases[] = {
      {"output written part-way", las::io::FaultPlan::Operation::write, "out.las", 1'000'000,
       "Output file error: No space left on device: " + path("out.las")},
      {"spill file", las::io::FaultPlan::Operation::write, "(scratch)", 0,
       "Output file error: No space left on device: spilling kept points in " + dir_.path().string()},
      {"spill file read back", las::io::FaultPlan::Operation::read, "(scratch)", 100'000,
       "Output file error: Input/output error: spilling kept points in " + dir_.path().string()},
  };
  for (const Case& c : cases) {
    std::ofstream(path("out.las")) << "previous result";
    const int error = c.operation == las::io::FaultPlan::Operation::write ? ENOSPC : EIO;
    const PlannedFault fault(c.operation, c.name_part, c.after_bytes, error);
    auto stats = run(everything);
    ASSERT_FALSE(stats) << c.what;
    EXPECT_EQ(stats.error().to_string(), c.error) << c.what;
    std::ifstream previous(path("out.las"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(previous), {}), "previous result") << c.what;
    EXPECT_TRUE(stray_files({"big.las", "index.gpkg", "out.las"}).empty()) << c.what;
  }
}

// Whether `pid` has a file in `dir` open that already holds bytes.
bool writes_into(pid_t pid, const std::string& dir) {
  std::error_code ignored;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
    const std::string target = fs::read_symlink(fd.path(), ignored).string();
    struct stat st {};
    if (target.starts_with(dir + "/") && stat(fd.path().c_str(), &st) == 0 && st.st_size > 0) return true;
  }
  return false;
}

TEST_F(PipelineTest, ForkedExtractionKilledMidWriteLeavesTheFolderAsItWas) {
  fs::create_directory(dir_ / "out");
  const std::string out_dir = path("out");
  std::vector<std::pair<std::string, Rect>> tiles;
  for (int t = 0; t < 16; ++t) {
    const std::string name = path("t" + std::to_string(t) + ".las");
    write_tile(name, grid(t * 100, 0, 500, 0.1));  // 250,000 points each
    tiles.push_back({name, {t * 100.0, 0, t * 100.0 + 50, 50}});
  }
  write_index(path("index.gpkg"), tiles);
  std::ofstream(out_dir + "/out.laz") << "previous result";

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("KARVIK_NUM_THREADS", "1", 1);
    auto stats = ExtractionPipeline(path("index.gpkg"), out_dir + "/out.laz", false)
                     .execute(AxisAlignedBox(-1e9, 1e9, -1e9, 1e9));
    _exit(stats ? 0 : 1);
  }
  bool writing = false;
  for (int waited = 0; !writing && waited < 60'000; ++waited) {
    writing = writes_into(child, out_dir);
    if (!writing) usleep(1000);
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(writing) << "the extraction was never seen writing its output";
  ASSERT_TRUE(WIFSIGNALED(status)) << "the extraction ended before it was killed";
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(out_dir)) left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"out.laz"});
  std::ifstream previous(out_dir + "/out.laz");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(previous), {}), "previous result");
}

TEST_F(PipelineTest, OutputGetsTheUmaskPermissions) {
  write_tile(path("a.las"), grid(0, 0, 3, 1));
  write_index(path("index.gpkg"), {{path("a.las"), {0, 0, 2, 2}}});
  const mode_t old = umask(027);
  auto stats = run(AxisAlignedBox(-1, 10, -1, 10));
  umask(old);
  ASSERT_TRUE(stats);
  EXPECT_EQ(fs::status(path("out.las")).permissions(), fs::perms(0640));
}

// Runs `work` in a child process with the given pool size. Kept out of the
// test's own process, the pool's threads never meet a fork, which qemu-user
// cannot follow.
void in_child(const char* threads, const std::function<bool()>& work) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("KARVIK_NUM_THREADS", threads, 1);
    _exit(work() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

void extract_in_child(const std::string& index, const std::string& output, const char* threads) {
  in_child(threads, [&] {
    return ExtractionPipeline(index, output, false).execute(AxisAlignedBox(-1e9, 1e9, -1e9, 1e9)).has_value();
  });
}

// The same bytes, LAS or LAZ, whatever the thread count: the large tiles,
// first, span several chunks or slices read on different threads, and later
// tiles finish before earlier ones.
TEST_F(PipelineTest, SameBytesForOneThreadAndMany) {
  for (const bool compressed : {false, true}) {
    const std::string extension = compressed ? ".laz" : ".las";
    SCOPED_TRACE(extension);
    std::vector<std::pair<std::string, Rect>> tiles;
    for (int t = 0; t < 12; ++t) {
      tiles.push_back({path("t" + std::to_string(t) + extension), {t * 100.0, 0, t * 100.0 + 80, 80}});
    }
    in_child("2", [&] {  // a LAZ writer runs on the pool
      for (int t = 0; t < 12; ++t) {
        write_tile(tiles[t].first, grid(t * 100, 0, t < 3 ? 400 : 5, 0.2), {.format = 1, .compressed = compressed});
      }
      return true;
    });
    const std::string index = path("index" + extension + ".gpkg");
    write_index(index, tiles);
    extract_in_child(index, path("one" + extension), "1");
    const auto one = read_back(path("one" + extension));
    EXPECT_EQ(one.records.size(), (3 * 400 * 400 + 9 * 25) * 28u);
    std::ifstream a(path("one" + extension), std::ios::binary);
    const std::string expected{std::istreambuf_iterator<char>(a), {}};
    for (const char* threads : {"2", "8"}) {
      const std::string output = path(std::string("many") + threads + extension);
      extract_in_child(index, output, threads);
      std::ifstream b(output, std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(b), {}), expected) << threads << " threads";
    }
  }
}

// A stop requested before the run or while tiles are read ends it with
// Cancelled: nothing written, the old output untouched, no temporary file
// left. A following run is complete and its progress ends at its statistics.
TEST_F(PipelineTest, StopEndsTheExtractionWithoutOutputAndTheNextRunSucceeds) {
  std::vector<std::pair<std::string, Rect>> tiles;
  std::vector<std::string> files = {"index.gpkg", "out.las"};
  for (int t = 0; t < 16; ++t) {
    files.push_back("t" + std::to_string(t) + ".las");
    write_tile(path(files.back()), grid(t * 100, 0, 40, 1));
    tiles.push_back({path(files.back()), {t * 100.0, 0, t * 100.0 + 39, 39}});
  }
  write_index(path("index.gpkg"), tiles);
  std::ofstream(path("out.las")) << "previous result";
  const AxisAlignedBox box(-1e9, 1e9, -1e9, 1e9);

  for (const bool while_reading : {false, true}) {
    SCOPED_TRACE(while_reading ? "stop while reading" : "stop before");
    std::stop_source stop;
    if (while_reading) {
      // When the first tile has been read.
      logging::set_sink([&](const logging::Record& r) {
        if (std::string_view(r.message).starts_with("Tile ")) stop.request_stop();
      });
    } else {
      stop.request_stop();
    }
    ExtractionProgress progress;
    const ExtractionPipeline pipeline(path("index.gpkg"), path("out.las"), true);
    auto stats = pipeline.execute(box, stop.get_token(), &progress);
    logging::set_sink({});
    ASSERT_FALSE(stats);
    EXPECT_EQ(stats.error().kind(), TileIndexError::Kind::Cancelled);
    EXPECT_EQ(stats.error().to_string(), "Extraction cancelled");
    // Stopped while reading, the first tile's points may have gone to the unnamed output already.
    if (!while_reading) {
      EXPECT_EQ(progress.points_written, 0u);
    }
    EXPECT_EQ(progress.tiles_total, while_reading ? 16u : 0u);
    std::ifstream previous(path("out.las"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(previous), {}), "previous result");
    EXPECT_TRUE(stray_files(files).empty());
  }

  ExtractionProgress progress;
  auto stats = ExtractionPipeline(path("index.gpkg"), path("out.las"), false).execute(box, {}, &progress);
  ASSERT_TRUE(stats) << stats.error().to_string();
  EXPECT_EQ(stats->points_written, 16u * 1600);
  EXPECT_EQ(read_back(path("out.las")).header.number_of_points(), 16u * 1600);
  EXPECT_EQ(progress.tiles_done, 16u);
  EXPECT_EQ(progress.tiles_total, 16u);
  EXPECT_EQ(progress.points_read, stats->points_read);
  EXPECT_EQ(progress.points_written, stats->points_written);
}

// Collects what the pipeline hands a sink.
struct CollectingSink : RecordSink {
  std::optional<las::Header> header;
  std::vector<std::uint8_t> records;
  std::expected<void, TileIndexError> start(const las::Header& h) override {
    EXPECT_FALSE(header) << "started twice";
    header = h;
    return {};
  }
  std::expected<void, TileIndexError> append(std::span<const std::uint8_t> r) override {
    EXPECT_TRUE(header) << "records before the start";
    records.insert(records.end(), r.begin(), r.end());
    return {};
  }
};

// A sink gets the records the output file would hold, in the output's layout
// (the second tile has another offset), with the same statistics; a run that
// keeps nothing still starts it.
TEST_F(PipelineTest, SinkGetsTheRecordsOfTheOutputFile) {
  write_tile(path("a.las"), grid(0, 0, 10, 1), {.file_source_id = 11});
  write_tile(path("b.las"), grid(10, 0, 10, 1), {.format = 1, .x = {0.01, 5}});
  write_index(path("index.gpkg"), {{path("a.las"), {0, 0, 9, 9}}, {path("b.las"), {10, 0, 19, 9}}});
  const AxisAlignedBox box(7, 12, 2, 4);
  const ExtractionPipeline pipeline(path("index.gpkg"), path("out.las"), true);
  auto to_file = pipeline.execute(box);
  ASSERT_TRUE(to_file) << to_file.error().to_string();
  const ReadBack file = read_back(path("out.las"));
  fs::remove(path("out.las"));
  const auto warnings_before = messages(logging::Level::Warn).size();

  CollectingSink sink;
  auto collected = pipeline.execute_into(sink, box);
  ASSERT_TRUE(collected) << collected.error().to_string();
  ASSERT_TRUE(sink.header);
  EXPECT_EQ(las::RecordLayout::of(*sink.header), las::RecordLayout::of(file.header));
  EXPECT_EQ(sink.header->fields().file_source_id, 11);
  EXPECT_EQ(sink.records, file.records);
  EXPECT_EQ(collected->points_written, to_file->points_written);
  EXPECT_EQ(collected->points_read, to_file->points_read);
  EXPECT_TRUE(stray_files({"a.las", "b.las", "index.gpkg"}).empty());
  EXPECT_EQ(messages(logging::Level::Warn).size(), warnings_before);

  CollectingSink empty;
  auto nothing = pipeline.execute_into(empty, AxisAlignedBox(7.1, 7.2, 2.1, 2.2));
  ASSERT_TRUE(nothing);
  EXPECT_EQ(nothing->points_written, 0u);
  ASSERT_TRUE(empty.header);
  EXPECT_TRUE(empty.records.empty());
  EXPECT_EQ(messages(logging::Level::Warn).back(), "No points to write!");
}


// A tile of 160,000 points in columns along y, in four chunks (LAS slices or
// LAZ chunks) of 50,000, 50,000, 50,000 and 10,000 points: bands of 12.5 m
// along x, the k-th at z = 5 + 10 k.
std::vector<TilePoint> banded_tile() {
  std::vector<TilePoint> points;
  for (const TilePoint& p : grid(0, 0, 400, 0.1)) points.push_back({p.x, p.y, 5 + 10 * std::floor(p.x / 12.5)});
  return points;
}

// With chunk bounds in the index only the chunks that can hold kept points
// are read, for every kind of geometry, and the output is byte for byte that
// of a full read.
TEST_F(PipelineTest, ChunkBoundsInTheIndexReadOnlyTheChunksThatCanMatch) {
  for (const bool compressed : {false, true}) {
    const std::string extension = compressed ? ".laz" : ".las";
    SCOPED_TRACE(extension);
    const std::string tile = path("banded" + extension);
    const std::uint8_t format = compressed ? 6 : 1;
    write_tile(tile, banded_tile(), {.format = format, .compressed = compressed});
    ASSERT_TRUE(index::build_index(path("pruned.gpkg"), {tile}, {}));
    ASSERT_TRUE(index::build_index(path("full.gpkg"), {tile}, {.chunks = false}));
    // Looking west over the last two bands, at the height of the last one.
    const auto frustum = *geometry::Frustum::create(39, 20, 35, 260, -5, 280, 5, 0, 8);
    struct Case {
      const char* what;
      std::function<std::expected<ExtractionStats, TileIndexError>(const ExtractionPipeline&)> run;
      std::uint64_t points_read;
    };
    const Case cases[] = {
        {"box", [](const ExtractionPipeline& p) { return p.execute(AxisAlignedBox(14, 20, 5, 15)); }, 50'000},
        {"box with z", [](const ExtractionPipeline& p) { return p.execute(AxisAlignedBox(0, 40, 0, 40, 20, 30)); },
         50'000},
        {"cylinder", [](const ExtractionPipeline& p) { return p.execute(geometry::VerticalCylinder(19, 20, 3)); },
         50'000},
        {"frustum", [&](const ExtractionPipeline& p) { return p.execute(frustum); }, 10'000},
    };
    for (const Case& c : cases) {
      auto full = c.run(ExtractionPipeline(path("full.gpkg"), path("full" + extension), false));
      auto pruned = c.run(ExtractionPipeline(path("pruned.gpkg"), path("pruned" + extension), false));
      ASSERT_TRUE(full && pruned) << c.what;
      EXPECT_EQ(full->points_read, 160'000u) << c.what;
      EXPECT_EQ(pruned->points_read, c.points_read) << c.what;
      EXPECT_GT(pruned->points_written, 0u) << c.what;
      EXPECT_EQ(pruned->points_written, full->points_written) << c.what;
      std::ifstream a(path("full" + extension), std::ios::binary), b(path("pruned" + extension), std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(a), {}), std::string(std::istreambuf_iterator<char>(b), {}))
          << c.what;
    }
    for (const std::string& warning : messages(logging::Level::Warn)) {
      EXPECT_FALSE(warning.starts_with("Chunk")) << warning;
    }
  }
}

// Chunk bounds that no longer describe the file, or that are damaged, are
// not used: the tile is read whole, and a warning says why.
TEST_F(PipelineTest, StaleOrDamagedChunkBoundsReadTheTileWhole) {
  const std::string tile = path("banded.laz");
  write_tile(tile, banded_tile(), {.format = 6, .compressed = true});
  const AxisAlignedBox box(14, 20, 5, 15);
  ASSERT_TRUE(index::build_index(path("index.gpkg"), {tile}, {}));
  auto pruned = run(box);
  ASSERT_TRUE(pruned);
  ASSERT_EQ(pruned->points_read, 50'000u);
  const std::string expected = [&] {
    std::ifstream in(path("out.las"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  const auto read_whole = [&](const std::string& why) {
    SCOPED_TRACE(why);
    auto stats = run(box);
    ASSERT_TRUE(stats) << stats.error().to_string();
    EXPECT_EQ(stats->points_read, 160'000u);
    std::ifstream in(path("out.las"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), expected);
    EXPECT_EQ(messages(logging::Level::Warn).back(),
              "Chunk bounds of " + debug_quote(tile) + " in the index are ignored: " + why);
  };
  // A chunk that claims to hold nothing near the box: a damaged row.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path("index.gpkg").c_str(), &db), SQLITE_OK);
  const std::string table = index::geopackage::chunk_table("tiles");
  ASSERT_EQ(sqlite3_exec(db, ("UPDATE \"" + table + "\" SET min_x = max_x + 1 WHERE chunk = 1").c_str(), nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  auto damaged = index::TileIndexReader::open(path("index.gpkg"))->read_tiles(std::nullopt, box);
  ASSERT_TRUE(damaged && damaged->front().chunks && !*damaged->front().chunks);
  read_whole(damaged->front().chunks->error());

  // The same points written again after indexing.
  ASSERT_TRUE(index::build_index(path("index.gpkg"), {tile}, {}));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  write_tile(tile, banded_tile(), {.format = 6, .compressed = true});
  read_whole("the file changed after it was indexed");
}

// A COPC tile is read only where its octree's cubes meet the geometry, with
// or without chunk bounds in the index, and gives exactly the records a full
// decode keeps, in file order.
TEST_F(PipelineTest, CopcTilesReadOnlyTheNodesThatMeetTheGeometry) {
  for (const char* sample : {"pdal__1.2-with-color.copc.laz", "las-rs__autzen.copc.laz"}) {
    SCOPED_TRACE(sample);
    const std::string tile = std::string(KARVIK_SAMPLES_DIR) + "/" + sample;
    auto reader = las::Reader::open(tile);
    ASSERT_TRUE(reader);
    const las::RecordLayout layout = reader->layout();
    const las::Bounds b = reader->header().bounds();
    std::vector<std::uint8_t> all;
    for (;;) {
      auto read = reader->read_batch(all);
      ASSERT_TRUE(read);
      if (*read == 0) break;
    }
    const std::string plain = path(std::string(sample) + ".gpkg"), chunks = path(std::string(sample) + ".chunks.gpkg");
    write_index(plain, {{tile, {b.min.x, b.min.y, b.max.x, b.max.y}}});
    ASSERT_TRUE(index::build_index(chunks, {tile}, {}));
    const double w = b.max.x - b.min.x, h = b.max.y - b.min.y;
    const AxisAlignedBox corner(b.min.x, b.min.x + w / 4, b.min.y, b.min.y + h / 4);
    const AxisAlignedBox low(b.min.x, b.max.x, b.min.y, b.max.y, b.min.z, b.min.z + (b.max.z - b.min.z) / 5);
    const geometry::VerticalCylinder disc(b.min.x + w / 2, b.min.y + h / 2, w / 10);
    // The cubes of the octree span the root cube's height: only x and y prune here.
    const auto check = [&](const auto& geometry, const char* what, bool prunes) {
      std::vector<std::uint8_t> expected;
      for (std::size_t at = 0; at < all.size(); at += layout.record_length()) {
        const las::Vector3 p = layout.coordinates(all.data() + at);
        if (geometry.contains_xyz(p.x, p.y, p.z)) {
          expected.insert(expected.end(), &all[at], &all[at] + layout.record_length());
        }
      }
      for (const std::string& index : {plain, chunks}) {
        fs::remove(path("out.las"));
        auto stats = ExtractionPipeline(index, path("out.las"), false).execute(geometry);
        ASSERT_TRUE(stats) << what << " " << index << ": " << stats.error().to_string();
        EXPECT_EQ(stats->points_written * layout.record_length(), expected.size()) << what << " " << index;
        if (!expected.empty()) EXPECT_EQ(read_back(path("out.las")).records, expected) << what << " " << index;
        if (prunes && *reader->unit_count() > 1) {
          EXPECT_LT(stats->points_read, reader->header().number_of_points()) << what;
        }
      }
    };
    check(corner, "corner", true);
    check(low, "low", false);
    check(disc, "disc", true);
  }
  for (const std::string& warning : messages(logging::Level::Warn)) {
    EXPECT_TRUE(!warning.starts_with("The COPC") && !warning.starts_with("Chunk")) << warning;
  }
}

// A COPC tile whose hierarchy cannot be used is read whole, with a warning.
TEST_F(PipelineTest, CopcTileWithADamagedHierarchyIsReadWhole) {
  const std::string tile = path("damaged.copc.laz");
  fs::copy_file(std::string(KARVIK_SAMPLES_DIR) + "/pdal__1.2-with-color.copc.laz", tile);
  auto reader = las::Reader::open(tile);
  ASSERT_TRUE(reader);
  const las::Vlr* info_vlr = las::copc::find_info_vlr(reader->header());
  ASSERT_NE(info_vlr, nullptr);
  auto info = las::copc::Info::parse(info_vlr->data);
  ASSERT_TRUE(info);
  {
    // The first node's depth becomes -1.
    std::fstream out(tile, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(static_cast<std::streamoff>(info->root_page_offset));
    const std::int32_t depth = -1;
    out.write(reinterpret_cast<const char*>(&depth), 4);
  }
  const las::Bounds b = reader->header().bounds();
  write_index(path("index.gpkg"), {{tile, {b.min.x, b.min.y, b.max.x, b.max.y}}});
  const AxisAlignedBox everything(b.min.x, b.max.x, b.min.y, b.max.y);
  auto stats = run(everything);
  ASSERT_TRUE(stats) << stats.error().to_string();
  EXPECT_EQ(stats->points_read, reader->header().number_of_points());
  EXPECT_EQ(stats->points_written, reader->header().number_of_points());
  const auto warnings = messages(logging::Level::Warn);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_TRUE(warnings[0].starts_with("The COPC hierarchy of " + debug_quote(tile) + " is ignored: ")) << warnings[0];
  EXPECT_NE(warnings[0].find("copc error: "), std::string::npos) << warnings[0];
}

}  // namespace
}  // namespace karvik_core::pipeline
