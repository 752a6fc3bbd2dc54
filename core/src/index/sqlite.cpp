#include "index/sqlite.hpp"

#include "text/utf8.hpp"

namespace karvik_core::index::sqlite {
namespace {

const char* storage_class_name(int type) {
  switch (type) {
    case SQLITE_INTEGER: return "Integer";
    case SQLITE_FLOAT: return "Real";
    case SQLITE_TEXT: return "Text";
    case SQLITE_BLOB: return "Blob";
    default: return "Null";
  }
}

std::string invalid_type(sqlite3_stmt* stmt, int column) {
  return std::string("Invalid column type ") + storage_class_name(sqlite3_column_type(stmt, column)) +
         " at index: " + std::to_string(column) + ", name: " + sqlite3_column_name(stmt, column);
}

}  // namespace

Statement::Statement(sqlite3* db, const std::string& sql) : db_(db) {
  rc_ = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr);
}

std::expected<void, std::string> Statement::check_parameters(int supplied) const {
  const int needed = sqlite3_bind_parameter_count(stmt_);
  if (needed != supplied) {
    return std::unexpected("Wrong number of parameters passed to query. Got " + std::to_string(supplied) +
                           ", needed " + std::to_string(needed));
  }
  return {};
}

std::expected<bool, std::string> Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  return std::unexpected(errmsg());
}

std::expected<void, std::string> Statement::run() {
  const int rc = sqlite3_step(stmt_);
  std::expected<void, std::string> result;
  if (rc != SQLITE_DONE) result = std::unexpected(rc == SQLITE_ROW ? "the statement returned rows" : errmsg());
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  return result;
}

std::expected<std::string, std::string> column_text(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_type(stmt, column) != SQLITE_TEXT) return std::unexpected(invalid_type(stmt, column));
  const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  std::string text(data ? data : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
  if (auto bad = validate_utf8(text)) {
    return std::unexpected("Conversion error from type Text at index: " + std::to_string(column) + ", " +
                           bad->describe());
  }
  return text;
}

std::expected<std::span<const std::uint8_t>, std::string> column_blob(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_type(stmt, column) != SQLITE_BLOB) return std::unexpected(invalid_type(stmt, column));
  const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, column));
  return std::span<const std::uint8_t>(data, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

std::string quote_identifier(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::expected<void, std::string> exec(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return {};
  std::string text = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return std::unexpected(std::move(text));
}

}  // namespace karvik_core::index::sqlite
