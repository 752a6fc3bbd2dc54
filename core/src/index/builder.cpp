#include "index/builder.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>

#include "index/crs.hpp"
#include "index/geopackage.hpp"
#include "index/reader.hpp"
#include "index/sqlite.hpp"
#include "index/tile_header.hpp"
#include "log/log.hpp"
#include "pipeline/staged_output.hpp"
#include "pool/pool.hpp"
#include "text/utf8.hpp"

namespace karvik_core::index {
namespace {

namespace fs = std::filesystem;
using sqlite::quote_identifier;
using sqlite::Statement;

// The name of the Python logger the notes reach, so that users find them under "karvik".
constexpr char kLogTarget[] = "karvik";
constexpr int kBusyTimeoutMs = 5000;
// Headers read ahead of the rows being written.
constexpr std::size_t kWindow = 64;

TileIndexError output_error(const std::string& index_path, const std::string& text) {
  return TileIndexError::output_error(text + ": " + to_utf8_lossy(index_path));
}

bool has_tile_extension(const fs::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".las" || extension == ".laz";
}

void skip(IndexReport& report, std::string path, std::string reason) {
  KARVIK_LOG(logging::Level::Warn, kLogTarget, "Skipped " + to_utf8_lossy(path) + ": " + reason);
  report.skipped.push_back({std::move(path), std::move(reason)});
}

// The absolute paths of the files named and of the .las/.laz files in the
// folders named, sorted, each once. Paths that name nothing usable are skipped.
std::vector<std::string> collect_files(const std::vector<std::string>& paths, IndexReport& report) {
  std::vector<std::string> files;
  const auto add = [&](const fs::path& file) {
    std::string absolute = fs::absolute(file).lexically_normal().string();
    if (validate_utf8(absolute)) {
      skip(report, std::move(absolute), "the path is not valid UTF-8, which the index stores paths as");
    } else {
      files.push_back(std::move(absolute));
    }
  };
  for (const std::string& path : paths) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error) {
      skip(report, path, error.message());
    } else if (fs::is_directory(status)) {
      fs::recursive_directory_iterator entries(path, error), end;
      for (; !error && entries != end; entries.increment(error)) {
        std::error_code ignored;
        if (has_tile_extension(entries->path()) && entries->is_regular_file(ignored)) add(entries->path());
      }
      if (error) skip(report, path, "the folder cannot be searched: " + error.message());
    } else if (fs::is_regular_file(status)) {
      add(path);
    } else {
      skip(report, path, "not a regular file or folder");
    }
  }
  std::sort(files.begin(), files.end());
  files.erase(std::unique(files.begin(), files.end()), files.end());
  return files;
}

// How many tiles carry each coordinate system, in the order first seen.
class CrsTally {
 public:
  void add(const std::optional<CoordinateSystem>& crs, const std::string& example, std::size_t tiles = 1) {
    if (tiles == 0) return;
    if (!crs) {
      if (without_ == 0) without_example_ = example;
      without_ += tiles;
      return;
    }
    const std::string identity = crs->identity();
    auto entry = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.identity == identity; });
    if (entry == entries_.end()) {
      entries_.push_back({identity, *crs, 0, example});
      entry = entries_.end() - 1;
    }
    entry->tiles += tiles;
  }

  std::optional<CoordinateSystem> chosen() const {
    return entries_.empty() ? std::nullopt : std::optional(entries_.front().crs);
  }

  // "EPSG:28992 (12 tiles, e.g. /a.laz) and EPSG:32631 (3 tiles, e.g. /b.laz)" when there are several;
  // tiles counted without example are those the index holds.
  std::optional<std::string> conflict() const {
    if (entries_.size() < 2) return std::nullopt;
    std::string text = "the tiles have different coordinate systems, and an index holds one: ";
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const Entry& e = entries_[i];
      if (i > 0) text += i + 1 == entries_.size() ? " and " : ", ";
      text += e.crs.name() + " (" + std::to_string(e.tiles) + (e.tiles == 1 ? " tile" : " tiles") +
              (e.example.empty() ? ", in the index" : ", e.g. " + to_utf8_lossy(e.example)) + ")";
    }
    return text;
  }

  void warn_about_tiles_without() const {
    if (without_ == 0) return;
    const std::string example = to_utf8_lossy(without_example_);
    if (entries_.empty()) {
      KARVIK_LOG(logging::Level::Warn, kLogTarget,
                 "No tile has a coordinate system (e.g. " + example + "); the index has an undefined one");
    } else {
      KARVIK_LOG(logging::Level::Warn, kLogTarget,
                 std::to_string(without_) + (without_ == 1 ? " tile has" : " tiles have") +
                     " no coordinate system (e.g. " + example + "); indexed as " + entries_.front().crs.name());
    }
  }

 private:
  struct Entry {
    std::string identity;
    CoordinateSystem crs;
    std::size_t tiles;
    std::string example;
  };
  std::vector<Entry> entries_;
  std::size_t without_ = 0;
  std::string without_example_;
};

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;

std::expected<Database, std::string> open_database(const std::string& path, int flags) {
  sqlite3* handle = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &handle, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  Database db(handle);
  if (!db) return std::unexpected("out of memory");
  if (rc != SQLITE_OK || sqlite3_busy_timeout(db.get(), kBusyTimeoutMs) != SQLITE_OK) {
    return std::unexpected(sqlite3_errmsg(db.get()));
  }
  sqlite3_extended_result_codes(db.get(), 1);
  if (auto ok = geopackage::register_functions(db.get()); !ok) return std::unexpected(ok.error());
  return db;
}

// Rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {}
  ~Transaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  std::expected<void, std::string> begin(const char* sql) {
    auto ok = sqlite::exec(db_, sql);
    open_ = ok.has_value();
    return ok;
  }
  std::expected<void, std::string> commit() {
    auto ok = sqlite::exec(db_, "COMMIT");
    if (ok) open_ = false;
    return ok;
  }

 private:
  sqlite3* db_;
  bool open_ = false;
};

// Writes tile rows, each in the SRS known when it is written: the first
// coordinate system met (finish_contents aligns the rows at the end).
class TileRows {
 public:
  TileRows(sqlite3* db, const std::string& table)
      : db_(db),
        insert_(db, "INSERT INTO " + quote_identifier(table) +
                        " (geom, location, point_count, point_format, las_version, min_z, max_z, file_size,"
                        " modified) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"),
        update_(db, "UPDATE " + quote_identifier(table) +
                        " SET geom = ?1, location = ?2, point_count = ?3, point_format = ?4, las_version = ?5,"
                        " min_z = ?6, max_z = ?7, file_size = ?8, modified = ?9 WHERE fid = ?10"),
        remove_(db, "DELETE FROM " + quote_identifier(table) + " WHERE fid = ?1") {}

  std::expected<void, std::string> prepared() const {
    for (const Statement* s : {&insert_, &update_, &remove_}) {
      if (!s->prepared()) return std::unexpected(s->errmsg());
    }
    return {};
  }

  // Writes the tile as a new row, or over row `fid`; returns the row's fid.
  std::expected<std::int64_t, std::string> write(const TileHeader& tile, std::optional<std::int64_t> fid) {
    if (srs_id_ == geopackage::kUndefinedSrs && tile.crs) {
      auto srs = geopackage::srs_for(db_, tile.crs);
      if (!srs) return std::unexpected(srs.error());
      srs_id_ = *srs;
    }
    Statement& s = fid ? update_ : insert_;
    s.bind(1, geopackage::rectangle_blob(tile.footprint, srs_id_));
    s.bind(2, tile.location);
    s.bind(3, static_cast<std::int64_t>(tile.point_count));
    s.bind(4, static_cast<std::int64_t>(tile.point_format));
    s.bind(5, tile.las_version);
    s.bind(6, tile.min_z);
    s.bind(7, tile.max_z);
    s.bind(8, static_cast<std::int64_t>(tile.stamp.size));
    s.bind(9, modified_text(tile.stamp));
    if (fid) s.bind(10, *fid);
    if (auto ok = s.run(); !ok) return std::unexpected(ok.error());
    return fid ? *fid : sqlite3_last_insert_rowid(db_);
  }

  std::expected<void, std::string> remove(std::int64_t fid) {
    remove_.bind(1, fid);
    return remove_.run();
  }

  void use_srs(std::int64_t srs_id) { srs_id_ = srs_id; }

 private:
  sqlite3* db_;
  Statement insert_, update_, remove_;
  std::int64_t srs_id_ = geopackage::kUndefinedSrs;
};

// Writes the chunk rows of tiles: all of a tile's, or none.
class ChunkRows {
 public:
  ChunkRows(sqlite3* db, const std::string& table)
      : insert_(db, "INSERT INTO " + quote_identifier(geopackage::chunk_table(table)) +
                        " (tile_fid, chunk, first_point, point_count, min_x, max_x, min_y, max_y, min_z, max_z,"
                        " file_size, file_modified_ns) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)"),
        remove_(db, "DELETE FROM " + quote_identifier(geopackage::chunk_table(table)) + " WHERE tile_fid = ?1") {}

  std::expected<void, std::string> prepared() const {
    for (const Statement* s : {&insert_, &remove_}) {
      if (!s->prepared()) return std::unexpected(s->errmsg());
    }
    return {};
  }

  std::expected<void, std::string> write(std::int64_t tile_fid, const std::vector<ChunkBounds>& chunks,
                                         const FileStamp& stamp) {
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      const ChunkBounds& c = chunks[i];
      insert_.bind(1, tile_fid);
      insert_.bind(2, static_cast<std::int64_t>(i));
      insert_.bind(3, static_cast<std::int64_t>(c.first_point));
      insert_.bind(4, static_cast<std::int64_t>(c.point_count));
      int column = 5;
      for (double v : {c.min_x, c.max_x, c.min_y, c.max_y, c.min_z, c.max_z}) insert_.bind(column++, v);
      insert_.bind(11, static_cast<std::int64_t>(stamp.size));
      insert_.bind(12, stamp.modified_ns);
      if (auto ok = insert_.run(); !ok) return ok;
    }
    return {};
  }

  std::expected<void, std::string> remove(std::int64_t tile_fid) {
    remove_.bind(1, tile_fid);
    return remove_.run();
  }

 private:
  Statement insert_, remove_;
};

// A tile as read for the index: its header and, when asked for, its chunk bounds or why there are none.
struct ReadTile {
  TileHeader header;
  std::optional<std::expected<std::vector<ChunkBounds>, std::string>> chunks;
};

std::expected<ReadTile, std::string> read_tile(const std::string& path, bool chunks) {
  auto header = read_tile_header(path);
  if (!header) return std::unexpected(std::move(header.error()));
  ReadTile tile{std::move(*header), std::nullopt};
  if (chunks) tile.chunks = read_chunk_bounds(path, tile.header.stamp);
  return tile;
}

// Reads the headers of `files` (and their chunk bounds, with `chunks`) on the
// worker pool and hands each, in order, to `consume` on this thread; files
// that cannot be read are skipped.
template <typename Consume>
std::expected<void, std::string> read_tiles(const std::vector<std::string>& files, bool chunks, IndexReport& report,
                                            Consume&& consume) {
  std::expected<void, std::string> outcome;
  pool::ordered_map<std::expected<ReadTile, std::string>>(
      files.size(), kWindow, [&](std::size_t i) { return read_tile(files[i], chunks); },
      [&](std::size_t i, std::expected<ReadTile, std::string> tile) {
        if (!tile) {
          skip(report, files[i], std::move(tile.error()));
          return true;
        }
        ++report.tiles_read;
        outcome = consume(*tile);
        return outcome.has_value();
      });
  return outcome;
}

// Writes the tile's row (new, or over `fid`) and, where they were read whole, its chunk rows.
std::expected<void, std::string> write_tile(TileRows& rows, ChunkRows* chunk_rows, const ReadTile& tile,
                                            std::optional<std::int64_t> fid, IndexReport& report) {
  auto written = rows.write(tile.header, fid);
  if (!written) return std::unexpected(written.error());
  if (!chunk_rows || !tile.chunks) return {};
  if (!*tile.chunks) {
    KARVIK_LOG(logging::Level::Warn, kLogTarget,
               "No chunk bounds for " + to_utf8_lossy(tile.header.location) + " (it will be read whole): " +
                   tile.chunks->error());
    report.without_chunks.push_back({tile.header.location, tile.chunks->error()});
    return {};
  }
  return chunk_rows->write(*written, **tile.chunks, tile.header.stamp);
}

// Fills a new, empty database with the tiles; the error is a text.
std::expected<void, std::string> write_new(sqlite3* db, const IndexOptions& options,
                                           const std::vector<std::string>& files, IndexReport& report) {
  const std::string& table = options.layer;
  // The file is discarded on failure: no journal needed.
  if (auto ok = sqlite::exec(db, "PRAGMA journal_mode = OFF"); !ok) return ok;
  Transaction transaction(db);
  if (auto ok = transaction.begin("BEGIN"); !ok) return ok;
  if (auto ok = geopackage::create(db, table); !ok) return ok;
  TileRows rows(db, table);
  if (auto ok = rows.prepared(); !ok) return ok;
  std::optional<ChunkRows> chunk_rows;
  if (options.chunks) {
    if (auto ok = geopackage::create_chunk_table(db, table); !ok) return ok;
    if (auto ok = chunk_rows.emplace(db, table).prepared(); !ok) return ok;
  }
  CrsTally tally;
  auto written = read_tiles(files, options.chunks, report, [&](const ReadTile& tile) {
    tally.add(tile.header.crs, tile.header.location);
    return write_tile(rows, chunk_rows ? &*chunk_rows : nullptr, tile, std::nullopt, report);
  });
  if (!written) return written;
  if (report.tiles_read == 0) {
    return std::unexpected("none of the " + std::to_string(files.size()) +
                           " LAS/LAZ files could be read; nothing written");
  }
  if (auto conflict = tally.conflict()) return std::unexpected(*conflict);
  tally.warn_about_tiles_without();
  auto srs_id = geopackage::srs_for(db, tally.chosen());
  if (!srs_id) return std::unexpected(srs_id.error());
  if (auto ok = geopackage::finish_contents(db, table, *srs_id); !ok) return ok;
  return transaction.commit();
}

std::expected<IndexReport, TileIndexError> build_new(const std::string& index_path, const IndexOptions& options,
                                                     const std::vector<std::string>& files, IndexReport report) {
  if (files.empty()) return std::unexpected(output_error(index_path, "no LAS/LAZ file found to index"));
  auto staged = pipeline::StagedOutput::create_named(index_path);
  if (!staged) return std::unexpected(std::move(staged.error()));
  auto db = open_database(staged->temporary_path(), SQLITE_OPEN_READWRITE);
  if (!db) return std::unexpected(output_error(index_path, db.error()));
  if (auto ok = write_new(db->get(), options, files, report); !ok) {
    return std::unexpected(output_error(index_path, ok.error()));
  }
  if (sqlite3_close(db->release()) != SQLITE_OK) return std::unexpected(output_error(index_path, "closing failed"));
  if (auto ok = staged->commit(); !ok) return std::unexpected(std::move(ok.error()));
  report.tiles_indexed = report.tiles_read;
  return report;
}

// A row of the feature table: its fid and the file's size and modification time as written.
struct IndexedFile {
  std::int64_t fid;
  std::uint64_t size;
  std::string modified;
  bool is_stamped(const FileStamp& stamp) const { return size == stamp.size && modified == modified_text(stamp); }
};

// The names of the table's columns; none where there is no such table.
std::expected<std::vector<std::string>, std::string> columns_of(sqlite3* db, const std::string& table) {
  Statement info(db, "SELECT name FROM pragma_table_info(?1)");
  info.bind(1, table);
  std::vector<std::string> columns;
  for (;;) {
    auto row = info.step();
    if (!row) return std::unexpected(row.error());
    if (!*row) break;
    columns.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 0)));
  }
  return columns;
}

// Those of `names` that `columns` lacks, as a list ("" when none).
std::string missing_columns(const std::vector<std::string>& columns, std::span<const char* const> names) {
  std::string missing;
  for (const char* name : names) {
    if (std::find(columns.begin(), columns.end(), name) == columns.end()) {
      missing += (missing.empty() ? "" : ", ") + std::string(name);
    }
  }
  return missing;
}

// Refuses, with the reason, a table that is not a tile index this builder writes.
std::expected<void, std::string> check_ours(sqlite3* db, const std::string& table) {
  Statement contents(db, "SELECT 1 FROM gpkg_contents WHERE table_name = ?1 AND data_type = 'features'");
  if (!contents.prepared()) return std::unexpected("not a GeoPackage (" + contents.errmsg() + ")");
  contents.bind(1, table);
  auto found = contents.step();
  if (!found) return std::unexpected(found.error());
  if (!*found) return std::unexpected("the GeoPackage has no feature table '" + table + "'");
  auto columns = columns_of(db, table);
  if (!columns) return std::unexpected(columns.error());
  if (!missing_columns(*columns, std::array{"location"}).empty()) {
    return std::unexpected("not a karvik tile index: the table '" + table + "' has no location column");
  }
  std::vector<const char*> required = {"fid", "geom"};
  required.insert(required.end(), std::begin(geopackage::kTileColumns), std::end(geopackage::kTileColumns));
  if (const std::string missing = missing_columns(*columns, required); !missing.empty()) {
    return std::unexpected("not a karvik tile index: the table '" + table + "' lacks the columns " + missing);
  }
  return {};
}

std::expected<std::int64_t, std::string> index_srs(sqlite3* db, const std::string& table) {
  Statement select(db, "SELECT srs_id, column_name FROM gpkg_geometry_columns WHERE table_name = ?1");
  select.bind(1, table);
  auto row = select.step();
  if (!row) return std::unexpected(row.error());
  auto column = *row ? sqlite::column_text(select.get(), 1) : std::unexpected(std::string());
  if (!column || *column != "geom") return std::unexpected("not a karvik tile index: its geometry column is not geom");
  return sqlite3_column_int64(select.get(), 0);
}

std::expected<std::unordered_map<std::string, IndexedFile>, std::string> indexed_files(sqlite3* db,
                                                                                      const std::string& table) {
  Statement select(db, "SELECT fid, location, file_size, modified FROM " + quote_identifier(table));
  if (!select.prepared()) return std::unexpected(select.errmsg());
  std::unordered_map<std::string, IndexedFile> files;
  for (;;) {
    auto row = select.step();
    if (!row) return std::unexpected(row.error());
    if (!*row) break;
    auto location = sqlite::column_text(select.get(), 1);
    if (!location) return std::unexpected(location.error());
    const auto* modified = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 3));
    files[std::move(*location)] = {sqlite3_column_int64(select.get(), 0),
                                   static_cast<std::uint64_t>(sqlite3_column_int64(select.get(), 2)),
                                   modified ? modified : ""};
  }
  return files;
}

// Whether the table exists; refuses, with the reason, one that is not a chunk table this builder writes.
std::expected<bool, std::string> check_chunk_table(sqlite3* db, const std::string& table) {
  const std::string chunks = geopackage::chunk_table(table);
  auto columns = columns_of(db, chunks);
  if (!columns) return std::unexpected(columns.error());
  if (columns->empty()) return false;
  std::vector<const char*> required = {"fid"};
  required.insert(required.end(), std::begin(geopackage::kChunkColumns), std::end(geopackage::kChunkColumns));
  if (const std::string missing = missing_columns(*columns, required); !missing.empty()) {
    return std::unexpected("the table '" + chunks + "' is not a karvik chunk table: it lacks the columns " + missing);
  }
  return true;
}

bool is_gone(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

std::expected<IndexReport, TileIndexError> update_existing(const std::string& index_path, const IndexOptions& options,
                                                           const std::vector<std::string>& files, IndexReport report) {
  const std::string& table = options.layer;
  auto db = open_database(index_path, SQLITE_OPEN_READWRITE);
  if (!db) return std::unexpected(TileIndexError::geo_package_open(db.error() + ": " + to_utf8_lossy(index_path)));
  const auto failed = [&](const std::string& text) {
    return std::unexpected(output_error(index_path, text + "; the index is unchanged"));
  };
  Transaction transaction(db->get());
  if (auto ok = transaction.begin("BEGIN IMMEDIATE"); !ok) return failed(ok.error());
  if (auto ok = check_ours(db->get(), table); !ok) return failed(ok.error());
  auto srs_id = index_srs(db->get(), table);
  if (!srs_id) return failed(srs_id.error());
  auto index_crs = geopackage::crs_of_srs(db->get(), *srs_id);
  if (!index_crs) return failed(index_crs.error());
  auto indexed = indexed_files(db->get(), table);
  if (!indexed) return failed(indexed.error());
  auto had_chunks = check_chunk_table(db->get(), table);
  if (!had_chunks) return failed(had_chunks.error());
  // The chunk rows there are, which decide with the tile rows which tiles to read again.
  std::optional<ChunkTable> chunks_there;
  if (options.chunks && *had_chunks) {
    auto opened = ChunkTable::open(db->get(), table);
    if (!opened) return failed(opened.error());
    chunks_there.emplace(std::move(*opened));
  } else if (options.chunks) {
    if (auto ok = geopackage::create_chunk_table(db->get(), table); !ok) return failed(ok.error());
  } else if (*had_chunks) {
    if (auto ok = geopackage::drop_chunk_table(db->get(), table); !ok) return failed(ok.error());
  }

  TileRows rows(db->get(), table);
  if (auto ok = rows.prepared(); !ok) return failed(ok.error());
  rows.use_srs(index_crs->has_value() ? *srs_id : geopackage::kUndefinedSrs);
  std::optional<ChunkRows> chunk_rows;
  if (options.chunks) {
    if (auto ok = chunk_rows.emplace(db->get(), table).prepared(); !ok) return failed(ok.error());
  }
  // A tile is kept when its file has the stamp of its row and, with chunks, of its sound chunk rows.
  const auto unchanged = [&](const IndexedFile& file, const FileStamp& stamp) {
    if (!file.is_stamped(stamp)) return false;
    if (!options.chunks) return true;
    if (!chunks_there) return false;
    const auto entry = chunks_there->read(file.fid);
    return entry && *entry && (*entry)->stamp == stamp;
  };
  std::vector<std::string> to_read;
  std::size_t kept = 0;
  for (const auto& [location, file] : *indexed) {
    if (is_gone(location)) {
      if (auto ok = rows.remove(file.fid); !ok) return failed(ok.error());
      ++report.tiles_removed;
    } else if (auto stamp = file_stamp(location); stamp && unchanged(file, *stamp)) {
      ++kept;
    } else {
      to_read.push_back(location);
    }
  }
  if (chunk_rows) {
    // Rows of tiles gone (also those deleted by other programs) and of tiles to read again, which may fail.
    if (auto ok = sqlite::exec(db->get(), "DELETE FROM " + quote_identifier(geopackage::chunk_table(table)) +
                                              " WHERE tile_fid NOT IN (SELECT fid FROM " + quote_identifier(table) +
                                              ")");
        !ok) {
      return failed(ok.error());
    }
    for (const std::string& location : to_read) {
      if (auto ok = chunk_rows->remove(indexed->at(location).fid); !ok) return failed(ok.error());
    }
  }
  for (const std::string& file : files) {
    if (!indexed->contains(file)) to_read.push_back(file);
  }
  std::sort(to_read.begin(), to_read.end());

  CrsTally tally;
  tally.add(*index_crs, "", kept);
  const std::size_t skipped_before = report.skipped.size();
  auto written = read_tiles(to_read, options.chunks, report, [&](const ReadTile& tile) {
    tally.add(tile.header.crs, tile.header.location);
    const auto existing = indexed->find(tile.header.location);
    return write_tile(rows, chunk_rows ? &*chunk_rows : nullptr, tile,
                      existing == indexed->end() ? std::nullopt : std::optional(existing->second.fid), report);
  });
  if (!written) return failed(written.error());
  // Indexed files that cannot be read again keep their rows as they were.
  std::size_t unreadable_kept = 0;
  for (std::size_t i = skipped_before; i < report.skipped.size(); ++i) {
    if (indexed->contains(report.skipped[i].path)) ++unreadable_kept;
  }
  tally.add(*index_crs, "", unreadable_kept);
  if (auto conflict = tally.conflict()) return failed(*conflict);
  report.tiles_indexed = kept + unreadable_kept + report.tiles_read;
  if (report.tiles_indexed == 0) return failed("no tile would be left in the index");
  tally.warn_about_tiles_without();
  auto final_srs = geopackage::srs_for(db->get(), tally.chosen());
  if (!final_srs) return failed(final_srs.error());
  if (auto ok = geopackage::finish_contents(db->get(), table, *final_srs); !ok) return failed(ok.error());
  if (auto ok = transaction.commit(); !ok) return failed(ok.error());
  return report;
}

}  // namespace

std::expected<IndexReport, TileIndexError> build_index(const std::string& index_path,
                                                       const std::vector<std::string>& paths,
                                                       const IndexOptions& options) {
  IndexReport report;
  const std::vector<std::string> files = collect_files(paths, report);
  std::error_code error;
  if (options.update && fs::exists(index_path, error)) return update_existing(index_path, options, files, report);
  return build_new(index_path, options, files, report);
}

}  // namespace karvik_core::index
