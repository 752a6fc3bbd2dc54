#include "las/point_format.hpp"

namespace las {

std::uint16_t PointFormat::rgb_offset() const {
  if (is_extended()) return 30;
  return has_gps_time() ? 28 : 20;
}

std::uint16_t PointFormat::waveform_offset() const {
  switch (id) {
    case 4: return 28;
    case 5: return 34;
    case 9: return 30;
    default: return 38;
  }
}

std::string describe(const PointFormat& format) {
  std::string text = "format " + std::to_string(format.id) + " [";
  if (format.has_gps_time()) text += "gps time, ";
  if (format.has_rgb()) text += "rgb, ";
  if (format.has_nir()) text += "nir, ";
  if (format.has_waveform()) text += "waveform, ";
  text += std::to_string(format.extra_bytes) + " extra bytes]";
  return text;
}

}  // namespace las
