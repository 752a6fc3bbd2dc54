#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <variant>

#include "las/error.hpp"

namespace karvik_core {

// The one error type of the core library. Every fallible core operation
// returns its result or one of these; the display text is what users see.
class TileIndexError {
 public:
  enum class Kind {
    GeoPackageOpen,
    TileQuery,
    InvalidGeometry,
    PointCloudIO,
    NoTilesFound,
    OutputError,
    Io,
    Cancelled,
  };

  // The error one level down: the platform error or the I/O error.
  using Cause = std::variant<las::Error, std::error_code>;

  static TileIndexError geo_package_open(std::string text) { return {Kind::GeoPackageOpen, std::move(text)}; }
  static TileIndexError tile_query(std::string text) { return {Kind::TileQuery, std::move(text)}; }
  static TileIndexError invalid_geometry(std::string text) { return {Kind::InvalidGeometry, std::move(text)}; }
  static TileIndexError no_tiles_found() { return {Kind::NoTilesFound, std::monostate{}}; }
  static TileIndexError output_error(std::string text) { return {Kind::OutputError, std::move(text)}; }
  static TileIndexError io(std::error_code code) { return {Kind::Io, code}; }
  // The caller asked the extraction to stop; nothing was written.
  static TileIndexError cancelled() { return {Kind::Cancelled, std::monostate{}}; }
  // A platform failure while a tile is opened or read, or a header is built.
  TileIndexError(las::Error error) : kind_(Kind::PointCloudIO), payload_(std::move(error)) {}

  Kind kind() const { return kind_; }
  // The display text: a fixed prefix per kind followed by the payload's text.
  std::string to_string() const;
  // Kind name and payload, for logs and debugging.
  std::string debug_string() const;
  std::optional<Cause> source() const;

 private:
  using Payload = std::variant<std::monostate, std::string, las::Error, std::error_code>;
  TileIndexError(Kind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}

  Kind kind_;
  Payload payload_;
};

std::ostream& operator<<(std::ostream& out, const TileIndexError& error);

}  // namespace karvik_core
