#include "error.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace karvik_core {
namespace {

TEST(TileIndexError, DisplayTextIsPrefixAndPayload) {
  struct Case {
    TileIndexError error;
    std::string text;
  };
  const Case cases[] = {
      {TileIndexError::geo_package_open("x"), "Failed to open GeoPackage: x"},
      {TileIndexError::tile_query("No feature tables found"), "Failed to query tiles: No feature tables found"},
      {TileIndexError::invalid_geometry("Geometry blob too short"),
       "Invalid geometry in tile index: Geometry blob too short"},
      {TileIndexError(las::Error("bad chunk")), "LAS/LAZ file error: bad chunk"},
      {TileIndexError::no_tiles_found(), "No tiles found intersecting the extraction geometry"},
      {TileIndexError::output_error("disk full"), "Output file error: disk full"},
      {TileIndexError::io(std::make_error_code(std::errc::no_such_file_or_directory)),
       "I/O error: No such file or directory"},
      {TileIndexError::geo_package_open(""), "Failed to open GeoPackage: "},
      {TileIndexError::tile_query(""), "Failed to query tiles: "},
      {TileIndexError::invalid_geometry(""), "Invalid geometry in tile index: "},
      {TileIndexError::output_error(""), "Output file error: "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.to_string(), c.text);
    std::ostringstream out;
    out << c.error;
    EXPECT_EQ(out.str(), c.text);
  }
  EXPECT_EQ(TileIndexError::no_tiles_found().to_string().size(), 51u);
}

TEST(TileIndexError, OnlyPlatformAndIoErrorsHaveACause) {
  EXPECT_FALSE(TileIndexError::tile_query("no such table: gpkg_contents").source());
  EXPECT_FALSE(TileIndexError::no_tiles_found().source());
  EXPECT_FALSE(TileIndexError::output_error("x").source());

  const auto las = TileIndexError(las::Error("laszip vlr not found")).source();
  ASSERT_TRUE(las);
  EXPECT_EQ(std::get<las::Error>(*las).message(), "laszip vlr not found");

  const auto code = std::make_error_code(std::errc::permission_denied);
  const auto io = TileIndexError::io(code).source();
  ASSERT_TRUE(io);
  EXPECT_EQ(std::get<std::error_code>(*io), code);
}

TEST(TileIndexError, DebugRenderingNamesTheKind) {
  EXPECT_EQ(TileIndexError::tile_query("a \"b\"").debug_string(), "TileQuery(\"a \\\"b\\\"\")");
  EXPECT_EQ(TileIndexError::no_tiles_found().debug_string(), "NoTilesFound");
  EXPECT_EQ(TileIndexError(las::Error("e")).debug_string(), "PointCloudIO(\"e\")");
  EXPECT_EQ(TileIndexError::no_tiles_found().kind(), TileIndexError::Kind::NoTilesFound);
}

}  // namespace
}  // namespace karvik_core
