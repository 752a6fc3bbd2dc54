#include "error.hpp"

#include "text/debug_quote.hpp"

namespace karvik_core {
namespace {

const char* kind_name(TileIndexError::Kind kind) {
  switch (kind) {
    case TileIndexError::Kind::GeoPackageOpen: return "GeoPackageOpen";
    case TileIndexError::Kind::TileQuery: return "TileQuery";
    case TileIndexError::Kind::InvalidGeometry: return "InvalidGeometry";
    case TileIndexError::Kind::PointCloudIO: return "PointCloudIO";
    case TileIndexError::Kind::NoTilesFound: return "NoTilesFound";
    case TileIndexError::Kind::OutputError: return "OutputError";
    case TileIndexError::Kind::Io: return "Io";
    case TileIndexError::Kind::Cancelled: return "Cancelled";
  }
  return "";
}

const char* prefix(TileIndexError::Kind kind) {
  switch (kind) {
    case TileIndexError::Kind::GeoPackageOpen: return "Failed to open GeoPackage: ";
    case TileIndexError::Kind::TileQuery: return "Failed to query tiles: ";
    case TileIndexError::Kind::InvalidGeometry: return "Invalid geometry in tile index: ";
    case TileIndexError::Kind::PointCloudIO: return "LAS/LAZ file error: ";
    case TileIndexError::Kind::NoTilesFound: return "No tiles found intersecting the extraction geometry";
    case TileIndexError::Kind::OutputError: return "Output file error: ";
    case TileIndexError::Kind::Io: return "I/O error: ";
    case TileIndexError::Kind::Cancelled: return "Extraction cancelled";
  }
  return "";
}

}  // namespace

std::string TileIndexError::to_string() const {
  std::string text = prefix(kind_);
  if (const auto* s = std::get_if<std::string>(&payload_)) text += *s;
  if (const auto* e = std::get_if<las::Error>(&payload_)) text += e->message();
  if (const auto* c = std::get_if<std::error_code>(&payload_)) text += c->message();
  return text;
}

std::string TileIndexError::debug_string() const {
  std::string payload;
  if (const auto* s = std::get_if<std::string>(&payload_)) payload = debug_quote(*s);
  if (const auto* e = std::get_if<las::Error>(&payload_)) payload = debug_quote(e->message());
  if (const auto* c = std::get_if<std::error_code>(&payload_)) {
    payload = "code: ";
    payload += std::to_string(c->value());
    payload += ", message: ";
    payload += debug_quote(c->message());
  }
  std::string text = kind_name(kind_);
  if (!payload.empty()) {
    text += '(';
    text += payload;
    text += ')';
  }
  return text;
}

std::optional<TileIndexError::Cause> TileIndexError::source() const {
  if (const auto* e = std::get_if<las::Error>(&payload_)) return Cause(*e);
  if (const auto* c = std::get_if<std::error_code>(&payload_)) return Cause(*c);
  return std::nullopt;
}

std::ostream& operator<<(std::ostream& out, const TileIndexError& error) { return out << error.to_string(); }

}  // namespace karvik_core
