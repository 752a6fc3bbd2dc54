#include "index/reader.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "geometry/box.hpp"
#include "geometry/cylinder.hpp"
#include "testing/gpkg_fixture.hpp"

namespace karvik_core::index {
namespace {

using geometry::AxisAlignedBox;
using geometry::Rect;
using namespace karvik_core::testing;

constexpr AxisAlignedBox kEverything(-1e300, 1e300, -1e300, 1e300);

TileIndexReader open_ok(const fs::path& path) {
  auto reader = TileIndexReader::open(path.string());
  EXPECT_TRUE(reader.has_value()) << reader.error().to_string();
  return std::move(*reader);
}

std::string read_error(const fs::path& path) {
  auto tiles = open_ok(path).read_tiles(std::nullopt, kEverything);
  EXPECT_FALSE(tiles.has_value());
  return tiles ? "" : tiles.error().to_string();
}

TEST(TileIndexReader, ReadsTilesInRowOrderAndFiltersByGeometry) {
  TempDir dir;
  Gpkg g(dir / "index.gpkg");
  g.standard_tables();
  g.feature_table();
  g.tile("c.laz", {20, 0, 30, 10});
  g.tile("a.laz", {0, 0, 10, 10});
  g.tile("b.laz", {10, 0, 20, 10});
  g.tile("a.laz", {0, 0, 10, 10});

  const auto reader = open_ok(g.path());
  auto all = reader.read_tiles(std::nullopt, kEverything);
  ASSERT_TRUE(all) << all.error().to_string();
  ASSERT_EQ(all->size(), 4u);
  EXPECT_EQ((*all)[0].location, "c.laz");
  EXPECT_EQ((*all)[1].location, "a.laz");
  EXPECT_EQ((*all)[3].location, "a.laz");
  EXPECT_EQ((*all)[2].bounds.max_x, 20);

  // A box touching the edge x = 10 meets a.laz and b.laz; a cylinder around (25, 5) meets b and c.
  auto edge = reader.read_tiles(std::nullopt, AxisAlignedBox(9, 10, 1, 2));
  ASSERT_TRUE(edge);
  ASSERT_EQ(edge->size(), 3u);
  EXPECT_EQ((*edge)[0].location, "a.laz");
  EXPECT_EQ((*edge)[1].location, "b.laz");
  auto circle = reader.read_tiles(std::string("tiles"), geometry::VerticalCylinder(25, 5, 5));
  ASSERT_TRUE(circle);
  ASSERT_EQ(circle->size(), 2u);
  EXPECT_EQ((*circle)[0].location, "c.laz");
  EXPECT_EQ((*circle)[1].location, "b.laz");

  auto none = reader.read_tiles(std::nullopt, AxisAlignedBox(100, 200, 100, 200));
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().kind(), TileIndexError::Kind::NoTilesFound);
}

TEST(TileIndexReader, ListsTablesAndReadsOnlyTheFirst) {
  TempDir dir;
  Gpkg g(dir / "index.gpkg");
  g.standard_tables();
  g.feature_table("first");
  g.feature_table("second");
  g.exec("INSERT INTO gpkg_contents VALUES ('raster', 'tiles')");
  g.tile("one.las", {0, 0, 1, 1}, "first");
  g.tile("two.las", {0, 0, 1, 1}, "second");
  const auto reader = open_ok(g.path());
  auto tables = reader.list_tables();
  ASSERT_TRUE(tables);
  EXPECT_EQ(*tables, (std::vector<std::string>{"first", "second"}));
  auto tiles = reader.read_tiles(std::nullopt, kEverything);
  ASSERT_TRUE(tiles);
  ASSERT_EQ(tiles->size(), 1u);
  EXPECT_EQ(tiles->front().location, "one.las");
  auto second = reader.read_tiles(std::string("second"), kEverything);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->front().location, "two.las");
}

TEST(TileIndexReader, NamesWithQuotesAreQuotedIdentifiers) {
  TempDir dir;
  Gpkg g(dir / "index.gpkg");
  g.standard_tables();
  g.exec("INSERT INTO gpkg_contents VALUES ('my \"tiles\" table', 'features')");
  g.exec("INSERT INTO gpkg_geometry_columns VALUES ('my \"tiles\" table', 'the \"geom\"')");
  g.exec("CREATE TABLE \"my \"\"tiles\"\" table\" (location TEXT, \"the \"\"geom\"\"\" BLOB)");
  g.tile("q.laz", {0, 0, 1, 1}, "my \"tiles\" table");
  auto tiles = open_ok(g.path()).read_tiles(std::nullopt, kEverything);
  ASSERT_TRUE(tiles) << tiles.error().to_string();
  EXPECT_EQ(tiles->front().location, "q.laz");
}

TEST(TileIndexReader, QueryFailures) {
  TempDir dir;
  struct Case {
    const char* name;
    std::function<void(Gpkg&)> build;
    std::string error;
  };
  const Blob short_blob = envelope_blob(0, 1, 0, 1, 0x03, 39);
  const Case cases[] = {
      {"no gpkg tables", [](Gpkg& g) { g.exec("CREATE TABLE x (a)"); },
       "Failed to query tiles: no such table: gpkg_contents"},
      {"no feature table",
       [](Gpkg& g) {
         g.standard_tables();
         g.exec("INSERT INTO gpkg_contents VALUES ('r', 'tiles')");
       },
       "Failed to query tiles: No feature tables found"},
      {"no geometry column",
       [](Gpkg& g) {
         g.standard_tables();
         g.exec("INSERT INTO gpkg_contents VALUES ('t', 'features')");
       },
       "Failed to query tiles: No geometry column found for table 't': Query returned no rows"},
      {"no location column",
       [](Gpkg& g) {
         g.standard_tables();
         g.exec("INSERT INTO gpkg_contents VALUES ('t', 'features')");
         g.exec("INSERT INTO gpkg_geometry_columns VALUES ('t', 'geom')");
         g.exec("CREATE TABLE t (path TEXT, geom BLOB)");
       },
       "Failed to query tiles: Failed to prepare query: no such column: location"},
      {"null location",
       [](Gpkg& g) {
         g.standard_tables();
         g.feature_table();
         const Blob b = envelope_blob(0, 1, 0, 1);
         g.row("tiles", nullptr, &b);
       },
       "Failed to query tiles: Invalid column type Null at index: 0, name: location"},
      {"null geometry",
       [](Gpkg& g) {
         g.standard_tables();
         g.feature_table("tiles", "shape");
         g.row("tiles", "a.laz", nullptr);
       },
       "Failed to query tiles: Invalid column type Null at index: 1, name: shape"},
      {"integer location",
       [](Gpkg& g) {
         g.standard_tables();
         g.exec("INSERT INTO gpkg_contents VALUES ('t', 'features')");
         g.exec("INSERT INTO gpkg_geometry_columns VALUES ('t', 'geom')");
         g.exec("CREATE TABLE t (location, geom)");  // no affinity: 7 stays an integer
         g.exec("INSERT INTO t VALUES (7, x'00')");
       },
       "Failed to query tiles: Invalid column type Integer at index: 0, name: location"},
      {"location not utf-8",
       [](Gpkg& g) {
         g.standard_tables();
         g.feature_table();
         g.exec("INSERT INTO tiles (location, geom) VALUES (CAST(x'61ff' AS TEXT), x'00')");
       },
       "Failed to query tiles: Conversion error from type Text at index: 0, invalid utf-8 sequence of 1 bytes from "
       "index 1"},
      {"bad blob far away",
       [&](Gpkg& g) {
         g.standard_tables();
         g.feature_table();
         g.tile("a.laz", {0, 0, 1, 1});
         g.row("tiles", "b.laz", &short_blob);
       },
       "Failed to query tiles: Invalid geometry in tile index: Geometry blob too short for envelope"},
      {"empty blob",
       [](Gpkg& g) {
         g.standard_tables();
         g.feature_table();
         g.exec("INSERT INTO tiles (location, geom) VALUES ('a', x'')");
       },
       "Failed to query tiles: Invalid geometry in tile index: Geometry blob too short"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const fs::path path = dir / ("case" + std::to_string(n++) + ".gpkg");
    {
      Gpkg g(path);
      c.build(g);
    }
    EXPECT_EQ(read_error(path), c.error) << c.name;
  }
}

TEST(TileIndexReader, EmptyTableGivesNoTilesFound) {
  TempDir dir;
  Gpkg g(dir / "index.gpkg");
  g.standard_tables();
  g.feature_table();
  EXPECT_EQ(read_error(g.path()), "No tiles found intersecting the extraction geometry");
}

TEST(TileIndexReader, OpenFailures) {
  TempDir dir;
  auto missing_dir = TileIndexReader::open((dir / "nope" / "index.gpkg").string());
  ASSERT_FALSE(missing_dir);
  EXPECT_EQ(missing_dir.error().to_string(),
            "Failed to open GeoPackage: unable to open database file: " + (dir / "nope" / "index.gpkg").string());

  const std::string with_nul("ab\0c.gpkg", 9);
  auto nul = TileIndexReader::open(with_nul);
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().to_string(), "Failed to open GeoPackage: nul byte found in provided data at position: 2");

  // A missing file inside an existing directory fails at open and is not created.
  const fs::path mistyped = dir / "mistyped.gpkg";
  auto missing = TileIndexReader::open(mistyped.string());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().to_string(), "Failed to open GeoPackage: unable to open database file: " + mistyped.string());
  EXPECT_FALSE(fs::exists(mistyped));
  // An existing empty file is an empty database.
  const fs::path empty = dir / "empty.gpkg";
  std::ofstream{empty};
  EXPECT_EQ(read_error(empty), "Failed to query tiles: no such table: gpkg_contents");

  const fs::path text = dir / "text.gpkg";
  std::ofstream(text) << std::string(4096, 'x');
  EXPECT_EQ(read_error(text), "Failed to query tiles: file is not a database");
}

TEST(TileIndexReader, AcceptsUriFilenames) {
  TempDir dir;
  Gpkg g(dir / "index.gpkg");
  g.standard_tables();
  g.feature_table();
  g.tile("a.laz", {0, 0, 1, 1});
  auto reader = TileIndexReader::open("file:" + (dir / "index.gpkg").string() + "?mode=ro");
  ASSERT_TRUE(reader);
  EXPECT_TRUE(reader->read_tiles(std::nullopt, kEverything));
}

TEST(ExtractBoundsFromBlob, Failures) {
  struct Case {
    Blob blob;
    const char* text;
  };
  Blob bad_magic = envelope_blob(0, 1, 0, 1);
  bad_magic[1] = 0x51;
  Blob short_bad_magic(7, 0);
  const Case cases[] = {
      {Blob(7, 0x47), "Geometry blob too short"},
      {short_bad_magic, "Geometry blob too short"},
      {bad_magic, "Invalid GeoPackage geometry magic bytes"},
      {envelope_blob(0, 1, 0, 1, 0x00), "Geometry has no envelope - WKB parsing not yet implemented"},
      {envelope_blob(0, 1, 0, 1, 0x0A), "Unknown envelope type: 5"},
      {envelope_blob(0, 1, 0, 1, 0x0F), "Unknown envelope type: 7"},
      {envelope_blob(0, 1, 0, 1, 0x03, 39), "Geometry blob too short for envelope"},
      {envelope_blob(0, 1, 0, 1, 0x09, 8), "Geometry blob too short for envelope"},
  };
  for (const auto& c : cases) {
    auto r = TileIndexReader::extract_bounds_from_blob(c.blob);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error().kind(), TileIndexError::Kind::InvalidGeometry);
    EXPECT_EQ(r.error().to_string(), std::string("Invalid geometry in tile index: ") + c.text);
  }
}

TEST(ExtractBoundsFromBlob, DecodesEveryIndicatorAndByteOrder) {
  for (std::uint8_t indicator = 1; indicator <= 4; ++indicator) {
    for (std::uint8_t little = 0; little <= 1; ++little) {
      // Bits 4 to 7 (empty, extended type) are not examined.
      const auto flags = static_cast<std::uint8_t>(indicator << 1 | little | 0x30);
      auto r = TileIndexReader::extract_bounds_from_blob(envelope_blob(1.5, 2.5, -3, 4e6, flags, 40));
      ASSERT_TRUE(r) << int(indicator);
      EXPECT_EQ(r->min_x, 1.5);
      EXPECT_EQ(r->max_x, 2.5);
      EXPECT_EQ(r->min_y, -3);
      EXPECT_EQ(r->max_y, 4e6);
    }
  }
  auto swapped = TileIndexReader::extract_bounds_from_blob(envelope_blob(9, 1, 8, 2));
  ASSERT_TRUE(swapped);
  EXPECT_EQ(swapped->min_x, 1);
  EXPECT_EQ(swapped->max_x, 9);
  EXPECT_EQ(swapped->min_y, 2);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto empty = TileIndexReader::extract_bounds_from_blob(envelope_blob(nan, nan, nan, nan));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(std::isnan(empty->min_x));
}

// Indexes written by GDAL, as the rest of the world writes them.
TEST(TileIndexReader, ReadsGdalGeoPackages) {
  TempDir dir;
  const fs::path csv = dir / "tiles.csv";
  std::ofstream(csv) << "location,WKT\n"
                        "tiles/a.laz,\"POLYGON((0 0,10 0,10 10,0 10,0 0))\"\n"
                        "tiles/b.laz,\"POLYGON((10 0,20 0,20 10,10 10,10 0))\"\n"
                        "\"tiles/c d.laz\",\"POLYGON((0 10,10 10,10 25,0 25,0 10))\"\n";
  const fs::path gpkg = dir / "tiles.gpkg";
  const std::string cmd = "ogr2ogr -f GPKG -a_srs EPSG:28992 -oo GEOM_POSSIBLE_NAMES=WKT -oo KEEP_GEOM_COLUMNS=NO '" +
                          gpkg.string() + "' '" + csv.string() + "' -nln footprints 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << "ogr2ogr (gdal-bin) is needed: " << cmd;
  const auto reader = open_ok(gpkg);
  auto tables = reader.list_tables();
  ASSERT_TRUE(tables);
  EXPECT_EQ(*tables, std::vector<std::string>{"footprints"});
  auto column = reader.find_geometry_column("footprints");
  ASSERT_TRUE(column);
  EXPECT_EQ(*column, "geom");
  auto tiles = reader.read_tiles(std::nullopt, AxisAlignedBox(5, 6, 12, 30));
  ASSERT_TRUE(tiles) << tiles.error().to_string();
  ASSERT_EQ(tiles->size(), 1u);
  EXPECT_EQ(tiles->front().location, "tiles/c d.laz");
  EXPECT_EQ(tiles->front().bounds.max_y, 25);
  auto all = reader.read_tiles(std::nullopt, kEverything);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 3u);
  EXPECT_EQ((*all)[1].bounds.min_x, 10);
}

// Tiles a (fid 1) and b (fid 2) side by side and c (fid 3) far off; a has
// three chunks, c one, b none.
void chunked_index(Gpkg& g) {
  g.standard_tables();
  g.feature_table();
  g.tile("a.laz", {0, 0, 10, 10});
  g.tile("b.laz", {10, 0, 20, 10});
  g.tile("c.laz", {100, 100, 110, 110});
  g.chunk_table();
  g.exec("INSERT INTO tiles_chunks VALUES (1, 1, 0, 0, 10, 0, 4, 0, 10, 1, 2, 1000, 5),"
         " (2, 1, 1, 10, 10, 4, 8, 0, 10, -1, 3, 1000, 5), (3, 1, 2, 20, 5, 8, 10, 2, 3, 0, 0, 1000, 5),"
         " (4, 3, 0, 0, 7, 100, 110, 100, 110, 5, 6, 77, -12)");
}

TEST(TileIndexReader, ChunkBoundsOfTheSelectedTiles) {
  TempDir dir;
  Gpkg g(dir / "index.gpkg");
  chunked_index(g);
  auto tiles = open_ok(g.path()).read_tiles(std::nullopt, AxisAlignedBox(5, 15, 1, 2));
  ASSERT_TRUE(tiles) << tiles.error().to_string();
  ASSERT_EQ(tiles->size(), 2u);
  const TileInfo &a = (*tiles)[0], &b = (*tiles)[1];
  EXPECT_EQ(a.fid, 1);
  EXPECT_EQ(b.fid, 2);
  ASSERT_TRUE(a.chunks && *a.chunks) << (a.chunks ? a.chunks->error() : "no entry");
  EXPECT_EQ((*a.chunks)->stamp, (FileStamp{1000, 5}));
  EXPECT_EQ((*a.chunks)->chunks, (std::vector<ChunkBounds>{{0, 10, 0, 4, 0, 10, 1, 2},
                                                          {10, 10, 4, 8, 0, 10, -1, 3},
                                                          {20, 5, 8, 10, 2, 3, 0, 0}}));
  EXPECT_FALSE(b.chunks.has_value());
  auto c = open_ok(g.path()).read_tiles(std::nullopt, AxisAlignedBox(101, 102, 101, 102));
  ASSERT_TRUE(c && c->front().chunks && *c->front().chunks);
  EXPECT_EQ((*c->front().chunks)->stamp, (FileStamp{77, -12}));

  // Without registration the table is not ours to read; an index without one reads as it always did.
  g.exec("DELETE FROM gpkg_contents WHERE table_name = 'tiles_chunks'");
  auto unregistered = open_ok(g.path()).read_tiles(std::nullopt, kEverything);
  ASSERT_TRUE(unregistered);
  for (const TileInfo& tile : *unregistered) EXPECT_FALSE(tile.chunks.has_value()) << tile.location;
  // A registered table that cannot be read makes every tile's entry that error, never the read's.
  g.exec("INSERT INTO gpkg_contents VALUES ('tiles_chunks', 'attributes')");
  g.exec("ALTER TABLE tiles_chunks DROP COLUMN file_modified_ns");
  auto unreadable = open_ok(g.path()).read_tiles(std::nullopt, kEverything);
  ASSERT_TRUE(unreadable);
  ASSERT_EQ(unreadable->size(), 3u);
  for (const TileInfo& tile : *unreadable) {
    ASSERT_TRUE(tile.chunks && !*tile.chunks);
    EXPECT_EQ(tile.chunks->error(), "the chunk table 'tiles_chunks' cannot be read: no such column: file_modified_ns");
  }
}

TEST(TileIndexReader, EachKindOfCorruptChunkRowRejectsItsTileOnly) {
  const struct {
    const char* sql;
    std::string error;
  } cases[] = {
      {"UPDATE tiles_chunks SET max_x = 9e999 WHERE fid = 2", "row 2: max_x is inf, not a finite number"},
      {"UPDATE tiles_chunks SET min_z = -9e999 WHERE fid = 1", "row 1: min_z is -inf, not a finite number"},
      // NaN is stored as NULL.
      {"UPDATE tiles_chunks SET min_y = NULL WHERE fid = 3", "row 3: min_y is NULL, not a number"},
      {"UPDATE tiles_chunks SET min_y = 7, max_y = 6.5 WHERE fid = 2", "row 2: min_y 7 is greater than max_y 6.5"},
      {"DELETE FROM tiles_chunks WHERE fid = 2", "row 3: chunk 1 is missing"},
      {"DELETE FROM tiles_chunks WHERE fid = 1", "row 2: chunk 0 is missing"},
      {"UPDATE tiles_chunks SET chunk = 1 WHERE fid = 3", "row 3: chunk 1 appears more than once"},
      {"UPDATE tiles_chunks SET chunk = -1 WHERE fid = 1", "row 1: chunk is -1, less than 0"},
      {"UPDATE tiles_chunks SET first_point = 11 WHERE fid = 2",
       "row 2: first_point is 11, the chunks before hold 10 points"},
      {"UPDATE tiles_chunks SET first_point = 1 WHERE fid = 1",
       "row 1: first_point is 1, the chunks before hold 0 points"},
      {"UPDATE tiles_chunks SET point_count = 0 WHERE fid = 3", "row 3: point_count is 0, less than 1"},
      {"UPDATE tiles_chunks SET point_count = -10 WHERE fid = 1", "row 1: point_count is -10, less than 1"},
      {"UPDATE tiles_chunks SET file_size = 999 WHERE fid = 3",
       "row 3: its file_size and file_modified_ns (999, 5) differ from those of chunk 0 (1000, 5)"},
      {"UPDATE tiles_chunks SET file_modified_ns = 6 WHERE fid = 2",
       "row 2: its file_size and file_modified_ns (1000, 6) differ from those of chunk 0 (1000, 5)"},
      {"UPDATE tiles_chunks SET file_size = -1 WHERE fid = 1", "row 1: file_size is -1, less than 0"},
      {"UPDATE tiles_chunks SET chunk = 'one' WHERE fid = 1", "row 2: chunk 0 is missing"},
      {"UPDATE tiles_chunks SET chunk = 'two' WHERE fid = 3", "row 3: chunk is text, not an integer"},
      {"UPDATE tiles_chunks SET point_count = 2.5 WHERE fid = 2", "row 2: point_count is a real number, not an integer"},
      {"UPDATE tiles_chunks SET first_point = NULL WHERE fid = 1", "row 1: first_point is NULL, not an integer"},
      {"UPDATE tiles_chunks SET max_z = x'00' WHERE fid = 2", "row 2: max_z is a blob, not a number"},
      {"UPDATE tiles_chunks SET min_x = 'west' WHERE fid = 1", "row 1: min_x is text, not a number"},
      {"UPDATE tiles_chunks SET file_modified_ns = NULL WHERE fid = 3",
       "row 3: file_modified_ns is NULL, not an integer"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    Gpkg g(dir / "index.gpkg");
    chunked_index(g);
    g.exec(c.sql);
    auto tiles = open_ok(g.path()).read_tiles(std::nullopt, kEverything);
    ASSERT_TRUE(tiles) << c.sql;
    ASSERT_EQ(tiles->size(), 3u);
    const TileInfo &a = (*tiles)[0], &far = (*tiles)[2];
    ASSERT_TRUE(a.chunks && !*a.chunks) << c.sql;
    EXPECT_EQ(a.chunks->error(), "malformed chunk bounds in 'tiles_chunks' (" + c.error + ")") << c.sql;
    EXPECT_TRUE(far.chunks && *far.chunks) << c.sql;
  }
}

}  // namespace
}  // namespace karvik_core::index
