#pragma once

#include <cstdint>
#include <string>

namespace las {

// A point data record format: the format number 0-10 and the extra bytes that
// follow the format's own fields in each record.
struct PointFormat {
  std::uint8_t id = 0;
  std::uint16_t extra_bytes = 0;

  static constexpr std::uint8_t kMaxId = 10;

  // Size of the format's own fields, without the extra bytes; id must be <= kMaxId.
  std::uint16_t base_length() const {
    constexpr std::uint16_t kBaseLength[kMaxId + 1] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
    return kBaseLength[id];
  }
  std::uint32_t record_length() const { return std::uint32_t{base_length()} + extra_bytes; }
  bool is_extended() const { return id >= 6; }
  bool has_gps_time() const { return id != 0 && id != 2; }
  bool has_rgb() const { return id == 2 || id == 3 || id == 5 || id == 7 || id == 8 || id == 10; }
  bool has_nir() const { return id == 8 || id == 10; }
  bool has_waveform() const { return id == 4 || id == 5 || id == 9 || id == 10; }

  // Byte offsets of the optional fields inside a record; only meaningful when present.
  std::uint16_t gps_time_offset() const { return is_extended() ? 22 : 20; }
  std::uint16_t rgb_offset() const;
  std::uint16_t nir_offset() const { return 36; }
  std::uint16_t waveform_offset() const;

  bool operator==(const PointFormat&) const = default;
};

// "format 3 [gps time, rgb, 2 extra bytes]": the number and what its records carry.
std::string describe(const PointFormat& format);

}  // namespace las
