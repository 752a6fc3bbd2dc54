#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <expected>
#include <limits>
#include <string>
#include <vector>

#include "las/error.hpp"
#include "las/point_format.hpp"
#include "las/transform.hpp"

namespace las {

struct Version {
  std::uint8_t major = 1;
  std::uint8_t minor = 2;

  auto operator<=>(const Version&) const = default;
  // "1.4"
  std::string text() const;
  bool is_supported() const { return major == 1 && minor <= 4; }
  bool supports(const PointFormat& format) const;
  // Size of the header this version defines: 227, 235 (1.3) or 375 (1.4).
  std::uint16_t header_size() const;
};

struct Vector3 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
  bool operator==(const Vector3&) const = default;
};

struct Transforms {
  Transform x, y, z;
  bool operator==(const Transforms&) const = default;
};

struct Bounds {
  static constexpr double kInf = std::numeric_limits<double>::infinity();
  Vector3 min{kInf, kInf, kInf};
  Vector3 max{-kInf, -kInf, -kInf};

  void grow(const Vector3& point) {
    if (point.x < min.x) min.x = point.x;
    if (point.y < min.y) min.y = point.y;
    if (point.z < min.z) min.z = point.z;
    if (point.x > max.x) max.x = point.x;
    if (point.y > max.y) max.y = point.y;
    if (point.z > max.z) max.z = point.z;
  }
  bool operator==(const Bounds&) const = default;
};

// A variable length record. The same type holds extended VLRs (EVLRs), whose
// data may exceed 65535 bytes. Texts keep their bytes as stored, without the
// trailing NULs.
struct Vlr {
  std::uint16_t reserved = 0;
  std::string user_id;
  std::uint16_t record_id = 0;
  std::string description;
  std::vector<std::uint8_t> data;

  // The record that describes LASzip compression ("laszip encoded", 22204).
  bool is_laszip() const { return user_id == "laszip encoded" && record_id == 22204; }
  bool operator==(const Vlr&) const = default;
};

// Every value a LAS header carries that is not derived from the others when
// the file is written (sizes, offsets, record length, legacy counts and the
// EVLR position are).
struct HeaderFields {
  Version version;
  PointFormat point_format;
  // The point data is LASzip-compressed (bit 7 or 6 of the stored format byte).
  bool compressed = false;
  Transforms transforms;
  Bounds bounds;
  std::uint64_t number_of_points = 0;
  // Index i counts the points of return number i + 1; legacy headers keep 5.
  std::array<std::uint64_t, 15> number_of_points_by_return{};
  std::array<std::uint8_t, 16> guid{};
  std::uint16_t file_source_id = 0;
  std::uint16_t global_encoding = 0;
  std::string system_identifier;
  std::string generating_software;
  std::uint16_t creation_day_of_year = 0;
  std::uint16_t creation_year = 0;
  std::vector<Vlr> vlrs;
  std::vector<Vlr> evlrs;
  // Bytes after the version's header size and before the first VLR, and
  // after the last VLR and before the point data, kept as they were.
  std::vector<std::uint8_t> header_padding;
  std::vector<std::uint8_t> vlr_padding;
  // Start of the waveform data packet record (LAS 1.3 and later).
  std::uint64_t waveform_start = 0;

  bool operator==(const HeaderFields&) const = default;
};

// Bits of the global encoding.
namespace global_encoding {
inline constexpr std::uint16_t kGpsStandardTime = 1 << 0;
inline constexpr std::uint16_t kWaveformInternal = 1 << 1;
inline constexpr std::uint16_t kWaveformExternal = 1 << 2;
inline constexpr std::uint16_t kSyntheticReturnNumbers = 1 << 3;
inline constexpr std::uint16_t kWkt = 1 << 4;
}  // namespace global_encoding

// A LAS header. Read from a file it holds what the file says; built by a
// HeaderBuilder it holds only what its version can carry.
class Header {
 public:
  Header() = default;
  // The header as a file states it, without the builder's checks.
  static Header as_read(HeaderFields fields) { return Header(std::move(fields)); }

  const HeaderFields& fields() const { return fields_; }
  const Version& version() const { return fields_.version; }
  const PointFormat& point_format() const { return fields_.point_format; }
  bool is_compressed() const { return fields_.compressed; }
  const Transforms& transforms() const { return fields_.transforms; }
  const Bounds& bounds() const { return fields_.bounds; }
  std::uint64_t number_of_points() const { return fields_.number_of_points; }
  const std::vector<Vlr>& vlrs() const { return fields_.vlrs; }
  const std::vector<Vlr>& evlrs() const { return fields_.evlrs; }
  bool has_gps_standard_time() const { return fields_.global_encoding & global_encoding::kGpsStandardTime; }
  bool has_synthetic_return_numbers() const {
    return fields_.global_encoding & global_encoding::kSyntheticReturnNumbers;
  }
  bool has_wkt() const { return fields_.global_encoding & global_encoding::kWkt; }

  bool operator==(const Header&) const = default;

 private:
  explicit Header(HeaderFields fields) : fields_(std::move(fields)) {}
  friend struct HeaderBuilder;

  HeaderFields fields_;
};

// Header -> builder -> header; build() refuses what the version cannot carry.
struct HeaderBuilder : HeaderFields {
  HeaderBuilder() = default;
  explicit HeaderBuilder(const Header& header) : HeaderFields(header.fields()) {}

  // Carry global-encoding bits that the version formally lacks instead of
  // refusing them: real files have them (LAS 1.1 with the GPS-time bit), and a
  // header taken from such a file keeps what the file says.
  bool pass_global_encoding = false;

  // The name of the first global-encoding feature the version lacks, or null.
  const char* unsupported_global_encoding() const;
  std::expected<Header, Error> build() const;
};

}  // namespace las
