#include "index/reader.hpp"

#include <sqlite3.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "index/geopackage.hpp"
#include "index/sqlite.hpp"
#include "text/number.hpp"
#include "text/utf8.hpp"

namespace karvik_core::index {
namespace {

using geometry::Rect;
using sqlite::column_blob;
using sqlite::column_text;
using sqlite::quote_identifier;
using sqlite::Statement;

// Never SQLITE_OPEN_CREATE: a mistyped path must fail, not leave an empty database behind.
constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
constexpr int kBusyTimeoutMs = 5000;

double read_double(const std::uint8_t* at, bool little_endian) {
  std::uint64_t bits;
  std::memcpy(&bits, at, sizeof bits);
  if (little_endian != (std::endian::native == std::endian::little)) bits = __builtin_bswap64(bits);
  return std::bit_cast<double>(bits);
}

const char* storage_class(int type) {
  switch (type) {
    case SQLITE_INTEGER: return "an integer";
    case SQLITE_FLOAT: return "a real number";
    case SQLITE_TEXT: return "text";
    case SQLITE_BLOB: return "a blob";
    default: return "NULL";
  }
}

// The checks of one tile's chunk rows, taken in chunk order.
class ChunkRowCheck {
 public:
  explicit ChunkRowCheck(sqlite3_stmt* row) : row_(row) {}

  // A whole number of at least `least` in the column, or why not.
  std::expected<std::int64_t, std::string> count(int column, std::int64_t least) const {
    const int type = sqlite3_column_type(row_, column);
    if (type != SQLITE_INTEGER) return std::unexpected(name(column) + " is " + storage_class(type) + ", not an integer");
    const std::int64_t value = sqlite3_column_int64(row_, column);
    if (value < least) {
      return std::unexpected(name(column) + " is " + std::to_string(value) + ", less than " + std::to_string(least));
    }
    return value;
  }

  // The range of the columns `column` (minimum) and `column + 1` (maximum), or why it is none.
  std::expected<std::pair<double, double>, std::string> range(int column) const {
    double bounds[2];
    for (int i = 0; i < 2; ++i) {
      const int type = sqlite3_column_type(row_, column + i);
      if (type != SQLITE_INTEGER && type != SQLITE_FLOAT) {
        return std::unexpected(name(column + i) + " is " + storage_class(type) + ", not a number");
      }
      bounds[i] = sqlite3_column_double(row_, column + i);
      if (!std::isfinite(bounds[i])) {
        return std::unexpected(name(column + i) + " is " + render_number(bounds[i]) + ", not a finite number");
      }
    }
    if (bounds[0] > bounds[1]) {
      return std::unexpected(name(column) + " " + render_number(bounds[0]) + " is greater than " +
                             name(column + 1) + " " + render_number(bounds[1]));
    }
    return std::pair(bounds[0], bounds[1]);
  }

 private:
  std::string name(int column) const { return sqlite3_column_name(row_, column); }
  sqlite3_stmt* row_;
};

}  // namespace

ChunkTable::ChunkTable(std::string name, std::unique_ptr<sqlite::Statement> select)
    : name_(std::move(name)), select_(std::move(select)) {}
ChunkTable::ChunkTable(ChunkTable&&) noexcept = default;
ChunkTable::~ChunkTable() = default;

std::expected<ChunkTable, std::string> ChunkTable::open(sqlite3* db, const std::string& table) {
  const std::string name = geopackage::chunk_table(table);
  auto select = std::make_unique<Statement>(
      db, "SELECT fid, chunk, first_point, point_count, min_x, max_x, min_y, max_y, min_z, max_z, file_size,"
          " file_modified_ns FROM " + quote_identifier(name) + " WHERE tile_fid = ?1 ORDER BY chunk, fid");
  if (!select->prepared()) return std::unexpected(select->errmsg());
  return ChunkTable(name, std::move(select));
}

std::optional<std::expected<TileChunks, std::string>> ChunkTable::read(std::int64_t tile_fid) {
  sqlite3_stmt* row = select_->get();
  sqlite3_reset(row);
  sqlite3_bind_int64(row, 1, tile_fid);
  TileChunks entry;
  const auto check = [&]() -> std::expected<void, std::string> {
    const ChunkRowCheck value(row);
    std::int64_t fid = 0;
    const auto where = [&](const std::string& why) { return "row " + std::to_string(fid) + ": " + why; };
    for (;;) {
      auto more = select_->step();
      if (!more) return std::unexpected("the table cannot be read: " + more.error());
      if (!*more) return {};
      fid = sqlite3_column_int64(row, 0);
      const std::uint64_t expected_chunk = entry.chunks.size();
      std::uint64_t points_before = 0;
      if (!entry.chunks.empty()) points_before = entry.chunks.back().first_point + entry.chunks.back().point_count;
      auto chunk = value.count(1, 0);
      if (!chunk) return std::unexpected(where(chunk.error()));
      if (static_cast<std::uint64_t>(*chunk) < expected_chunk) {
        return std::unexpected(where("chunk " + std::to_string(*chunk) + " appears more than once"));
      }
      if (static_cast<std::uint64_t>(*chunk) > expected_chunk) {
        return std::unexpected(where("chunk " + std::to_string(expected_chunk) + " is missing"));
      }
      auto first_point = value.count(2, 0);
      if (!first_point) return std::unexpected(where(first_point.error()));
      if (static_cast<std::uint64_t>(*first_point) != points_before) {
        return std::unexpected(where("first_point is " + std::to_string(*first_point) + ", the chunks before hold " +
                                     std::to_string(points_before) + " points"));
      }
      auto point_count = value.count(3, 1);
      if (!point_count) return std::unexpected(where(point_count.error()));
      ChunkBounds bounds{.first_point = points_before, .point_count = static_cast<std::uint64_t>(*point_count)};
      double* const edges[3][2] = {{&bounds.min_x, &bounds.max_x}, {&bounds.min_y, &bounds.max_y},
                                   {&bounds.min_z, &bounds.max_z}};
      for (int axis = 0; axis < 3; ++axis) {
        auto range = value.range(4 + 2 * axis);
        if (!range) return std::unexpected(where(range.error()));
        *edges[axis][0] = range->first;
        *edges[axis][1] = range->second;
      }
      auto size = value.count(10, 0);
      if (!size) return std::unexpected(where(size.error()));
      auto modified = value.count(11, std::numeric_limits<std::int64_t>::min());
      if (!modified) return std::unexpected(where(modified.error()));
      const FileStamp stamp{static_cast<std::uint64_t>(*size), *modified};
      if (entry.chunks.empty()) {
        entry.stamp = stamp;
      } else if (stamp != entry.stamp) {
        return std::unexpected(where("its file_size and file_modified_ns (" + std::to_string(stamp.size) + ", " +
                                     std::to_string(stamp.modified_ns) + ") differ from those of chunk 0 (" +
                                     std::to_string(entry.stamp.size) + ", " +
                                     std::to_string(entry.stamp.modified_ns) + ")"));
      }
      entry.chunks.push_back(bounds);
    }
  }();
  sqlite3_reset(row);
  if (!check) return std::unexpected("malformed chunk bounds in '" + name_ + "' (" + check.error() + ")");
  if (entry.chunks.empty()) return std::nullopt;
  return entry;
}

void TileIndexReader::Close::operator()(sqlite3* db) const { sqlite3_close(db); }

std::expected<TileIndexReader, TileIndexError> TileIndexReader::open(std::string_view path) {
  if (const auto nul = path.find('\0'); nul != std::string_view::npos) {
    return std::unexpected(
        TileIndexError::geo_package_open("nul byte found in provided data at position: " + std::to_string(nul)));
  }
  const std::string c_path(path);
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(c_path.c_str(), &db, kOpenFlags, nullptr);
  if (db == nullptr) return std::unexpected(TileIndexError::geo_package_open(to_utf8_lossy(path)));
  TileIndexReader reader(db);
  if (rc != SQLITE_OK) {
    std::string text = sqlite3_errmsg(db);
    if ((rc & 0xff) == SQLITE_CANTOPEN) text += ": " + to_utf8_lossy(path);
    return std::unexpected(TileIndexError::geo_package_open(std::move(text)));
  }
  sqlite3_extended_result_codes(db, 1);
  if (sqlite3_busy_timeout(db, kBusyTimeoutMs) != SQLITE_OK) {
    return std::unexpected(TileIndexError::geo_package_open(sqlite3_errmsg(db)));
  }
  return reader;
}

std::expected<std::vector<std::string>, TileIndexError> TileIndexReader::list_tables() const {
  Statement stmt(db_.get(), "SELECT table_name FROM gpkg_contents WHERE data_type = 'features'");
  if (!stmt.prepared()) return std::unexpected(TileIndexError::tile_query(stmt.errmsg()));
  std::vector<std::string> names;
  for (;;) {
    auto row = stmt.step();
    if (!row) return std::unexpected(TileIndexError::tile_query(row.error()));
    if (!*row) break;
    auto name = column_text(stmt.get(), 0);
    if (!name) return std::unexpected(TileIndexError::tile_query(name.error()));
    names.push_back(std::move(*name));
  }
  return names;
}

std::expected<std::string, TileIndexError> TileIndexReader::find_geometry_column(const std::string& table_name) const {
  Statement stmt(db_.get(), "SELECT column_name FROM gpkg_geometry_columns WHERE table_name = ?1");
  if (!stmt.prepared()) return std::unexpected(TileIndexError::tile_query(stmt.errmsg()));
  auto column = [&]() -> std::expected<std::string, std::string> {
    if (auto ok = stmt.check_parameters(1); !ok) return std::unexpected(ok.error());
    if (sqlite3_bind_text(stmt.get(), 1, table_name.data(), static_cast<int>(table_name.size()), SQLITE_TRANSIENT) !=
        SQLITE_OK) {
      return std::unexpected(stmt.errmsg());
    }
    auto row = stmt.step();
    if (!row) return std::unexpected(row.error());
    if (!*row) return std::unexpected("Query returned no rows");
    return column_text(stmt.get(), 0);
  }();
  if (!column) {
    return std::unexpected(
        TileIndexError::tile_query("No geometry column found for table '" + table_name + "': " + column.error()));
  }
  return std::move(*column);
}

std::expected<std::string, TileIndexError> TileIndexReader::resolve_table(
    const std::optional<std::string>& table) const {
  if (table) return *table;
  auto tables = list_tables();
  if (!tables) return std::unexpected(std::move(tables.error()));
  if (tables->empty()) return std::unexpected(TileIndexError::tile_query("No feature tables found"));
  return std::move(tables->front());
}

std::expected<std::vector<TileInfo>, TileIndexError> TileIndexReader::read_all_tiles(
    const std::string& table_name) const {
  auto geometry_column = find_geometry_column(table_name);
  if (!geometry_column) return std::unexpected(std::move(geometry_column.error()));

  const std::string columns = "SELECT location, " + quote_identifier(*geometry_column);
  const std::string from = " FROM " + quote_identifier(table_name);
  // The rowid where the table has one (not one WITHOUT ROWID).
  std::optional<Statement> with_rowid(std::in_place, db_.get(), columns + ", rowid" + from);
  if (!with_rowid->prepared()) with_rowid.reset();
  std::optional<Statement> without_rowid;
  if (!with_rowid) without_rowid.emplace(db_.get(), columns + from);
  Statement& stmt = with_rowid ? *with_rowid : *without_rowid;
  if (!stmt.prepared()) return std::unexpected(TileIndexError::tile_query("Failed to prepare query: " + stmt.errmsg()));
  if (auto ok = stmt.check_parameters(0); !ok) return std::unexpected(TileIndexError::tile_query(ok.error()));

  std::vector<TileInfo> tiles;
  for (;;) {
    auto row = stmt.step();
    if (!row) return std::unexpected(TileIndexError::tile_query(row.error()));
    if (!*row) break;
    auto location = column_text(stmt.get(), 0);
    if (!location) return std::unexpected(TileIndexError::tile_query(location.error()));
    auto blob = column_blob(stmt.get(), 1);
    if (!blob) return std::unexpected(TileIndexError::tile_query(blob.error()));
    auto bounds = extract_bounds_from_blob(*blob);
    if (!bounds) return std::unexpected(TileIndexError::tile_query(bounds.error().to_string()));
    std::optional<std::int64_t> fid;
    if (with_rowid && sqlite3_column_type(stmt.get(), 2) == SQLITE_INTEGER) fid = sqlite3_column_int64(stmt.get(), 2);
    tiles.push_back(TileInfo{std::move(*location), *bounds, fid});
  }
  return tiles;
}

void TileIndexReader::read_chunks(const std::string& table_name, std::vector<TileInfo>& tiles) const {
  Statement registered(db_.get(), "SELECT 1 FROM gpkg_contents WHERE table_name = ?1 AND data_type = 'attributes'");
  if (!registered.prepared()) return;  // no gpkg_contents: an index without chunk table
  registered.bind(1, geopackage::chunk_table(table_name));
  if (auto found = registered.step(); !found || !*found) return;
  auto chunks = ChunkTable::open(db_.get(), table_name);
  for (TileInfo& tile : tiles) {
    if (!chunks) {
      tile.chunks = std::unexpected("the chunk table '" + geopackage::chunk_table(table_name) +
                                    "' cannot be read: " + chunks.error());
    } else if (tile.fid) {
      tile.chunks = chunks->read(*tile.fid);
    }
  }
}

std::expected<Rect, TileIndexError> TileIndexReader::extract_bounds_from_blob(std::span<const std::uint8_t> blob) {
  constexpr std::size_t kMinHeader = 8;
  constexpr std::size_t kEnvelopeEnd = 40;  // x and y ranges; z and m ranges are not read
  if (blob.size() < kMinHeader) return std::unexpected(TileIndexError::invalid_geometry("Geometry blob too short"));
  if (blob[0] != 0x47 || blob[1] != 0x50) {
    return std::unexpected(TileIndexError::invalid_geometry("Invalid GeoPackage geometry magic bytes"));
  }
  const std::uint8_t flags = blob[3];
  const int indicator = (flags >> 1) & 7;
  if (indicator == 0) {
    return std::unexpected(
        TileIndexError::invalid_geometry("Geometry has no envelope - WKB parsing not yet implemented"));
  }
  if (indicator > 4) {
    return std::unexpected(TileIndexError::invalid_geometry("Unknown envelope type: " + std::to_string(indicator)));
  }
  if (blob.size() < kEnvelopeEnd) {
    return std::unexpected(TileIndexError::invalid_geometry("Geometry blob too short for envelope"));
  }
  const bool little_endian = (flags & 1) != 0;
  const double min_x = read_double(&blob[8], little_endian);
  const double max_x = read_double(&blob[16], little_endian);
  const double min_y = read_double(&blob[24], little_endian);
  const double max_y = read_double(&blob[32], little_endian);
  return Rect::from_pairs(min_x, max_x, min_y, max_y);
}

}  // namespace karvik_core::index
