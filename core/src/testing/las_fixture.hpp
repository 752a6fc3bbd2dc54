#pragma once

// LAS tiles for tests, written through the platform's writer, and read back.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "las/header.hpp"
#include "las/reader.hpp"
#include "las/writer.hpp"

namespace karvik_core::testing {

struct TilePoint {
  double x, y, z;
};

struct TileOptions {
  std::uint8_t format = 1;
  las::Transform x{0.01, 0}, y{0.01, 0}, z{0.01, 0};
  std::uint16_t file_source_id = 0;
  std::string system_identifier = "test fixture";
  bool compressed = false;
  // The LAS version: 1.4 for formats 6-10, else 1.2, unless given.
  std::optional<las::Version> version{};
  // Written as given, even bits the version lacks, as some writers do.
  std::uint16_t global_encoding = 0;
  std::vector<las::Vlr> vlrs{};
};

// A raw record of the options' format for a point; every other attribute is
// derived from `i`, so that records differ beyond their coordinates.
inline std::vector<std::uint8_t> make_record(const TileOptions& options, const TilePoint& p, std::uint32_t i) {
  const las::PointFormat format{options.format, 0};
  std::vector<std::uint8_t> record(format.record_length(), 0);
  const std::int32_t raw[3] = {*options.x.inverse(p.x), *options.y.inverse(p.y), *options.z.inverse(p.z)};
  std::memcpy(record.data(), raw, sizeof raw);
  const auto intensity = static_cast<std::uint16_t>(i * 7);
  std::memcpy(&record[12], &intensity, 2);
  record[14] = format.is_extended() ? 0x11 : 0x09;  // return 1 of 1
  record[15] = static_cast<std::uint8_t>(2 + i % 3);
  if (format.has_gps_time()) {
    const double t = 1000.0 + i * 0.25;
    std::memcpy(&record[format.gps_time_offset()], &t, 8);
  }
  if (format.has_rgb()) {
    const std::uint16_t rgb[3] = {static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(2 * i), 7};
    std::memcpy(&record[format.rgb_offset()], rgb, sizeof rgb);
  }
  return record;
}

inline las::Header tile_header(const TileOptions& options) {
  las::HeaderBuilder builder;
  builder.version = options.version.value_or(options.format >= 6 ? las::Version{1, 4} : las::Version{1, 2});
  builder.global_encoding = options.global_encoding;
  builder.pass_global_encoding = true;
  builder.point_format = las::PointFormat{options.format, 0};
  builder.transforms = {options.x, options.y, options.z};
  builder.file_source_id = options.file_source_id;
  builder.system_identifier = options.system_identifier;
  builder.vlrs = options.vlrs;
  auto header = builder.build();
  EXPECT_TRUE(header.has_value());
  return *header;
}

// Writes a LAS tile holding `points` in order; returns its raw records.
inline std::vector<std::uint8_t> write_tile(const std::string& path, const std::vector<TilePoint>& points,
                                            const TileOptions& options = {}) {
  std::vector<std::uint8_t> records;
  for (std::uint32_t i = 0; i < points.size(); ++i) {
    const auto r = make_record(options, points[i], i);
    records.insert(records.end(), r.begin(), r.end());
  }
  auto writer = las::Writer::create(path, tile_header(options), options.compressed);
  EXPECT_TRUE(writer.has_value()) << writer.error().message();
  auto written = writer->write_records(writer->layout(), records);
  EXPECT_TRUE(written.has_value()) << written.error().message();
  auto closed = writer->close();
  EXPECT_TRUE(closed.has_value()) << closed.error().message();
  return records;
}

struct ReadBack {
  las::Header header;
  std::vector<std::uint8_t> records;
};

inline ReadBack read_back(const std::string& path) {
  auto reader = las::Reader::open(path);
  EXPECT_TRUE(reader.has_value()) << (reader ? "" : reader.error().message());
  if (!reader) return {};
  ReadBack out{reader->header(), {}};
  for (;;) {
    auto n = reader->read_batch(out.records);
    EXPECT_TRUE(n.has_value());
    if (!n || *n == 0) break;
  }
  return out;
}

// A square grid of points, `side` by `side`, spaced `step` apart from (x0, y0).
inline std::vector<TilePoint> grid(double x0, double y0, int side, double step, double z = 5) {
  std::vector<TilePoint> points;
  for (int i = 0; i < side; ++i) {
    for (int j = 0; j < side; ++j) points.push_back({x0 + i * step, y0 + j * step, z + i});
  }
  return points;
}

}  // namespace karvik_core::testing
