#include "las/point_fields.hpp"

#include <algorithm>
#include <cstring>
#include <set>

namespace las {
namespace {

PointField whole(std::string name, FieldType type, std::uint8_t size, std::uint16_t offset) {
  return {std::move(name), type, size, 1, offset};
}

PointField bit_field(std::string name, std::uint16_t offset, std::uint8_t shift, std::uint8_t bits) {
  return {std::move(name), bits == 1 ? FieldType::Flag : FieldType::Unsigned, 1, 1, offset, shift, bits};
}

void add_legacy_core(std::vector<PointField>& fields) {
  fields.push_back(bit_field("return_number", 14, 0, 3));
  fields.push_back(bit_field("number_of_returns", 14, 3, 3));
  fields.push_back(bit_field("scan_direction_flag", 14, 6, 1));
  fields.push_back(bit_field("edge_of_flight_line", 14, 7, 1));
  fields.push_back(bit_field("classification", 15, 0, 5));
  fields.push_back(bit_field("synthetic", 15, 5, 1));
  fields.push_back(bit_field("key_point", 15, 6, 1));
  fields.push_back(bit_field("withheld", 15, 7, 1));
  fields.push_back(whole("scan_angle_rank", FieldType::Signed, 1, 16));
  fields.push_back(whole("user_data", FieldType::Unsigned, 1, 17));
  fields.push_back(whole("point_source_id", FieldType::Unsigned, 2, 18));
}

void add_extended_core(std::vector<PointField>& fields) {
  fields.push_back(bit_field("return_number", 14, 0, 4));
  fields.push_back(bit_field("number_of_returns", 14, 4, 4));
  fields.push_back(bit_field("synthetic", 15, 0, 1));
  fields.push_back(bit_field("key_point", 15, 1, 1));
  fields.push_back(bit_field("withheld", 15, 2, 1));
  fields.push_back(bit_field("overlap", 15, 3, 1));
  fields.push_back(bit_field("scanner_channel", 15, 4, 2));
  fields.push_back(bit_field("scan_direction_flag", 15, 6, 1));
  fields.push_back(bit_field("edge_of_flight_line", 15, 7, 1));
  fields.push_back(whole("classification", FieldType::Unsigned, 1, 16));
  fields.push_back(whole("user_data", FieldType::Unsigned, 1, 17));
  fields.push_back(whole("scan_angle", FieldType::Signed, 2, 18));
  fields.push_back(whole("point_source_id", FieldType::Unsigned, 2, 20));
}

void add_wave_packet(std::vector<PointField>& fields, std::uint16_t at) {
  fields.push_back(whole("wavepacket_index", FieldType::Unsigned, 1, at));
  fields.push_back(whole("wavepacket_offset", FieldType::Unsigned, 8, at + 1));
  fields.push_back(whole("wavepacket_size", FieldType::Unsigned, 4, at + 9));
  fields.push_back(whole("return_point_wave_location", FieldType::Float, 4, at + 13));
  fields.push_back(whole("x_t", FieldType::Float, 4, at + 17));
  fields.push_back(whole("y_t", FieldType::Float, 4, at + 21));
  fields.push_back(whole("z_t", FieldType::Float, 4, at + 25));
}

// One element of the Extra Bytes data types 1-10: u1 i1 u2 i2 u4 i4 u8 i8 f4 f8.
PointField element(std::uint8_t base_type) {
  static constexpr std::uint8_t kSize[] = {1, 1, 2, 2, 4, 4, 8, 8, 4, 8};
  const FieldType type = base_type >= 9 ? FieldType::Float : base_type % 2 == 1 ? FieldType::Unsigned
                                                                                : FieldType::Signed;
  return {"", type, kSize[base_type - 1]};
}

// The extra bytes as the descriptors name them; empty when they do not
// describe every byte exactly once with distinct, non-empty names.
std::vector<PointField> described_extra_bytes(const PointFormat& format, const std::vector<Vlr>& vlrs,
                                              const std::set<std::string>& taken) {
  constexpr std::size_t kDescriptor = 192;
  std::vector<PointField> fields;
  std::set<std::string> names = taken;
  std::size_t offset = format.base_length();
  for (const Vlr& vlr : vlrs) {
    if (vlr.user_id != "LASF_Spec" || vlr.record_id != 4) continue;
    if (vlr.data.size() % kDescriptor != 0) return {};
    for (std::size_t at = 0; at < vlr.data.size(); at += kDescriptor) {
      const std::uint8_t* d = vlr.data.data() + at;
      const std::uint8_t data_type = d[2];
      const std::uint8_t options = d[3];
      const char* name_bytes = reinterpret_cast<const char*>(d + 4);
      std::string name(name_bytes, std::find(name_bytes, name_bytes + 32, '\0'));
      PointField field;
      if (data_type == 0) {
        if (options == 0) return {};
        field = {"", FieldType::Unsigned, 1, options};  // undocumented bytes
      } else if (data_type <= 30) {
        field = element((data_type - 1) % 10 + 1);
        field.count = static_cast<std::uint16_t>((data_type - 1) / 10 + 1);
      } else {
        return {};
      }
      if (name.empty() || !names.insert(name).second) return {};
      field.name = std::move(name);
      field.offset = static_cast<std::uint16_t>(offset);
      offset += field.unpacked_size();
      if (offset > format.record_length()) return {};
      fields.push_back(std::move(field));
    }
  }
  if (offset != format.record_length()) return {};
  return fields;
}

}  // namespace

std::vector<PointField> point_fields(const PointFormat& format, const std::vector<Vlr>& vlrs) {
  std::vector<PointField> fields = {whole("X", FieldType::Signed, 4, 0), whole("Y", FieldType::Signed, 4, 4),
                                    whole("Z", FieldType::Signed, 4, 8),
                                    whole("intensity", FieldType::Unsigned, 2, 12)};
  if (format.is_extended()) {
    add_extended_core(fields);
  } else {
    add_legacy_core(fields);
  }
  if (format.has_gps_time()) fields.push_back(whole("gps_time", FieldType::Float, 8, format.gps_time_offset()));
  if (format.has_rgb()) {
    const std::uint16_t at = format.rgb_offset();
    fields.push_back(whole("red", FieldType::Unsigned, 2, at));
    fields.push_back(whole("green", FieldType::Unsigned, 2, at + 2));
    fields.push_back(whole("blue", FieldType::Unsigned, 2, at + 4));
  }
  if (format.has_nir()) fields.push_back(whole("nir", FieldType::Unsigned, 2, format.nir_offset()));
  if (format.has_waveform()) add_wave_packet(fields, format.waveform_offset());
  if (format.extra_bytes == 0) return fields;

  std::set<std::string> taken;
  for (const PointField& field : fields) taken.insert(field.name);
  taken.insert("extra_bytes");
  std::vector<PointField> extra = described_extra_bytes(format, vlrs, taken);
  if (extra.empty()) extra.push_back({"extra_bytes", FieldType::Unsigned, 1, format.extra_bytes, format.base_length()});
  fields.insert(fields.end(), extra.begin(), extra.end());
  return fields;
}

FieldUnpacker::FieldUnpacker(const std::vector<PointField>& fields, std::size_t record_length)
    : record_length_(record_length) {
  for (const PointField& field : fields) {
    const auto to = static_cast<std::uint16_t>(row_size_);
    if (field.bits > 0) {
      bits_.push_back({field.offset, to, field.bit_shift, static_cast<std::uint8_t>((1u << field.bits) - 1)});
    } else if (!runs_.empty() && runs_.back().from + runs_.back().length == field.offset &&
               runs_.back().to + runs_.back().length == to) {
      runs_.back().length = static_cast<std::uint16_t>(runs_.back().length + field.unpacked_size());
    } else {
      runs_.push_back({field.offset, to, static_cast<std::uint16_t>(field.unpacked_size())});
    }
    row_size_ += field.unpacked_size();
  }
}

void FieldUnpacker::unpack(std::span<const std::uint8_t> records, std::uint8_t* rows) const {
  const std::size_t count = records.size() / record_length_;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* record = records.data() + i * record_length_;
    std::uint8_t* row = rows + i * row_size_;
    for (const Run& run : runs_) std::memcpy(row + run.to, record + run.from, run.length);
    for (const Bits& b : bits_) row[b.to] = static_cast<std::uint8_t>((record[b.from] >> b.shift) & b.mask);
  }
}

}  // namespace las
