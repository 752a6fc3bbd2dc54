#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "geometry/traits.hpp"
#include "index/crs.hpp"

// Writing a GeoPackage 1.4 feature table of tile footprints the way GDAL
// writes one: the core tables, the spatial reference systems, the feature
// table and its R-tree spatial index kept up to date by the standard's
// triggers. Failures are SQLite's texts.
namespace karvik_core::index::geopackage {

// The SRS id of "Undefined Cartesian SRS", for tiles without coordinate system.
inline constexpr std::int64_t kUndefinedSrs = -1;

// The columns of the feature table after fid and geom, as written.
inline constexpr const char* kTileColumns[] = {"location", "point_count", "point_format", "las_version",
                                               "min_z",    "max_z",       "file_size",    "modified"};

// The attribute table of chunk bounds beside the feature table `table`.
std::string chunk_table(const std::string& table);
// Its columns after fid, as written: the tile's fid in `table`, the chunk's
// number from 0, its first point and point count, its bounds, and the stamp
// (file_stamp) of the file they were computed from.
inline constexpr const char* kChunkColumns[] = {"tile_fid", "chunk", "first_point", "point_count",
                                                "min_x",    "max_x", "min_y",       "max_y",
                                                "min_z",    "max_z", "file_size",   "file_modified_ns"};

// Registers ST_MinX, ST_MaxX, ST_MinY, ST_MaxY and ST_IsEmpty, which the
// R-tree triggers call, on the connection (read from the geometry headers).
std::expected<void, std::string> register_functions(sqlite3* db);

// A new, empty GeoPackage: application id and version, the core tables with
// the required SRS rows, and the feature table `table` with its R-tree index.
std::expected<void, std::string> create(sqlite3* db, const std::string& table);

// The chunk table of `table`, its index on (tile_fid, chunk) and its
// gpkg_contents row, as an attribute table.
std::expected<void, std::string> create_chunk_table(sqlite3* db, const std::string& table);
// Drops the chunk table of `table` and its gpkg_contents row, where they exist.
std::expected<void, std::string> drop_chunk_table(sqlite3* db, const std::string& table);

// The SRS id for the coordinate system (none: undefined), its row added when
// missing: the EPSG code as id and organisation code, the WKT as definition.
std::expected<std::int64_t, std::string> srs_for(sqlite3* db, const std::optional<CoordinateSystem>& crs);
// The coordinate system an SRS row describes, as srs_for wrote it.
std::expected<std::optional<CoordinateSystem>, std::string> crs_of_srs(sqlite3* db, std::int64_t srs_id);

// Sets the table's gpkg_contents row (extent of all rows, time of change) and
// gpkg_geometry_columns row to the SRS, and every geometry's SRS id with it;
// the time of change of its chunk table's row too, where there is one.
std::expected<void, std::string> finish_contents(sqlite3* db, const std::string& table, std::int64_t srs_id);

// A GeoPackage geometry: little-endian header with the x/y envelope, then the
// rectangle as a WKB polygon.
std::vector<std::uint8_t> rectangle_blob(const geometry::Rect& rect, std::int64_t srs_id);

}  // namespace karvik_core::index::geopackage
