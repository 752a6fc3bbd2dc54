#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <expected>
#include <span>
#include <string>

// What the tile index reader and builder share of SQLite: prepared
// statements, typed column reads and quoted identifiers. Failures are SQLite's
// texts, which the callers wrap in their error kind.
namespace karvik_core::index::sqlite {

// A prepared statement, finalised on every path out.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql);
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool prepared() const { return rc_ == SQLITE_OK; }
  sqlite3_stmt* get() const { return stmt_; }
  std::string errmsg() const { return sqlite3_errmsg(db_); }

  // Fails unless the statement expects exactly `supplied` parameters.
  std::expected<void, std::string> check_parameters(int supplied) const;

  // True on a row, false when done.
  std::expected<bool, std::string> step();
  // Steps a statement that returns no row, then resets it and clears its bindings for the next run.
  std::expected<void, std::string> run();

  void bind(int index, std::int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
  void bind(int index, double value) { sqlite3_bind_double(stmt_, index, value); }
  void bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void bind(int index, std::span<const std::uint8_t> blob) {
    sqlite3_bind_blob(stmt_, index, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  int rc_;
};

// A TEXT value that is valid UTF-8, or the failure text naming the column.
std::expected<std::string, std::string> column_text(sqlite3_stmt* stmt, int column);
// A BLOB value (possibly empty), or the failure text naming the column.
std::expected<std::span<const std::uint8_t>, std::string> column_blob(sqlite3_stmt* stmt, int column);

// A name as an SQL quoted identifier, inner double quotes doubled.
std::string quote_identifier(const std::string& name);

// Runs SQL statements that return no rows.
std::expected<void, std::string> exec(sqlite3* db, const std::string& sql);

}  // namespace karvik_core::index::sqlite
