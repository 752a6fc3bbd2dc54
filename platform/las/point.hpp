#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "las/error.hpp"
#include "las/header.hpp"
#include "las/record_layout.hpp"

namespace las {

struct Color {
  std::uint16_t red = 0, green = 0, blue = 0;
  bool operator==(const Color&) const = default;
};

struct WavePacket {
  std::uint8_t descriptor_index = 0;
  std::uint64_t byte_offset = 0;
  std::uint32_t packet_size = 0;
  float return_point_location = 0, x_t = 0, y_t = 0, z_t = 0;
  bool operator==(const WavePacket&) const = default;
};

// Every attribute of every point format, decoded from one record. The path
// that converts records between compatible formats goes through it; records in
// the output's own format never do.
struct Point {
  Vector3 position;
  std::uint16_t intensity = 0;
  std::uint8_t return_number = 0;
  std::uint8_t number_of_returns = 0;
  bool scan_direction = false;
  bool edge_of_flight_line = false;
  std::uint8_t classification = 0;
  bool synthetic = false;
  bool key_point = false;
  bool withheld = false;
  bool overlap = false;
  std::uint8_t scanner_channel = 0;
  // Degrees: the legacy rank, or the extended angle in 0.006 degree steps.
  double scan_angle = 0;
  std::uint8_t user_data = 0;
  std::uint16_t point_source_id = 0;
  std::optional<double> gps_time;
  std::optional<Color> color;
  std::optional<std::uint16_t> nir;
  std::optional<WavePacket> wave_packet;
  // Borrowed from the record it was decoded from.
  std::span<const std::uint8_t> extra_bytes;
};

Point decode_point(const RecordLayout& layout, const std::uint8_t* record);

// The point has exactly the optional attributes and extra bytes of the format.
bool carries_attributes_of(const Point& point, const PointFormat& format);

// Writes one record; fails on an attribute the format cannot hold, on a
// coordinate outside int32 once re-encoded, and on attributes that do not
// match the format.
std::expected<void, Error> encode_point(const Point& point, const RecordLayout& layout, std::uint8_t* record);

// Converts whole records of `from` into records of `to`, replacing `out`:
// records of the same format get their coordinates re-encoded, others go
// through the generic point. On a failure `out` holds the records before the
// failing one.
std::expected<void, Error> convert_records(const RecordLayout& from, std::span<const std::uint8_t> records,
                                           const RecordLayout& to, std::vector<std::uint8_t>& out);

// "(1.5, 2, 3) [gps time, 0 extra bytes]": the position and what it carries.
std::string describe(const Point& point);

}  // namespace las
