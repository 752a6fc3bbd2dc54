#include "index/geopackage.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "index/reader.hpp"
#include "index/sqlite.hpp"

namespace karvik_core::index::geopackage {
namespace {

using geometry::Rect;
using sqlite::exec;
using sqlite::quote_identifier;
using sqlite::Statement;

constexpr std::int64_t kApplicationId = 0x47504B47;  // "GPKG"
constexpr std::int64_t kUserVersion = 10400;         // GeoPackage 1.4
constexpr std::int64_t kCustomSrs = 100000;          // first id for a system without EPSG code
constexpr char kGeometryColumn[] = "geom";

constexpr char kWgs84Wkt[] =
    "GEOGCS[\"WGS 84\",DATUM[\"WGS_1984\",SPHEROID[\"WGS 84\",6378137,298.257223563,AUTHORITY[\"EPSG\",\"7030\"]],"
    "AUTHORITY[\"EPSG\",\"6326\"]],PRIMEM[\"Greenwich\",0,AUTHORITY[\"EPSG\",\"8901\"]],UNIT[\"degree\","
    "0.0174532925199433,AUTHORITY[\"EPSG\",\"9122\"]],AXIS[\"Latitude\",NORTH],AXIS[\"Longitude\",EAST],"
    "AUTHORITY[\"EPSG\",\"4326\"]]";

constexpr char kCoreTables[] =
    "CREATE TABLE gpkg_spatial_ref_sys (srs_name TEXT NOT NULL, srs_id INTEGER NOT NULL PRIMARY KEY,"
    " organization TEXT NOT NULL, organization_coordsys_id INTEGER NOT NULL, definition TEXT NOT NULL,"
    " description TEXT);"
    "CREATE TABLE gpkg_contents (table_name TEXT NOT NULL PRIMARY KEY, data_type TEXT NOT NULL,"
    " identifier TEXT UNIQUE, description TEXT DEFAULT '',"
    " last_change DATETIME NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')),"
    " min_x DOUBLE, min_y DOUBLE, max_x DOUBLE, max_y DOUBLE, srs_id INTEGER,"
    " CONSTRAINT fk_gc_r_srs_id FOREIGN KEY (srs_id) REFERENCES gpkg_spatial_ref_sys(srs_id));"
    "CREATE TABLE gpkg_geometry_columns (table_name TEXT NOT NULL, column_name TEXT NOT NULL,"
    " geometry_type_name TEXT NOT NULL, srs_id INTEGER NOT NULL, z TINYINT NOT NULL, m TINYINT NOT NULL,"
    " CONSTRAINT pk_geom_cols PRIMARY KEY (table_name, column_name),"
    " CONSTRAINT uk_gc_table_name UNIQUE (table_name),"
    " CONSTRAINT fk_gc_tn FOREIGN KEY (table_name) REFERENCES gpkg_contents(table_name),"
    " CONSTRAINT fk_gc_srs FOREIGN KEY (srs_id) REFERENCES gpkg_spatial_ref_sys (srs_id));"
    "CREATE TABLE gpkg_extensions (table_name TEXT, column_name TEXT, extension_name TEXT NOT NULL,"
    " definition TEXT NOT NULL, scope TEXT NOT NULL,"
    " CONSTRAINT ge_tce UNIQUE (table_name, column_name, extension_name));"
    "INSERT INTO gpkg_spatial_ref_sys VALUES ('Undefined Cartesian SRS', -1, 'NONE', -1, 'undefined',"
    " 'undefined Cartesian coordinate reference system');"
    "INSERT INTO gpkg_spatial_ref_sys VALUES ('Undefined geographic SRS', 0, 'NONE', 0, 'undefined',"
    " 'undefined geographic coordinate reference system');";

// The R-tree triggers of GeoPackage 1.4 (insert, update2, update4 to update7, delete).
std::string rtree_triggers(const std::string& table) {
  const std::string t = quote_identifier(table), c = quote_identifier(kGeometryColumn);
  const std::string r = quote_identifier("rtree_" + table + "_" + kGeometryColumn);
  const auto name = [&](const char* suffix) {
    return quote_identifier("rtree_" + table + "_" + kGeometryColumn + "_" + suffix);
  };
  const std::string values = "(NEW.\"fid\", ST_MinX(NEW." + c + "), ST_MaxX(NEW." + c + "), ST_MinY(NEW." + c +
                             "), ST_MaxY(NEW." + c + "))";
  const std::string new_present = "(NEW." + c + " NOTNULL AND NOT ST_IsEmpty(NEW." + c + "))";
  const std::string new_absent = "(NEW." + c + " ISNULL OR ST_IsEmpty(NEW." + c + "))";
  const std::string old_present = "(OLD." + c + " NOTNULL AND NOT ST_IsEmpty(OLD." + c + "))";
  const std::string old_absent = "(OLD." + c + " ISNULL OR ST_IsEmpty(OLD." + c + "))";
  return "CREATE TRIGGER " + name("insert") + " AFTER INSERT ON " + t + " WHEN " + new_present +
         " BEGIN INSERT OR REPLACE INTO " + r + " VALUES " + values + "; END;" +
         "CREATE TRIGGER " + name("update6") + " AFTER UPDATE OF " + c + " ON " + t +
         " WHEN OLD.\"fid\" = NEW.\"fid\" AND " + new_present + " AND " + old_present + " BEGIN UPDATE " + r +
         " SET minx = ST_MinX(NEW." + c + "), maxx = ST_MaxX(NEW." + c + "), miny = ST_MinY(NEW." + c +
         "), maxy = ST_MaxY(NEW." + c + ") WHERE id = NEW.\"fid\"; END;" +
         "CREATE TRIGGER " + name("update7") + " AFTER UPDATE OF " + c + " ON " + t +
         " WHEN OLD.\"fid\" = NEW.\"fid\" AND " + new_present + " AND " + old_absent + " BEGIN INSERT INTO " + r +
         " VALUES " + values + "; END;" +
         "CREATE TRIGGER " + name("update2") + " AFTER UPDATE OF " + c + " ON " + t +
         " WHEN OLD.\"fid\" = NEW.\"fid\" AND " + new_absent + " BEGIN DELETE FROM " + r +
         " WHERE id = OLD.\"fid\"; END;" +
         "CREATE TRIGGER " + name("update4") + " AFTER UPDATE ON " + t + " WHEN OLD.\"fid\" != NEW.\"fid\" AND " +
         new_absent + " BEGIN DELETE FROM " + r + " WHERE id IN (OLD.\"fid\", NEW.\"fid\"); END;" +
         "CREATE TRIGGER " + name("update5") + " AFTER UPDATE ON " + t + " WHEN OLD.\"fid\" != NEW.\"fid\" AND " +
         new_present + " BEGIN DELETE FROM " + r + " WHERE id = OLD.\"fid\"; INSERT OR REPLACE INTO " + r +
         " VALUES " + values + "; END;" +
         "CREATE TRIGGER " + name("delete") + " AFTER DELETE ON " + t + " WHEN OLD." + c +
         " NOT NULL BEGIN DELETE FROM " + r + " WHERE id = OLD.\"fid\"; END;";
}

std::optional<Rect> envelope_of(sqlite3_value* value) {
  if (sqlite3_value_type(value) != SQLITE_BLOB) return std::nullopt;
  const auto* data = static_cast<const std::uint8_t*>(sqlite3_value_blob(value));
  const auto size = static_cast<std::size_t>(sqlite3_value_bytes(value));
  auto rect = TileIndexReader::extract_bounds_from_blob({data, size});
  return rect ? std::optional<Rect>(*rect) : std::nullopt;
}

template <double Rect::*Edge>
void envelope_edge(sqlite3_context* context, int, sqlite3_value** arguments) {
  if (const auto rect = envelope_of(arguments[0])) {
    sqlite3_result_double(context, (*rect).*Edge);
  } else {
    sqlite3_result_null(context);
  }
}

void is_empty(sqlite3_context* context, int, sqlite3_value** arguments) {
  sqlite3_value* value = arguments[0];
  const auto* data = static_cast<const std::uint8_t*>(sqlite3_value_blob(value));
  if (sqlite3_value_type(value) != SQLITE_BLOB || sqlite3_value_bytes(value) < 8 || data[0] != 'G' ||
      data[1] != 'P') {
    sqlite3_result_null(context);
    return;
  }
  sqlite3_result_int(context, (data[3] & 0x10) != 0);  // the header's empty-geometry flag
}

void put(std::vector<std::uint8_t>& out, const void* bytes, std::size_t size) {
  const auto* begin = static_cast<const std::uint8_t*>(bytes);
  out.insert(out.end(), begin, begin + size);
}

template <typename T>
void put_le(std::vector<std::uint8_t>& out, T value) {
  if constexpr (std::endian::native == std::endian::big) {
    auto bits = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
    std::reverse(bits.begin(), bits.end());
    put(out, bits.data(), bits.size());
  } else {
    put(out, &value, sizeof value);
  }
}

std::int32_t blob_srs(std::span<const std::uint8_t> blob) {
  std::int32_t srs = 0;
  if (blob.size() >= 8) std::memcpy(&srs, blob.data() + 4, 4);
  return srs;
}

// Rewrites the geometries whose header names another SRS.
std::expected<void, std::string> set_geometry_srs(sqlite3* db, const std::string& table, std::int64_t srs_id) {
  std::vector<std::pair<std::int64_t, Rect>> stale;
  {
    Statement select(db, "SELECT fid, geom FROM " + quote_identifier(table));
    if (!select.prepared()) return std::unexpected(select.errmsg());
    for (;;) {
      auto row = select.step();
      if (!row) return std::unexpected(row.error());
      if (!*row) break;
      auto blob = sqlite::column_blob(select.get(), 1);
      if (!blob) return std::unexpected(blob.error());
      if (blob_srs(*blob) == srs_id) continue;
      auto rect = TileIndexReader::extract_bounds_from_blob(*blob);
      if (!rect) return std::unexpected(rect.error().to_string());
      stale.emplace_back(sqlite3_column_int64(select.get(), 0), *rect);
    }
  }
  Statement update(db, "UPDATE " + quote_identifier(table) + " SET geom = ?1 WHERE fid = ?2");
  if (!update.prepared()) return std::unexpected(update.errmsg());
  for (const auto& [fid, rect] : stale) {
    update.bind(1, rectangle_blob(rect, srs_id));
    update.bind(2, fid);
    if (auto ok = update.run(); !ok) return ok;
  }
  return {};
}

}  // namespace

std::expected<void, std::string> register_functions(sqlite3* db) {
  struct Function {
    const char* name;
    void (*call)(sqlite3_context*, int, sqlite3_value**);
  };
  const Function functions[] = {
      {"ST_MinX", &envelope_edge<&Rect::min_x>}, {"ST_MaxX", &envelope_edge<&Rect::max_x>},
      {"ST_MinY", &envelope_edge<&Rect::min_y>}, {"ST_MaxY", &envelope_edge<&Rect::max_y>},
      {"ST_IsEmpty", &is_empty},
  };
  for (const Function& f : functions) {
    if (sqlite3_create_function(db, f.name, 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, f.call, nullptr,
                                nullptr) != SQLITE_OK) {
      return std::unexpected(sqlite3_errmsg(db));
    }
  }
  return {};
}

std::expected<void, std::string> create(sqlite3* db, const std::string& table) {
  const std::string t = quote_identifier(table);
  const std::string rtree = "rtree_" + table + "_" + kGeometryColumn;
  std::string sql = "PRAGMA application_id = " + std::to_string(kApplicationId) + ";" +
                    "PRAGMA user_version = " + std::to_string(kUserVersion) + ";" + kCoreTables;
  sql += "CREATE TABLE " + t +
         " (\"fid\" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, \"geom\" POLYGON, \"location\" TEXT NOT NULL,"
         " \"point_count\" INTEGER, \"point_format\" INTEGER, \"las_version\" TEXT, \"min_z\" DOUBLE,"
         " \"max_z\" DOUBLE, \"file_size\" INTEGER, \"modified\" DATETIME);";
  sql += "CREATE VIRTUAL TABLE " + quote_identifier(rtree) + " USING rtree(id, minx, maxx, miny, maxy);";
  sql += rtree_triggers(table);
  if (auto ok = exec(db, sql); !ok) return ok;

  Statement wgs84(db, "INSERT INTO gpkg_spatial_ref_sys VALUES ('WGS 84 geodetic', 4326, 'EPSG', 4326, ?1,"
                      " 'longitude/latitude coordinates in decimal degrees on the WGS 84 spheroid')");
  wgs84.bind(1, std::string(kWgs84Wkt));
  if (auto ok = wgs84.run(); !ok) return ok;
  Statement contents(db, "INSERT INTO gpkg_contents (table_name, data_type, identifier, srs_id)"
                         " VALUES (?1, 'features', ?1, -1)");
  contents.bind(1, table);
  if (auto ok = contents.run(); !ok) return ok;
  Statement columns(db, "INSERT INTO gpkg_geometry_columns VALUES (?1, ?2, 'POLYGON', -1, 0, 0)");
  columns.bind(1, table);
  columns.bind(2, std::string(kGeometryColumn));
  if (auto ok = columns.run(); !ok) return ok;
  Statement extension(db, "INSERT INTO gpkg_extensions VALUES (?1, ?2, 'gpkg_rtree_index',"
                          " 'http://www.geopackage.org/spec120/#extension_rtree', 'write-only')");
  extension.bind(1, table);
  extension.bind(2, std::string(kGeometryColumn));
  return extension.run();
}

std::string chunk_table(const std::string& table) { return table + "_chunks"; }

std::expected<void, std::string> create_chunk_table(sqlite3* db, const std::string& table) {
  const std::string chunks = chunk_table(table);
  const std::string sql =
      "CREATE TABLE " + quote_identifier(chunks) +
      " (\"fid\" INTEGER PRIMARY KEY NOT NULL, \"tile_fid\" INTEGER NOT NULL, \"chunk\" INTEGER NOT NULL,"
      " \"first_point\" INTEGER NOT NULL, \"point_count\" INTEGER NOT NULL, \"min_x\" DOUBLE NOT NULL,"
      " \"max_x\" DOUBLE NOT NULL, \"min_y\" DOUBLE NOT NULL, \"max_y\" DOUBLE NOT NULL, \"min_z\" DOUBLE NOT NULL,"
      " \"max_z\" DOUBLE NOT NULL, \"file_size\" INTEGER NOT NULL, \"file_modified_ns\" INTEGER NOT NULL);"
      "CREATE INDEX " + quote_identifier(chunks + "_tile_fid") + " ON " + quote_identifier(chunks) +
      " (\"tile_fid\", \"chunk\");";
  if (auto ok = exec(db, sql); !ok) return ok;
  Statement contents(db, "INSERT INTO gpkg_contents (table_name, data_type, identifier, description)"
                         " VALUES (?1, 'attributes', ?1, ?2)");
  contents.bind(1, chunks);
  contents.bind(2, "Bounds of the chunks of the tiles of '" + table + "', for reading only the chunks needed");
  return contents.run();
}

std::expected<void, std::string> drop_chunk_table(sqlite3* db, const std::string& table) {
  const std::string chunks = chunk_table(table);
  if (auto ok = exec(db, "DROP TABLE IF EXISTS " + quote_identifier(chunks)); !ok) return ok;
  Statement contents(db, "DELETE FROM gpkg_contents WHERE table_name = ?1");
  contents.bind(1, chunks);
  return contents.run();
}

std::expected<std::int64_t, std::string> srs_for(sqlite3* db, const std::optional<CoordinateSystem>& crs) {
  if (!crs) return kUndefinedSrs;
  std::int64_t id = crs->epsg.value_or(kCustomSrs);
  if (!crs->epsg) {
    // A system without code: the row of the same WKT, or a new id past the others.
    Statement same(db, "SELECT srs_id FROM gpkg_spatial_ref_sys WHERE organization = 'NONE' AND definition = ?1");
    same.bind(1, crs->wkt);
    auto row = same.step();
    if (!row) return std::unexpected(row.error());
    if (*row) return sqlite3_column_int64(same.get(), 0);
    Statement next(db, "SELECT max(srs_id) + 1 FROM gpkg_spatial_ref_sys WHERE srs_id >= ?1");
    next.bind(1, kCustomSrs);
    auto highest = next.step();
    if (!highest) return std::unexpected(highest.error());
    if (sqlite3_column_type(next.get(), 0) == SQLITE_INTEGER) id = sqlite3_column_int64(next.get(), 0);
  }
  std::string name = wkt_name(crs->wkt);
  if (name.empty()) name = crs->epsg ? crs->name() : "Unnamed coordinate system";
  Statement insert(db, "INSERT OR IGNORE INTO gpkg_spatial_ref_sys (srs_name, srs_id, organization,"
                       " organization_coordsys_id, definition) VALUES (?1, ?2, ?3, ?2, ?4)");
  insert.bind(1, name);
  insert.bind(2, id);
  insert.bind(3, std::string(crs->epsg ? "EPSG" : "NONE"));
  insert.bind(4, crs->wkt.empty() ? std::string("undefined") : crs->wkt);
  if (auto ok = insert.run(); !ok) return std::unexpected(ok.error());
  return id;
}

std::expected<std::optional<CoordinateSystem>, std::string> crs_of_srs(sqlite3* db, std::int64_t srs_id) {
  Statement select(db, "SELECT organization, organization_coordsys_id, definition FROM gpkg_spatial_ref_sys"
                       " WHERE srs_id = ?1");
  select.bind(1, srs_id);
  auto row = select.step();
  if (!row) return std::unexpected(row.error());
  if (!*row || srs_id == kUndefinedSrs || srs_id == 0) return std::nullopt;
  CoordinateSystem crs;
  auto organization = sqlite::column_text(select.get(), 0);
  if (organization && (*organization == "EPSG" || *organization == "epsg")) {
    crs.epsg = static_cast<int>(sqlite3_column_int64(select.get(), 1));
  }
  auto definition = sqlite::column_text(select.get(), 2);
  if (definition && *definition != "undefined") crs.wkt = std::move(*definition);
  if (!crs.epsg && crs.wkt.empty()) return std::nullopt;
  return crs;
}

std::expected<void, std::string> finish_contents(sqlite3* db, const std::string& table, std::int64_t srs_id) {
  if (auto ok = set_geometry_srs(db, table, srs_id); !ok) return ok;
  const std::string t = quote_identifier(table);
  Statement contents(db, "UPDATE gpkg_contents SET last_change = strftime('%Y-%m-%dT%H:%M:%fZ','now'),"
                         " srs_id = ?2, (min_x, min_y, max_x, max_y) = (SELECT min(ST_MinX(geom)),"
                         " min(ST_MinY(geom)), max(ST_MaxX(geom)), max(ST_MaxY(geom)) FROM " + t +
                         ") WHERE table_name = ?1");
  if (!contents.prepared()) return std::unexpected(contents.errmsg());
  contents.bind(1, table);
  contents.bind(2, srs_id);
  if (auto ok = contents.run(); !ok) return ok;
  Statement chunks(db, "UPDATE gpkg_contents SET last_change = strftime('%Y-%m-%dT%H:%M:%fZ','now')"
                       " WHERE table_name = ?1");
  chunks.bind(1, chunk_table(table));
  if (auto ok = chunks.run(); !ok) return ok;
  Statement columns(db, "UPDATE gpkg_geometry_columns SET srs_id = ?2 WHERE table_name = ?1");
  columns.bind(1, table);
  columns.bind(2, srs_id);
  return columns.run();
}

std::vector<std::uint8_t> rectangle_blob(const Rect& rect, std::int64_t srs_id) {
  std::vector<std::uint8_t> blob;
  blob.reserve(8 + 32 + 9 + 4 + 80);
  put(blob, "GP", 2);
  blob.push_back(0);     // version 1
  blob.push_back(0x03);  // little-endian, envelope of x and y
  put_le<std::int32_t>(blob, static_cast<std::int32_t>(srs_id));
  for (double v : {rect.min_x, rect.max_x, rect.min_y, rect.max_y}) put_le(blob, v);
  blob.push_back(1);  // WKB, little-endian
  put_le<std::uint32_t>(blob, 3);  // polygon
  put_le<std::uint32_t>(blob, 1);  // one ring
  put_le<std::uint32_t>(blob, 5);  // of five points, counter-clockwise
  const double ring[5][2] = {{rect.min_x, rect.min_y},
                             {rect.max_x, rect.min_y},
                             {rect.max_x, rect.max_y},
                             {rect.min_x, rect.max_y},
                             {rect.min_x, rect.min_y}};
  for (const auto& point : ring) {
    put_le(blob, point[0]);
    put_le(blob, point[1]);
  }
  return blob;
}

}  // namespace karvik_core::index::geopackage
