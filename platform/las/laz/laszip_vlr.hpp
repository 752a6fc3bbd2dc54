#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "las/error.hpp"

namespace las::laz {

// The codec errors, all in one form: "laszip error: {what}".
Error codec_error(std::string_view what);

enum class ItemType : std::uint16_t {
  byte = 0,
  short_ = 1,
  int_ = 2,
  long_ = 3,
  float_ = 4,
  double_ = 5,
  point10 = 6,
  gpstime11 = 7,
  rgb12 = 8,
  wavepacket13 = 9,
  point14 = 10,
  rgb14 = 11,
  rgbnir14 = 12,
  wavepacket14 = 13,
  byte14 = 14,
};

std::string_view item_type_name(ItemType type);

struct LaszipItem {
  ItemType type;
  std::uint16_t size;
  std::uint16_t version;

  // A type and version the format defines.
  bool is_known() const;
  friend bool operator==(const LaszipItem&, const LaszipItem&) = default;
};

enum class Compressor : std::uint16_t {
  none = 0,
  pointwise = 1,
  pointwise_chunked = 2,
  layered_chunked = 3,
};

// The "laszip encoded" VLR (record 22204): how the point data is compressed.
struct LaszipVlr {
  static constexpr std::string_view user_id = "laszip encoded";
  static constexpr std::uint16_t record_id = 22204;
  static constexpr std::string_view description = "http://laszip.org";
  static constexpr std::uint32_t variable_chunk_size = 0xFFFFFFFFu;
  static constexpr std::uint32_t default_chunk_size = 50000;

  Compressor compressor = Compressor::pointwise_chunked;
  std::uint16_t coder = 0;  // 0: arithmetic, the only coder there is
  std::uint8_t version_major = 3;
  std::uint8_t version_minor = 4;
  std::uint16_t version_revision = 3;
  std::uint32_t options = 0;
  std::uint32_t chunk_size = default_chunk_size;
  std::int64_t special_evlr_count = -1;
  std::int64_t special_evlr_offset = -1;
  std::vector<LaszipItem> items;

  // Reads the VLR's payload; checks its structure, compressor, coder and item
  // versions, not whether it fits a point format (see check_point_format).
  static std::expected<LaszipVlr, Error> parse(std::span<const std::uint8_t> data);
  std::vector<std::uint8_t> serialize() const;

  // What our writer emits for a point format: pointwise chunked (layered for
  // formats 6-10), items of the newest versions, chunks of `chunk_size` points.
  static std::expected<LaszipVlr, Error> for_point_format(std::uint8_t format, std::uint16_t extra_bytes,
                                                          std::uint32_t chunk_size = default_chunk_size);

  // The items must describe exactly the records of this format and length.
  std::expected<void, Error> check_point_format(std::uint8_t format, std::uint16_t record_length) const;

  // Chunks whose point counts are stored in the chunk table. Some writers put
  // 0 in the chunk size field for these.
  bool variable_chunks() const { return chunk_size == variable_chunk_size || chunk_size == 0; }

  // The sum of the item sizes: the record length the items describe.
  std::size_t record_length() const;

  friend bool operator==(const LaszipVlr&, const LaszipVlr&) = default;
};

}  // namespace las::laz
