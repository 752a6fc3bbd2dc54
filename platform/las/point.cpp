#include "las/point.hpp"

#include <cmath>
#include <cstring>

#include "las/number_text.hpp"

namespace las {
namespace {

// The extended scan angle counts steps of 0.006 degrees.
constexpr double kScanAngleStep = 0.006;

Error cannot_hold(const PointFormat& format, const char* what, double value) {
  return Error("point format " + std::to_string(format.id) + " cannot hold " + what + " " + number_text(value));
}

}  // namespace

Point decode_point(const RecordLayout& layout, const std::uint8_t* r) {
  const PointFormat& format = layout.format;
  Point p;
  p.position = layout.coordinates(r);
  p.intensity = load<std::uint16_t>(r + 12);
  if (format.is_extended()) {
    p.return_number = r[14] & 0x0F;
    p.number_of_returns = r[14] >> 4;
    p.synthetic = r[15] & 0x01;
    p.key_point = r[15] & 0x02;
    p.withheld = r[15] & 0x04;
    p.overlap = r[15] & 0x08;
    p.scanner_channel = (r[15] >> 4) & 0x03;
    p.scan_direction = r[15] & 0x40;
    p.edge_of_flight_line = r[15] & 0x80;
    p.classification = r[16];
    p.user_data = r[17];
    p.scan_angle = load<std::int16_t>(r + 18) * kScanAngleStep;
    p.point_source_id = load<std::uint16_t>(r + 20);
  } else {
    p.return_number = r[14] & 0x07;
    p.number_of_returns = (r[14] >> 3) & 0x07;
    p.scan_direction = r[14] & 0x40;
    p.edge_of_flight_line = r[14] & 0x80;
    p.classification = r[15] & 0x1F;
    p.synthetic = r[15] & 0x20;
    p.key_point = r[15] & 0x40;
    p.withheld = r[15] & 0x80;
    p.scan_angle = static_cast<std::int8_t>(r[16]);
    p.user_data = r[17];
    p.point_source_id = load<std::uint16_t>(r + 18);
  }
  if (format.has_gps_time()) p.gps_time = load<double>(r + format.gps_time_offset());
  if (format.has_rgb()) {
    const std::uint8_t* c = r + format.rgb_offset();
    p.color = Color{load<std::uint16_t>(c), load<std::uint16_t>(c + 2), load<std::uint16_t>(c + 4)};
  }
  if (format.has_nir()) p.nir = load<std::uint16_t>(r + format.nir_offset());
  if (format.has_waveform()) {
    const std::uint8_t* w = r + format.waveform_offset();
    p.wave_packet = WavePacket{w[0],
                               load<std::uint64_t>(w + 1),
                               load<std::uint32_t>(w + 9),
                               load<float>(w + 13),
                               load<float>(w + 17),
                               load<float>(w + 21),
                               load<float>(w + 25)};
  }
  p.extra_bytes = {r + format.base_length(), format.extra_bytes};
  return p;
}

bool carries_attributes_of(const Point& point, const PointFormat& format) {
  return point.gps_time.has_value() == format.has_gps_time() && point.color.has_value() == format.has_rgb() &&
         point.nir.has_value() == format.has_nir() && point.wave_packet.has_value() == format.has_waveform() &&
         point.extra_bytes.size() == format.extra_bytes;
}

std::expected<void, Error> encode_point(const Point& p, const RecordLayout& layout, std::uint8_t* r) {
  const PointFormat& format = layout.format;
  if (!carries_attributes_of(p, format)) {
    return std::unexpected(Error("the attributes of the point format (" + describe(format) +
                                 ") do not match the point: " + describe(p)));
  }
  if (auto stored = layout.store_coordinates(p.position, r); !stored) return stored;
  store<std::uint16_t>(r + 12, p.intensity);
  const std::uint8_t direction_and_edge = (p.scan_direction ? 0x40 : 0) | (p.edge_of_flight_line ? 0x80 : 0);
  if (format.is_extended()) {
    if (p.return_number > 15) return std::unexpected(cannot_hold(format, "return number", p.return_number));
    if (p.number_of_returns > 15) return std::unexpected(cannot_hold(format, "number of returns", p.number_of_returns));
    const double angle = std::round(p.scan_angle / kScanAngleStep);
    if (!(angle >= -32768 && angle <= 32767)) return std::unexpected(cannot_hold(format, "scan angle", p.scan_angle));
    r[14] = static_cast<std::uint8_t>(p.return_number | (p.number_of_returns << 4));
    r[15] = static_cast<std::uint8_t>((p.synthetic ? 0x01 : 0) | (p.key_point ? 0x02 : 0) | (p.withheld ? 0x04 : 0) |
                                      (p.overlap ? 0x08 : 0) | ((p.scanner_channel & 0x03) << 4) | direction_and_edge);
    r[16] = p.classification;
    r[17] = p.user_data;
    store<std::int16_t>(r + 18, static_cast<std::int16_t>(angle));
    store<std::uint16_t>(r + 20, p.point_source_id);
  } else {
    // Legacy formats mark overlap points with class 12; they have no scanner channel.
    const std::uint8_t classification = p.overlap ? 12 : p.classification;
    if (p.return_number > 7) return std::unexpected(cannot_hold(format, "return number", p.return_number));
    if (p.number_of_returns > 7) return std::unexpected(cannot_hold(format, "number of returns", p.number_of_returns));
    if (classification > 31) return std::unexpected(cannot_hold(format, "classification", classification));
    const double angle = std::round(p.scan_angle);
    if (!(angle >= -128 && angle <= 127)) return std::unexpected(cannot_hold(format, "scan angle", p.scan_angle));
    r[14] = static_cast<std::uint8_t>(p.return_number | (p.number_of_returns << 3) | direction_and_edge);
    r[15] = static_cast<std::uint8_t>(classification | (p.synthetic ? 0x20 : 0) | (p.key_point ? 0x40 : 0) |
                                      (p.withheld ? 0x80 : 0));
    r[16] = static_cast<std::uint8_t>(static_cast<std::int8_t>(angle));
    r[17] = p.user_data;
    store<std::uint16_t>(r + 18, p.point_source_id);
  }
  if (p.gps_time) store<double>(r + format.gps_time_offset(), *p.gps_time);
  if (p.color) {
    std::uint8_t* c = r + format.rgb_offset();
    store<std::uint16_t>(c, p.color->red);
    store<std::uint16_t>(c + 2, p.color->green);
    store<std::uint16_t>(c + 4, p.color->blue);
  }
  if (p.nir) store<std::uint16_t>(r + format.nir_offset(), *p.nir);
  if (p.wave_packet) {
    std::uint8_t* w = r + format.waveform_offset();
    w[0] = p.wave_packet->descriptor_index;
    store<std::uint64_t>(w + 1, p.wave_packet->byte_offset);
    store<std::uint32_t>(w + 9, p.wave_packet->packet_size);
    store<float>(w + 13, p.wave_packet->return_point_location);
    store<float>(w + 17, p.wave_packet->x_t);
    store<float>(w + 21, p.wave_packet->y_t);
    store<float>(w + 25, p.wave_packet->z_t);
  }
  if (!p.extra_bytes.empty()) std::memcpy(r + format.base_length(), p.extra_bytes.data(), p.extra_bytes.size());
  return {};
}

std::string describe(const Point& point) {
  std::string text = "(";
  text += number_text(point.position.x) + ", " + number_text(point.position.y) + ", " + number_text(point.position.z);
  text += ") [";
  if (point.gps_time) text += "gps time, ";
  if (point.color) text += "rgb, ";
  if (point.nir) text += "nir, ";
  if (point.wave_packet) text += "waveform, ";
  text += std::to_string(point.extra_bytes.size()) + " extra bytes]";
  return text;
}

std::expected<void, Error> convert_records(const RecordLayout& from, std::span<const std::uint8_t> records,
                                           const RecordLayout& to, std::vector<std::uint8_t>& out) {
  const std::size_t in_length = from.record_length();
  const std::size_t out_length = to.record_length();
  const std::size_t count = records.size() / in_length;
  out.resize(count * out_length);
  const bool same_format = from.format == to.format;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* in = records.data() + i * in_length;
    std::uint8_t* record = out.data() + i * out_length;
    if (same_format) std::memcpy(record, in, in_length);
    const auto converted = same_format ? to.store_coordinates(from.coordinates(in), record)
                                       : encode_point(decode_point(from, in), to, record);
    if (!converted) {
      out.resize(i * out_length);
      return converted;
    }
  }
  return {};
}

}  // namespace las
