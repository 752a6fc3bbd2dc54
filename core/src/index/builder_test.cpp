#include "index/builder.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>

#include "geometry/box.hpp"
#include "index/crs.hpp"
#include "index/reader.hpp"
#include "index/tile_header.hpp"
#include "las/header_codec.hpp"
#include "las/io/file.hpp"
#include "las/reader.hpp"
#include "pipeline/executor.hpp"
#include "testing/gpkg_fixture.hpp"
#include "testing/las_fixture.hpp"
#include "text/utf8.hpp"

namespace karvik_core::index {
namespace {

using geometry::AxisAlignedBox;
using geometry::Rect;
using namespace karvik_core::testing;
using Rows = std::vector<std::vector<std::string>>;

constexpr char kRdNew[] =
    "PROJCS[\"Amersfoort / RD New\",GEOGCS[\"Amersfoort\",DATUM[\"Amersfoort\",SPHEROID[\"Bessel 1841\","
    "6377397.155,299.1528128,AUTHORITY[\"EPSG\",\"7004\"]],AUTHORITY[\"EPSG\",\"6289\"]],PRIMEM[\"Greenwich\",0],"
    "UNIT[\"degree\",0.0174532925199433],AUTHORITY[\"EPSG\",\"4289\"]],PROJECTION[\"Oblique_Stereographic\"],"
    "UNIT[\"metre\",1,AUTHORITY[\"EPSG\",\"9001\"]],AUTHORITY[\"EPSG\",\"28992\"]]";

las::Vlr wkt_vlr(const std::string& wkt) {
  std::vector<std::uint8_t> data(wkt.begin(), wkt.end());
  data.push_back(0);
  return las::Vlr{0, "LASF_Projection", 2112, "OGC WKT", data};
}

// A GeoTIFF key directory holding one key with its value in place.
las::Vlr geotiff_vlr(std::uint16_t key, std::uint16_t value) {
  const std::uint16_t words[] = {1, 1, 0, 1, key, 0, 1, value};
  std::vector<std::uint8_t> data(sizeof words);
  std::memcpy(data.data(), words, sizeof words);
  return las::Vlr{0, "LASF_Projection", 34735, "GeoTIFF keys", data};
}

las::Vlr utm31() { return geotiff_vlr(3072, 32631); }

// Every row of a query, each value as text ("NULL" for null).
Rows query(const fs::path& gpkg, const std::string& sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(gpkg.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db) << ": " << sql;
  Rows rows;
  while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
      row.emplace_back(text ? text : "NULL");
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

// What a full decode of each unit of the file gives: the bounds the index must hold.
std::expected<std::vector<ChunkBounds>, std::string> decoded_units(const std::string& path) {
  auto reader = las::Reader::open(path);
  if (!reader) return std::unexpected(reader.error().message());
  const las::RecordLayout layout = reader->layout();
  std::vector<ChunkBounds> units;
  std::uint64_t first = 0;
  for (std::vector<std::uint8_t> records;; records.clear()) {
    auto count = reader->read_batch(records);
    if (!count) return std::unexpected(count.error().message());
    if (*count == 0) break;
    ChunkBounds unit{first, *count, 1e308, -1e308, 1e308, -1e308, 1e308, -1e308};
    for (std::size_t at = 0; at < records.size(); at += layout.record_length()) {
      const las::Vector3 p = layout.coordinates(&records[at]);
      unit.min_x = std::min(unit.min_x, p.x), unit.max_x = std::max(unit.max_x, p.x);
      unit.min_y = std::min(unit.min_y, p.y), unit.max_y = std::max(unit.max_y, p.y);
      unit.min_z = std::min(unit.min_z, p.z), unit.max_z = std::max(unit.max_z, p.z);
    }
    units.push_back(unit);
    first += *count;
  }
  return units;
}

// The chunk entry the index holds for the tile at `location`, as the reader gives it.
std::optional<std::expected<TileChunks, std::string>> chunk_entry(const fs::path& gpkg, const std::string& location) {
  auto reader = TileIndexReader::open(gpkg.string());
  EXPECT_TRUE(reader);
  auto tiles = reader->read_tiles(std::nullopt, AxisAlignedBox(-1e300, 1e300, -1e300, 1e300));
  EXPECT_TRUE(tiles) << tiles.error().to_string();
  for (const TileInfo& tile : tiles ? *tiles : std::vector<TileInfo>{}) {
    if (tile.location == location) return tile.chunks;
  }
  ADD_FAILURE() << "no tile " << location;
  return std::nullopt;
}

// Whether the index holds for the file the bounds a full decode gives, with its stamp.
void expect_decoded_bounds(const fs::path& gpkg, const std::string& location) {
  const auto entry = chunk_entry(gpkg, location);
  ASSERT_TRUE(entry && *entry) << location << ": " << (entry ? entry->error() : "no entry");
  EXPECT_EQ((*entry)->stamp, *file_stamp(location)) << location;
  EXPECT_EQ((*entry)->chunks, *decoded_units(location)) << location;
}

std::string file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class BuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logging::set_max_level(logging::Level::Warn);
    logging::set_sink([this](const logging::Record& r) {
      std::lock_guard lock(mutex_);
      warnings_.push_back(std::string(r.target) + ": " + std::string(r.message));
    });
  }
  void TearDown() override {
    logging::set_sink({});
    logging::set_max_level(logging::Level::Off);
  }
  std::vector<std::string> warnings() {
    std::lock_guard lock(mutex_);
    return warnings_;
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // A tile of 4 x 4 points spaced 1 apart from (x0, y0).
  std::string tile(const std::string& name, double x0, double y0, std::vector<las::Vlr> vlrs = {kRdNewVlr()},
                   bool compressed = false) {
    fs::create_directories(fs::path(path(name)).parent_path());
    TileOptions options;
    options.compressed = compressed;
    options.vlrs = std::move(vlrs);
    write_tile(path(name), grid(x0, y0, 4, 1.0), options);
    return path(name);
  }
  static las::Vlr kRdNewVlr() { return wkt_vlr(kRdNew); }

  std::vector<std::string> folder_entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path())) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  IndexReport build_ok(const std::vector<std::string>& paths, IndexOptions options = {},
                       const std::string& index = "index.gpkg") {
    auto report = build_index(path(index), paths, options);
    EXPECT_TRUE(report.has_value()) << report.error().to_string();
    return report ? *report : IndexReport{};
  }
  std::string build_error(const std::vector<std::string>& paths, IndexOptions options = {},
                          const std::string& index = "index.gpkg") {
    auto report = build_index(path(index), paths, options);
    EXPECT_FALSE(report.has_value());
    return report ? "" : report.error().to_string();
  }

  TempDir dir_;

 private:
  std::mutex mutex_;
  std::vector<std::string> warnings_;
};

TEST_F(BuilderTest, WritesAGeoPackageOfEveryTileFound) {
  const std::string a = tile("tiles/a.las", 100, 200);
  const std::string b = tile("tiles/deeper/b.LAZ", 104, 200, {kRdNewVlr()}, true);
  const std::string c = tile("single.las", 100, 204);
  std::ofstream(path("tiles/notes.txt")) << "not a tile";
  const IndexReport report = build_ok({path("tiles"), c, path("tiles/a.las")});
  EXPECT_EQ(report.tiles_indexed, 3u);
  EXPECT_TRUE(report.skipped.empty());
  EXPECT_TRUE(warnings().empty());

  const fs::path gpkg = path("index.gpkg");
  EXPECT_EQ(query(gpkg, "PRAGMA application_id"), Rows{{"1196444487"}});
  EXPECT_EQ(query(gpkg, "PRAGMA user_version"), Rows{{"10400"}});
  EXPECT_EQ(query(gpkg, "SELECT srs_id FROM gpkg_spatial_ref_sys ORDER BY srs_id"),
            (Rows{{"-1"}, {"0"}, {"4326"}, {"28992"}}));
  EXPECT_EQ(query(gpkg, "SELECT srs_name, organization, organization_coordsys_id, definition FROM"
                        " gpkg_spatial_ref_sys WHERE srs_id = 28992"),
            (Rows{{"Amersfoort / RD New", "EPSG", "28992", kRdNew}}));
  EXPECT_EQ(query(gpkg, "SELECT table_name, data_type, identifier, min_x, min_y, max_x, max_y, srs_id"
                        " FROM gpkg_contents ORDER BY table_name"),
            (Rows{{"tiles", "features", "tiles", "100.0", "200.0", "107.0", "207.0", "28992"},
                  {"tiles_chunks", "attributes", "tiles_chunks", "NULL", "NULL", "NULL", "NULL", "NULL"}}));
  const auto last_change = query(gpkg, "SELECT last_change FROM gpkg_contents WHERE table_name = 'tiles'");
  EXPECT_TRUE(std::regex_match(last_change[0][0], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  EXPECT_EQ(query(gpkg, "SELECT * FROM gpkg_geometry_columns"),
            (Rows{{"tiles", "geom", "POLYGON", "28992", "0", "0"}}));
  EXPECT_EQ(query(gpkg, "SELECT * FROM gpkg_extensions"),
            (Rows{{"tiles", "geom", "gpkg_rtree_index", "http://www.geopackage.org/spec120/#extension_rtree",
                   "write-only"}}));
  EXPECT_EQ(query(gpkg, "SELECT name FROM sqlite_master WHERE type = 'trigger' ORDER BY name"),
            (Rows{{"rtree_tiles_geom_delete"}, {"rtree_tiles_geom_insert"}, {"rtree_tiles_geom_update2"},
                  {"rtree_tiles_geom_update4"}, {"rtree_tiles_geom_update5"}, {"rtree_tiles_geom_update6"},
                  {"rtree_tiles_geom_update7"}}));

  // Rows in path order, each file once, with the header's figures and the file's.
  const Rows rows = query(gpkg, "SELECT fid, location, point_count, point_format, las_version, min_z, max_z,"
                                " file_size, modified FROM tiles ORDER BY fid");
  ASSERT_EQ(rows.size(), 3u);
  std::vector<std::string> sorted = {a, b, c};
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(rows[i][0], std::to_string(i + 1));
    EXPECT_EQ(rows[i][1], sorted[i]);
    EXPECT_EQ((std::vector<std::string>(rows[i].begin() + 2, rows[i].begin() + 7)),
              (std::vector<std::string>{"16", "1", "1.2", "5.0", "8.0"}));
    EXPECT_EQ(rows[i][7], std::to_string(fs::file_size(sorted[i])));
    EXPECT_TRUE(std::regex_match(rows[i][8], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)"))) << rows[i][8];
  }

  // The geometry: a 40-byte header with the envelope, then the rectangle as a WKB polygon.
  const Rows blob = query(gpkg, "SELECT hex(geom) FROM tiles WHERE location = '" + a + "'");
  EXPECT_EQ(blob[0][0].substr(0, 16), "4750000340710000");  // "GP", version 0, flags 3, SRS 28992
  EXPECT_EQ(blob[0][0].size(), 2u * (40 + 9 + 4 + 80));
  // The R-tree, filled by the triggers, finds each tile by its footprint.
  EXPECT_EQ(query(gpkg, "SELECT t.location FROM tiles t JOIN rtree_tiles_geom r ON r.id = t.fid"
                        " WHERE r.minx <= 105 AND r.maxx >= 105 AND r.miny <= 201 AND r.maxy >= 201"),
            Rows{{b}});
  EXPECT_EQ(query(gpkg, "SELECT count(*) FROM rtree_tiles_geom"), Rows{{"3"}});

  auto reader = TileIndexReader::open(gpkg.string());
  ASSERT_TRUE(reader);
  auto tiles = reader->read_tiles(std::nullopt, AxisAlignedBox(100, 101, 206, 207));
  ASSERT_TRUE(tiles) << tiles.error().to_string();
  ASSERT_EQ(tiles->size(), 1u);
  EXPECT_EQ(tiles->front().location, c);
  EXPECT_EQ(tiles->front().bounds.min_x, 100);
  EXPECT_EQ(tiles->front().bounds.max_y, 207);
  EXPECT_EQ(folder_entries(), (std::vector<std::string>{"index.gpkg", "single.las", "tiles"}));
}

TEST_F(BuilderTest, ExtractsWhatAHandMadeIndexExtracts) {
  std::vector<std::pair<std::string, Rect>> hand_made;
  for (int i = 0; i < 4; ++i) {
    const double x = 10 * (i % 2), y = 10 * (i / 2);
    const std::string name = "t" + std::to_string(i) + (i % 2 ? ".laz" : ".las");
    tile(name, x, y, {kRdNewVlr()}, i % 2 == 1);
    hand_made.push_back({path(name), {x, y, x + 3, y + 3}});
  }
  write_index(path("hand.gpkg"), hand_made);
  build_ok({dir_.path().string()}, {}, "built.gpkg");
  const AxisAlignedBox box(1.5, 12.5, 0.5, 11.5);
  auto by_hand = pipeline::ExtractionPipeline(path("hand.gpkg"), path("by_hand.las"), false).execute(box);
  auto built = pipeline::ExtractionPipeline(path("built.gpkg"), path("built.las"), false).execute(box);
  ASSERT_TRUE(by_hand) << by_hand.error().to_string();
  ASSERT_TRUE(built) << built.error().to_string();
  EXPECT_EQ(built->tiles_processed, 4u);
  EXPECT_EQ(built->points_written, by_hand->points_written);
  EXPECT_GT(built->points_written, 0u);
  EXPECT_EQ(file_bytes(path("built.las")), file_bytes(path("by_hand.las")));
}

TEST(CoordinateSystem, FromWktAndGeoTiffKeys) {
  const struct {
    const char* wkt;
    std::optional<int> epsg;
    const char* name;
  } wkts[] = {
      {kRdNew, 28992, "Amersfoort / RD New"},
      {"PROJCRS[\"ETRS89 / UTM zone 31N\",BASEGEOGCRS[\"ETRS89\",ID[\"EPSG\",4258]],CONVERSION[\"UTM zone 31N\","
       "METHOD[\"Transverse Mercator\",ID[\"EPSG\",9807]]],CS[Cartesian,2],ID[\"EPSG\",25831]]",
       25831, "ETRS89 / UTM zone 31N"},
      {"COMPD_CS[\"RD New + NAP\",PROJCS[\"Amersfoort / RD New\",GEOGCS[\"Amersfoort\",AUTHORITY[\"EPSG\",\"4289\"]],"
       "AUTHORITY[\"EPSG\",\"28992\"]],VERT_CS[\"NAP height\",AUTHORITY[\"EPSG\",\"5709\"]]]",
       28992, "RD New + NAP"},
      {"COMPD_CS[\"both\",PROJCS[\"a\",AUTHORITY[\"EPSG\",\"1\"]],VERT_CS[\"b\"],AUTHORITY[\"EPSG\",\"7415\"]]", 7415,
       "both"},
      {"LOCAL_CS[\"site grid\",UNIT[\"metre\",1]]", std::nullopt, "site grid"},
      {"PROJCS[\"quoted \"\"name\"\"\",AUTHORITY[\"ESRI\",\"102100\"]]", std::nullopt, "quoted \"name\""},
      {"PROJCS[\"unclosed\",AUTHORITY[\"EPSG\",\"28992\"]", std::nullopt, ""},
      {"not wkt at all", std::nullopt, ""},
      {"", std::nullopt, ""},
  };
  for (const auto& c : wkts) {
    EXPECT_EQ(wkt_epsg(c.wkt), c.epsg) << c.wkt;
    EXPECT_EQ(wkt_name(c.wkt), c.name) << c.wkt;
  }
  // Nesting past any real WKT is refused, not recursed into.
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "A[";
  EXPECT_EQ(wkt_epsg(deep), std::nullopt);

  const auto keys = [](std::vector<std::uint16_t> words) {
    std::vector<std::uint8_t> bytes(words.size() * 2);
    std::memcpy(bytes.data(), words.data(), bytes.size());
    return geotiff_epsg(bytes);
  };
  EXPECT_EQ(keys({1, 1, 0, 2, 2048, 0, 1, 4289, 3072, 0, 1, 28992}), 28992);  // projected before geographic
  EXPECT_EQ(keys({1, 1, 0, 1, 2048, 0, 1, 4326}), 4326);
  EXPECT_EQ(keys({1, 1, 0, 1, 3072, 0, 1, 32767}), std::nullopt);            // user-defined
  EXPECT_EQ(keys({1, 1, 0, 1, 3072, 0, 1, 40000}), std::nullopt);            // private
  EXPECT_EQ(keys({1, 1, 0, 1, 3072, 34736, 1, 0}), std::nullopt);            // value elsewhere
  EXPECT_EQ(keys({1, 1, 0, 9, 3072, 0, 1, 28992}), 28992);                   // more keys announced than held
  EXPECT_EQ(keys({1, 1, 0}), std::nullopt);

  // A WKT's own code first; the GeoTIFF keys only without one.
  las::HeaderBuilder builder;
  builder.vlrs = {utm31(), wkt_vlr(kRdNew)};
  EXPECT_EQ(coordinate_system_of(*builder.build())->epsg, 28992);
  builder.vlrs = {utm31(), wkt_vlr("LOCAL_CS[\"site grid\"]")};
  const auto mixed = coordinate_system_of(*builder.build());
  EXPECT_EQ(mixed->epsg, 32631);
  EXPECT_EQ(mixed->wkt, "LOCAL_CS[\"site grid\"]");
  builder.vlrs = {wkt_vlr("")};
  EXPECT_EQ(coordinate_system_of(*builder.build()), std::nullopt);
}

TEST_F(BuilderTest, RefusesTilesOfDifferentCoordinateSystemsAndWritesNothing) {
  tile("a.las", 0, 0);
  tile("b.las", 10, 0);
  tile("c.las", 20, 0, {utm31()});
  tile("d.las", 30, 0, {});
  std::ofstream(path("index.gpkg")) << "an earlier index";
  const std::string error = build_error({dir_.path().string()});
  EXPECT_EQ(error, "Output file error: the tiles have different coordinate systems, and an index holds one: "
                   "EPSG:28992 (2 tiles, e.g. " + path("a.las") + ") and EPSG:32631 (1 tile, e.g. " + path("c.las") +
                   "): " + path("index.gpkg"));
  EXPECT_EQ(file_bytes(path("index.gpkg")), "an earlier index");
  EXPECT_EQ(folder_entries(), (std::vector<std::string>{"a.las", "b.las", "c.las", "d.las", "index.gpkg"}));
}

TEST_F(BuilderTest, TilesWithoutCoordinateSystemAreIndexedWithAWarning) {
  tile("mixed/a.las", 0, 0, {});
  tile("mixed/b.las", 10, 0, {utm31()});
  tile("mixed/c.las", 20, 0, {});
  build_ok({path("mixed")});
  EXPECT_EQ(query(path("index.gpkg"), "SELECT srs_id FROM gpkg_geometry_columns"), Rows{{"32631"}});
  EXPECT_EQ(query(path("index.gpkg"), "SELECT srs_name, organization, definition FROM gpkg_spatial_ref_sys"
                                      " WHERE srs_id = 32631"),
            (Rows{{"EPSG:32631", "EPSG", "undefined"}}));
  // Every geometry names the table's SRS, the first one written before the system was known too.
  EXPECT_EQ(query(path("index.gpkg"), "SELECT DISTINCT substr(hex(geom), 9, 8) FROM tiles"), Rows{{"777F0000"}});
  EXPECT_EQ(warnings(), std::vector<std::string>{"karvik: 2 tiles have no coordinate system (e.g. " +
                                                 path("mixed/a.las") + "); indexed as EPSG:32631"});

  tile("none/a.las", 0, 0, {});
  build_ok({path("none")}, {}, "none.gpkg");
  EXPECT_EQ(query(path("none.gpkg"), "SELECT srs_id FROM gpkg_contents WHERE data_type = 'features'"), Rows{{"-1"}});
  EXPECT_EQ(warnings().back(), "karvik: No tile has a coordinate system (e.g. " + path("none/a.las") +
                                   "); the index has an undefined one");
}

TEST_F(BuilderTest, UnreadableFilesAreNamedAndLeftOut) {
  const std::string good = tile("good.las", 0, 0);
  std::ofstream(path("garbage.las")) << "not a LAS file at all, just some text";
  // A LAS file cut short: its header announces more points than it holds.
  tile("cut.las", 10, 0);
  fs::resize_file(path("cut.las"), fs::file_size(path("cut.las")) - 5);
  // A LAZ file whose LASzip VLR names an unknown compressor.
  tile("odd.laz", 20, 0, {kRdNewVlr()}, true);
  {
    std::fstream f(path("odd.laz"), std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes = file_bytes(path("odd.laz"));
    const auto at = bytes.find("laszip encoded");
    ASSERT_NE(at, std::string::npos);
    f.seekp(static_cast<std::streamoff>(at + 52));  // the VLR's compressor field, after its 54-byte header
    f.put(16);
  }
  // A name the index cannot store as text.
  const std::string latin1 = path("caf\xe9.las");
  fs::copy_file(good, latin1);
  const IndexReport report = build_ok({dir_.path().string(), path("missing.las")});
  EXPECT_EQ(report.tiles_indexed, 1u);
  EXPECT_EQ(query(path("index.gpkg"), "SELECT location FROM tiles"), Rows{{good}});
  std::set<std::pair<std::string, std::string>> skipped;
  for (const auto& s : report.skipped) skipped.insert({s.path, s.reason});
  const std::set<std::pair<std::string, std::string>> expected = {
      {path("missing.las"), "No such file or directory"},
      {path("garbage.las"), "the file signature is not 'LASF': 'not '"},
      {path("cut.las"), "the header announces 16 points of 28 bytes, but the file holds 443 bytes of point data"},
      {path("odd.laz"), "laszip error: unknown compressor 16"},
      {latin1, "the path is not valid UTF-8, which the index stores paths as"},
  };
  EXPECT_EQ(skipped, expected);
  std::set<std::string> logged;
  for (const auto& w : warnings()) logged.insert(w);
  for (const auto& [file, reason] : expected) {
    EXPECT_TRUE(logged.contains("karvik: Skipped " + to_utf8_lossy(file) + ": " + reason)) << file;
  }
}

TEST_F(BuilderTest, NoReadableTileWritesNothing) {
  std::ofstream(path("bad.las")) << "LASF";
  fs::create_directories(path("empty"));
  std::ofstream(path("index.gpkg")) << "an earlier index";
  EXPECT_EQ(build_error({path("bad.las")}),
            "Output file error: none of the 1 LAS/LAZ files could be read; nothing written: " + path("index.gpkg"));
  EXPECT_EQ(build_error({path("empty")}),
            "Output file error: no LAS/LAZ file found to index: " + path("index.gpkg"));
  EXPECT_EQ(build_error({}), "Output file error: no LAS/LAZ file found to index: " + path("index.gpkg"));
  EXPECT_EQ(file_bytes(path("index.gpkg")), "an earlier index");
  EXPECT_EQ(folder_entries(), (std::vector<std::string>{"bad.las", "empty", "index.gpkg"}));
  // A folder that does not exist, and an index path that is no regular file.
  EXPECT_EQ(build_error({path("good.las")}, {}, "no/such/dir/index.gpkg").rfind("Output file error: ", 0), 0u);
  tile("good.las", 0, 0);
  EXPECT_EQ(build_error({path("good.las")}, {}, "empty"), "Output file error: not a regular file: " + path("empty"));
}

// The real files of other programs: every readable one indexes, every broken one is named.
TEST_F(BuilderTest, RealSamples) {
  const std::set<std::string> broken = {
      "laszip__broken_coder.laz",        "laszip__broken_compressor.laz",     "laszip__broken_type.laz",
      "laszip__broken_version.laz",      "pdal__1.2-with-color-clipped.las", "pdal__garbage_nVariableLength.las"};
  std::size_t readable = 0, with_chunks = 0;
  for (const auto& entry : fs::directory_iterator(KARVIK_SAMPLES_DIR)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
    // Each alone: the samples come in many coordinate systems.
    const std::string index = "sample-" + std::to_string(readable) + ".gpkg";
    auto report = build_index(path(index), {entry.path().string()}, {});
    if (broken.contains(name)) {
      EXPECT_FALSE(report.has_value()) << name;
      const auto logged = warnings();
      EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [&](const std::string& w) {
        return w.starts_with("karvik: Skipped " + fs::absolute(entry.path()).lexically_normal().string() + ": ");
      })) << name;
      continue;
    }
    ASSERT_TRUE(report.has_value()) << name << ": " << report.error().to_string();
    EXPECT_EQ(report->tiles_indexed, 1u) << name;
    // Chunk bounds where every point decodes; none, with the reason, where some do not.
    const std::string location = fs::absolute(entry.path()).lexically_normal().string();
    if (auto units = decoded_units(location); units && !units->empty()) {
      expect_decoded_bounds(path(index), location);
      EXPECT_TRUE(report->without_chunks.empty()) << name;
      ++with_chunks;
    } else if (units) {
      EXPECT_FALSE(chunk_entry(path(index), location).has_value()) << name << " holds no point";
    } else {
      EXPECT_FALSE(chunk_entry(path(index), location).has_value()) << name;
      ASSERT_EQ(report->without_chunks.size(), 1u) << name;
      EXPECT_EQ(report->without_chunks[0].reason, units.error()) << name;
    }
    auto file = las::io::InputFile::open(entry.path().string());
    auto header = las::read_header(*file);
    ASSERT_TRUE(header) << name;
    EXPECT_EQ(query(path(index), "SELECT point_count, las_version FROM tiles"),
              (Rows{{std::to_string(header->header.number_of_points()), header->header.version().text()}}))
        << name;
    ++readable;
  }
  EXPECT_EQ(readable, 53u);
  EXPECT_GT(with_chunks, 40u);
  const auto srs_of = [&](const std::string& sample) {
    build_ok({std::string(KARVIK_SAMPLES_DIR) + "/" + sample}, {}, "one.gpkg");
    return query(path("one.gpkg"), "SELECT srs_id FROM gpkg_contents WHERE data_type = 'features'")[0][0];
  };
  EXPECT_EQ(srs_of("pdal__epsg_4326.las"), "4326");           // GeoTIFF keys only
  EXPECT_EQ(srs_of("laz-rs__point10.las"), "-1");             // none
  EXPECT_EQ(srs_of("pdal__permutations_1.2_0.las"), "26915"); // WKT and GeoTIFF keys

  // The eight tiles of one dataset, in one index, extract what a hand-made index over them does.
  const std::string tiles = std::string(KARVIK_SAMPLES_DIR) + "/entwine-ellipsoid-multi-laz";
  const IndexReport report = build_ok({tiles}, {}, "ellipsoid.gpkg");
  EXPECT_EQ(report.tiles_indexed, 8u);
  std::vector<std::pair<std::string, Rect>> hand_made;
  for (const auto& row : query(path("ellipsoid.gpkg"), "SELECT location FROM tiles ORDER BY fid")) {
    auto file = las::io::InputFile::open(row[0]);
    const las::Bounds b = las::read_header(*file)->header.bounds();
    hand_made.push_back({row[0], Rect::from_pairs(b.min.x, b.max.x, b.min.y, b.max.y)});
  }
  write_index(path("hand.gpkg"), hand_made);
  auto contents = query(path("ellipsoid.gpkg"), "SELECT min_x, max_x, min_y, max_y FROM gpkg_contents WHERE data_type = 'features'")[0];
  const double mid_x = (std::stod(contents[0]) + std::stod(contents[1])) / 2;
  const double mid_y = (std::stod(contents[2]) + std::stod(contents[3])) / 2;
  const AxisAlignedBox box(mid_x - 40, mid_x + 10, mid_y - 15, mid_y + 40);
  auto by_hand = pipeline::ExtractionPipeline(path("hand.gpkg"), path("by_hand.laz"), false).execute(box);
  auto built = pipeline::ExtractionPipeline(path("ellipsoid.gpkg"), path("built.laz"), false).execute(box);
  ASSERT_TRUE(by_hand && built);
  EXPECT_GT(built->points_written, 0u);
  EXPECT_EQ(built->tiles_processed, by_hand->tiles_processed);
  EXPECT_EQ(file_bytes(path("built.laz")), file_bytes(path("by_hand.laz")));
}

TEST_F(BuilderTest, UpdateAddsRereadsAndRemovesTilesKeepingFids) {
  tile("t/a.las", 0, 0);
  tile("t/b.las", 10, 0);
  tile("t/c.las", 20, 0);
  build_ok({path("t")});
  const Rows before = query(path("index.gpkg"), "SELECT fid, location, modified FROM tiles ORDER BY fid");

  // b rewritten with more points elsewhere, c deleted, d added.
  TileOptions options;
  options.vlrs = {kRdNewVlr()};
  write_tile(path("t/b.las"), grid(50, 50, 6, 1.0), options);
  fs::remove(path("t/c.las"));
  tile("t/d.las", 30, 0);
  const IndexReport report = build_ok({path("t")}, {.layer = "tiles", .update = true});
  EXPECT_EQ(report.tiles_indexed, 3u);
  EXPECT_EQ(report.tiles_read, 2u);
  EXPECT_EQ(report.tiles_removed, 1u);

  const Rows after = query(path("index.gpkg"), "SELECT fid, location, point_count FROM tiles ORDER BY fid");
  EXPECT_EQ(after, (Rows{{"1", path("t/a.las"), "16"}, {"2", path("t/b.las"), "36"}, {"4", path("t/d.las"), "16"}}));
  EXPECT_EQ(query(path("index.gpkg"), "SELECT modified FROM tiles WHERE fid = 1")[0][0], before[0][2]);
  // The R-tree follows the rows: b's new footprint, c gone.
  EXPECT_EQ(query(path("index.gpkg"), "SELECT id, minx, maxy FROM rtree_tiles_geom ORDER BY id"),
            (Rows{{"1", "0.0", "3.0"}, {"2", "50.0", "55.0"}, {"4", "30.0", "3.0"}}));
  EXPECT_EQ(query(path("index.gpkg"), "SELECT min_x, min_y, max_x, max_y FROM gpkg_contents WHERE data_type = 'features'"),
            (Rows{{"0.0", "0.0", "55.0", "55.0"}}));
  auto reader = TileIndexReader::open(path("index.gpkg"));
  auto tiles = reader->read_tiles(std::nullopt, AxisAlignedBox(52, 53, 52, 53));
  ASSERT_TRUE(tiles);
  EXPECT_EQ(tiles->front().location, path("t/b.las"));

  // Nothing changed: every row kept, nothing read, even without paths.
  const IndexReport again = build_ok({}, {.layer = "tiles", .update = true});
  EXPECT_EQ(again.tiles_indexed, 3u);
  EXPECT_EQ(again.tiles_read, 0u);

  // A file that cannot be read again keeps its row as it was.
  std::ofstream(path("t/a.las"), std::ios::trunc) << "broken now";
  const IndexReport broken = build_ok({}, {.layer = "tiles", .update = true});
  EXPECT_EQ(broken.tiles_indexed, 3u);
  ASSERT_EQ(broken.skipped.size(), 1u);
  EXPECT_EQ(broken.skipped[0].path, path("t/a.las"));
  EXPECT_EQ(query(path("index.gpkg"), "SELECT point_count, modified FROM tiles WHERE fid = 1"),
            (Rows{{"16", before[0][2]}}));

  // An update of an index that does not exist yet creates it.
  EXPECT_EQ(build_ok({path("t/d.las")}, {.layer = "tiles", .update = true}, "fresh.gpkg").tiles_indexed, 1u);
}

TEST_F(BuilderTest, UpdateRefusesWhatItCannotUpdateAndChangesNothing) {
  tile("t/a.las", 0, 0);
  build_ok({path("t")});
  tile("t/utm.las", 10, 0, {utm31()});
  const std::string ours = file_bytes(path("index.gpkg"));
  const IndexOptions update{.layer = "tiles", .update = true};
  EXPECT_EQ(build_error({path("t")}, update),
            "Output file error: the tiles have different coordinate systems, and an index holds one: EPSG:28992 "
            "(1 tile, in the index) and EPSG:32631 (1 tile, e.g. " + path("t/utm.las") +
                "); the index is unchanged: " + path("index.gpkg"));
  EXPECT_EQ(file_bytes(path("index.gpkg")), ours);
  EXPECT_EQ(build_error({path("t/a.las")}, {.layer = "other", .update = true}),
            "Output file error: the GeoPackage has no feature table 'other'; the index is unchanged: " +
                path("index.gpkg"));

  // Indexes of other tools: one without a location column, one without our other columns.
  Gpkg lidr(path("lidr.gpkg"));
  lidr.standard_tables();
  lidr.exec("INSERT INTO gpkg_contents VALUES ('tiles', 'features')");
  lidr.exec("INSERT INTO gpkg_geometry_columns VALUES ('tiles', 'geom')");
  lidr.exec("CREATE TABLE tiles (fid INTEGER PRIMARY KEY, filename TEXT, geom BLOB)");
  lidr.exec("INSERT INTO tiles (filename) VALUES ('x.laz')");
  Gpkg plain(path("plain.gpkg"));
  plain.standard_tables();
  plain.feature_table();
  plain.tile("x.laz", {0, 0, 1, 1});
  const std::string lidr_bytes = file_bytes(path("lidr.gpkg")), plain_bytes = file_bytes(path("plain.gpkg"));
  EXPECT_EQ(build_error({path("t/a.las")}, update, "lidr.gpkg"),
            "Output file error: not a karvik tile index: the table 'tiles' has no location column; the index is "
            "unchanged: " + path("lidr.gpkg"));
  EXPECT_EQ(build_error({path("t/a.las")}, update, "plain.gpkg"),
            "Output file error: not a karvik tile index: the table 'tiles' lacks the columns point_count, "
            "point_format, las_version, min_z, max_z, file_size, modified; the index is unchanged: " +
                path("plain.gpkg"));
  EXPECT_EQ(file_bytes(path("lidr.gpkg")), lidr_bytes);
  EXPECT_EQ(file_bytes(path("plain.gpkg")), plain_bytes);
  std::ofstream(path("text.gpkg")) << "not a database";
  EXPECT_TRUE(build_error({path("t/a.las")}, update, "text.gpkg").starts_with("Output file error: "));
  EXPECT_EQ(file_bytes(path("text.gpkg")), "not a database");
}

TEST_F(BuilderTest, AnyLayerNameIsWrittenAndUpdated) {
  tile("a.las", 0, 0);
  const IndexOptions options{.layer = "tiles \"2024\"; drop", .update = false};
  build_ok({path("a.las")}, options);
  tile("b.las", 10, 0);
  EXPECT_EQ(build_ok({path("b.las")}, {.layer = options.layer, .update = true}).tiles_indexed, 2u);
  EXPECT_EQ(query(path("index.gpkg"), "SELECT count(*) FROM \"rtree_tiles \"\"2024\"\"; drop_geom\""),
            Rows{{"2"}});
  auto reader = TileIndexReader::open(path("index.gpkg"));
  auto tiles = reader->read_tiles(std::nullopt, AxisAlignedBox(11, 12, 1, 2));
  ASSERT_TRUE(tiles) << tiles.error().to_string();
  EXPECT_EQ(tiles->front().location, path("b.las"));
}

TEST_F(BuilderTest, UpdateGivesAnIndexWithoutCoordinateSystemTheNewTilesOne) {
  tile("t/a.las", 0, 0, {});
  build_ok({path("t")});
  tile("t/b.las", 10, 0, {utm31()});
  build_ok({path("t")}, {.layer = "tiles", .update = true});
  EXPECT_EQ(query(path("index.gpkg"), "SELECT srs_id FROM gpkg_contents WHERE data_type = 'features'"),
            Rows{{"32631"}});
  EXPECT_EQ(query(path("index.gpkg"), "SELECT DISTINCT substr(hex(geom), 9, 8) FROM tiles"), Rows{{"777F0000"}});
}

// Points in a pattern that gives every unit bounds of its own.
std::vector<TilePoint> scattered(std::size_t count) {
  std::vector<TilePoint> points;
  for (std::size_t i = 0; i < count; ++i) {
    points.push_back({100 + static_cast<double>(i % 997) * 0.25 + static_cast<double>(i / 20000),
                      200 + static_cast<double>((i * 7919) % 4001) * 0.01, static_cast<double>(i % 1009) * 0.02 - 3});
  }
  return points;
}

TEST_F(BuilderTest, ChunkBoundsAreThoseOfAFullDecodeOfEachUnit) {
  const struct {
    const char* name;
    std::uint8_t format;
    bool compressed;
  } cases[] = {{"slices.las", 1, false}, {"f1.laz", 1, true}, {"f3.laz", 3, true},
               {"f6.laz", 6, true},      {"f7.laz", 7, true}};
  for (const auto& c : cases) {
    TileOptions options;
    options.format = c.format;
    options.compressed = c.compressed;
    options.vlrs = {kRdNewVlr()};
    write_tile(path(c.name), scattered(110'000), options);
  }
  const IndexReport report = build_ok({dir_.path().string()});
  EXPECT_EQ(report.tiles_indexed, 5u);
  EXPECT_TRUE(report.without_chunks.empty());
  for (const auto& c : cases) {
    expect_decoded_bounds(path("index.gpkg"), path(c.name));
    EXPECT_EQ(decoded_units(path(c.name))->size(), 3u) << c.name;
  }

  // The table as written: its columns, its index, and a row of every chunk of every tile.
  const fs::path gpkg = path("index.gpkg");
  EXPECT_EQ(query(gpkg, "SELECT name, type, \"notnull\", pk FROM pragma_table_info('tiles_chunks')"),
            (Rows{{"fid", "INTEGER", "1", "1"},         {"tile_fid", "INTEGER", "1", "0"},
                  {"chunk", "INTEGER", "1", "0"},       {"first_point", "INTEGER", "1", "0"},
                  {"point_count", "INTEGER", "1", "0"}, {"min_x", "DOUBLE", "1", "0"},
                  {"max_x", "DOUBLE", "1", "0"},        {"min_y", "DOUBLE", "1", "0"},
                  {"max_y", "DOUBLE", "1", "0"},        {"min_z", "DOUBLE", "1", "0"},
                  {"max_z", "DOUBLE", "1", "0"},        {"file_size", "INTEGER", "1", "0"},
                  {"file_modified_ns", "INTEGER", "1", "0"}}));
  EXPECT_EQ(query(gpkg, "SELECT name FROM pragma_index_info('tiles_chunks_tile_fid')"),
            (Rows{{"tile_fid"}, {"chunk"}}));
  const FileStamp stamp = *file_stamp(path("slices.las"));
  EXPECT_EQ(query(gpkg, "SELECT chunk, first_point, point_count, file_size, file_modified_ns FROM tiles_chunks"
                        " WHERE tile_fid = (SELECT fid FROM tiles WHERE location = '" + path("slices.las") +
                        "') ORDER BY chunk"),
            (Rows{{"0", "0", "50000", std::to_string(stamp.size), std::to_string(stamp.modified_ns)},
                  {"1", "50000", "50000", std::to_string(stamp.size), std::to_string(stamp.modified_ns)},
                  {"2", "100000", "10000", std::to_string(stamp.size), std::to_string(stamp.modified_ns)}}));
  EXPECT_EQ(query(gpkg, "SELECT count(*) FROM tiles_chunks"), Rows{{"15"}});
}

TEST_F(BuilderTest, ATileWhosePointsCannotAllBeReadGetsNoChunkRows) {
  const std::string good = tile("good.laz", 0, 0, {kRdNewVlr()}, true);
  // A LAZ tile whose header announces a point more than its chunks hold: the header reads, the points do not.
  const std::string short_tile = tile("short.laz", 10, 0, {kRdNewVlr()}, true);
  {
    std::fstream f(short_tile, std::ios::in | std::ios::out | std::ios::binary);
    const std::uint32_t count = 17;
    f.seekp(107);  // the legacy point count of a LAS 1.2 header
    f.write(reinterpret_cast<const char*>(&count), 4);
  }
  const IndexReport report = build_ok({dir_.path().string()});
  EXPECT_EQ(report.tiles_indexed, 2u);
  ASSERT_EQ(report.without_chunks.size(), 1u);
  EXPECT_EQ(report.without_chunks[0].path, short_tile);
  EXPECT_EQ(warnings(), std::vector<std::string>{"karvik: No chunk bounds for " + short_tile +
                                                 " (it will be read whole): " + report.without_chunks[0].reason});
  EXPECT_EQ(query(path("index.gpkg"), "SELECT t.location, count(c.fid) FROM tiles t LEFT JOIN tiles_chunks c"
                                      " ON c.tile_fid = t.fid GROUP BY t.fid ORDER BY t.fid"),
            (Rows{{good, "1"}, {short_tile, "0"}}));
  EXPECT_FALSE(chunk_entry(path("index.gpkg"), short_tile).has_value());
  expect_decoded_bounds(path("index.gpkg"), good);
}

TEST_F(BuilderTest, WithoutChunksTheIndexHoldsHeadersOnly) {
  const std::string a = tile("a.laz", 0, 0, {kRdNewVlr()}, true);
  build_ok({a}, {.layer = "tiles", .update = false, .chunks = false});
  EXPECT_EQ(query(path("index.gpkg"), "SELECT table_name FROM gpkg_contents"), Rows{{"tiles"}});
  EXPECT_EQ(query(path("index.gpkg"), "SELECT count(*) FROM sqlite_master WHERE name LIKE 'tiles_chunks%'"),
            Rows{{"0"}});
  EXPECT_FALSE(chunk_entry(path("index.gpkg"), a).has_value());
}

TEST_F(BuilderTest, UpdateKeepsTheChunkBoundsCurrent) {
  const std::string a = tile("t/a.las", 0, 0), b = tile("t/b.laz", 10, 0, {kRdNewVlr()}, true);
  const std::string c = tile("t/c.las", 20, 0);
  const fs::path gpkg = path("index.gpkg");
  build_ok({path("t")});
  const auto rows_of = [&](const std::string& location) {
    return query(gpkg, "SELECT c.fid, c.min_x, c.max_x FROM tiles_chunks c JOIN tiles t ON t.fid = c.tile_fid"
                       " WHERE t.location = '" + location + "' ORDER BY c.chunk");
  };
  const Rows a_rows = rows_of(a);
  ASSERT_EQ(a_rows.size(), 1u);

  // b rewritten elsewhere with the same size (only its time and bounds tell), c deleted, d added.
  TileOptions compressed;
  compressed.compressed = true;
  compressed.vlrs = {kRdNewVlr()};
  const std::uint64_t b_size = fs::file_size(b);
  write_tile(b, grid(60, 0, 4, 1.0), compressed);
  ASSERT_EQ(fs::file_size(b), b_size);
  fs::remove(c);
  const std::string d = tile("t/d.laz", 30, 0, {kRdNewVlr()}, true);
  const IndexReport report = build_ok({path("t")}, {.layer = "tiles", .update = true});
  EXPECT_EQ(report.tiles_read, 2u);
  EXPECT_EQ(rows_of(a), a_rows);
  EXPECT_EQ(rows_of(b)[0][1], "60.0");
  for (const std::string& tile : {a, b, d}) expect_decoded_bounds(gpkg, tile);
  EXPECT_EQ(query(gpkg, "SELECT count(*) FROM tiles_chunks"), Rows{{"3"}});

  // Rows that are not sound (here: a gap) are replaced although the file is unchanged.
  Gpkg(gpkg).exec("UPDATE tiles_chunks SET chunk = 1 WHERE fid = " + a_rows[0][0]);
  EXPECT_EQ(build_ok({}, {.layer = "tiles", .update = true}).tiles_read, 1u);
  expect_decoded_bounds(gpkg, a);
  EXPECT_EQ(build_ok({}, {.layer = "tiles", .update = true}).tiles_read, 0u);

  // Without chunks an update drops them; with them again, every tile gets them.
  build_ok({}, {.layer = "tiles", .update = true, .chunks = false});
  EXPECT_EQ(query(gpkg, "SELECT table_name FROM gpkg_contents"), Rows{{"tiles"}});
  EXPECT_EQ(query(gpkg, "SELECT count(*) FROM sqlite_master WHERE name LIKE 'tiles_chunks%'"), Rows{{"0"}});
  EXPECT_FALSE(chunk_entry(gpkg, a).has_value());
  EXPECT_EQ(build_ok({}, {.layer = "tiles", .update = true}).tiles_read, 3u);
  for (const std::string& tile : {a, b, d}) expect_decoded_bounds(gpkg, tile);
  EXPECT_EQ(query(gpkg, "SELECT data_type FROM gpkg_contents WHERE table_name = 'tiles_chunks'"),
            Rows{{"attributes"}});

  // A table of that name that is not ours is refused, the index unchanged.
  Gpkg(gpkg).exec("DROP TABLE tiles_chunks; CREATE TABLE tiles_chunks (fid INTEGER PRIMARY KEY, notes TEXT)");
  const std::string before = file_bytes(gpkg);
  EXPECT_EQ(build_error({}, {.layer = "tiles", .update = true}),
            "Output file error: the table 'tiles_chunks' is not a karvik chunk table: it lacks the columns "
            "tile_fid, chunk, first_point, point_count, min_x, max_x, min_y, max_y, min_z, max_z, file_size, "
            "file_modified_ns; the index is unchanged: " + gpkg.string());
  EXPECT_EQ(file_bytes(gpkg), before);
}

}  // namespace
}  // namespace karvik_core::index
