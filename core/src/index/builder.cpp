#include "index/builder.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <unordered_map>

#include "index/crs.hpp"
#include "index/geopackage.hpp"
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

  // Writes the tile as a new row, or over row `fid`.
  std::expected<void, std::string> write(const TileHeader& tile, std::optional<std::int64_t> fid) {
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
    s.bind(9, tile.stamp.modified);
    if (fid) s.bind(10, *fid);
    return s.run();
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

// Reads the headers of `files` on the worker pool and hands each, in order,
// to `consume` on this thread; files that cannot be read are skipped.
template <typename Consume>
std::expected<void, std::string> read_headers(const std::vector<std::string>& files, IndexReport& report,
                                              Consume&& consume) {
  std::expected<void, std::string> outcome;
  pool::ordered_map<std::expected<TileHeader, std::string>>(
      files.size(), kWindow, [&](std::size_t i) { return read_tile_header(files[i]); },
      [&](std::size_t i, std::expected<TileHeader, std::string> tile) {
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

// Fills a new, empty database with the tiles; the error is a text.
std::expected<void, std::string> write_new(sqlite3* db, const std::string& table, const std::vector<std::string>& files,
                                           IndexReport& report) {
  // The file is discarded on failure: no journal needed.
  if (auto ok = sqlite::exec(db, "PRAGMA journal_mode = OFF"); !ok) return ok;
  Transaction transaction(db);
  if (auto ok = transaction.begin("BEGIN"); !ok) return ok;
  if (auto ok = geopackage::create(db, table); !ok) return ok;
  TileRows rows(db, table);
  if (auto ok = rows.prepared(); !ok) return ok;
  CrsTally tally;
  auto written = read_headers(files, report, [&](const TileHeader& tile) {
    tally.add(tile.crs, tile.location);
    return rows.write(tile, std::nullopt);
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

std::expected<IndexReport, TileIndexError> build_new(const std::string& index_path, const std::string& table,
                                                     const std::vector<std::string>& files, IndexReport report) {
  if (files.empty()) return std::unexpected(output_error(index_path, "no LAS/LAZ file found to index"));
  auto staged = pipeline::StagedOutput::create_named(index_path);
  if (!staged) return std::unexpected(std::move(staged.error()));
  auto db = open_database(staged->temporary_path(), SQLITE_OPEN_READWRITE);
  if (!db) return std::unexpected(output_error(index_path, db.error()));
  if (auto ok = write_new(db->get(), table, files, report); !ok) {
    return std::unexpected(output_error(index_path, ok.error()));
  }
  if (sqlite3_close(db->release()) != SQLITE_OK) return std::unexpected(output_error(index_path, "closing failed"));
  if (auto ok = staged->commit(); !ok) return std::unexpected(std::move(ok.error()));
  report.tiles_indexed = report.tiles_read;
  return report;
}

struct IndexedFile {
  std::int64_t fid;
  FileStamp stamp;
};

// Refuses, with the reason, a table that is not a tile index this builder writes.
std::expected<void, std::string> check_ours(sqlite3* db, const std::string& table) {
  Statement contents(db, "SELECT 1 FROM gpkg_contents WHERE table_name = ?1 AND data_type = 'features'");
  if (!contents.prepared()) return std::unexpected("not a GeoPackage (" + contents.errmsg() + ")");
  contents.bind(1, table);
  auto found = contents.step();
  if (!found) return std::unexpected(found.error());
  if (!*found) return std::unexpected("the GeoPackage has no feature table '" + table + "'");
  Statement info(db, "SELECT name FROM pragma_table_info(?1)");
  info.bind(1, table);
  std::vector<std::string> columns;
  for (;;) {
    auto row = info.step();
    if (!row) return std::unexpected(row.error());
    if (!*row) break;
    columns.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 0)));
  }
  const auto has = [&](const char* name) { return std::find(columns.begin(), columns.end(), name) != columns.end(); };
  if (!has("location")) {
    return std::unexpected("not a karvik tile index: the table '" + table + "' has no location column");
  }
  std::string missing;
  for (const char* name : {"fid", "geom"}) {
    if (!has(name)) missing += (missing.empty() ? "" : ", ") + std::string(name);
  }
  for (const char* name : geopackage::kTileColumns) {
    if (!has(name)) missing += (missing.empty() ? "" : ", ") + std::string(name);
  }
  if (!missing.empty()) {
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
                                   {static_cast<std::uint64_t>(sqlite3_column_int64(select.get(), 2)),
                                    modified ? modified : ""}};
  }
  return files;
}

bool is_gone(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

std::expected<IndexReport, TileIndexError> update_existing(const std::string& index_path, const std::string& table,
                                                           const std::vector<std::string>& files, IndexReport report) {
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

  TileRows rows(db->get(), table);
  if (auto ok = rows.prepared(); !ok) return failed(ok.error());
  rows.use_srs(index_crs->has_value() ? *srs_id : geopackage::kUndefinedSrs);
  std::vector<std::string> to_read;
  std::size_t kept = 0;
  for (const auto& [location, file] : *indexed) {
    if (is_gone(location)) {
      if (auto ok = rows.remove(file.fid); !ok) return failed(ok.error());
      ++report.tiles_removed;
    } else if (auto stamp = stamp_of(location); stamp && *stamp == file.stamp) {
      ++kept;
    } else {
      to_read.push_back(location);
    }
  }
  for (const std::string& file : files) {
    if (!indexed->contains(file)) to_read.push_back(file);
  }
  std::sort(to_read.begin(), to_read.end());

  CrsTally tally;
  tally.add(*index_crs, "", kept);
  const std::size_t skipped_before = report.skipped.size();
  auto written = read_headers(to_read, report, [&](const TileHeader& tile) {
    tally.add(tile.crs, tile.location);
    const auto existing = indexed->find(tile.location);
    return rows.write(tile, existing == indexed->end() ? std::nullopt : std::optional(existing->second.fid));
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
  if (options.update && fs::exists(index_path, error)) return update_existing(index_path, options.layer, files, report);
  return build_new(index_path, options.layer, files, report);
}

}  // namespace karvik_core::index
