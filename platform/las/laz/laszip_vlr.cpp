#include "las/laz/laszip_vlr.hpp"

#include <string>

#include "las/bytes.hpp"

namespace las::laz {

namespace {

constexpr std::size_t fixed_part = 34;
constexpr std::size_t item_part = 6;

template <typename T>
void append_le(std::vector<std::uint8_t>& out, T value) {
  out.resize(out.size() + sizeof value);
  store(out.data() + out.size() - sizeof value, value);
}

// The item types a point format consists of, without extra bytes.
std::vector<ItemType> format_items(std::uint8_t format) {
  using enum ItemType;
  switch (format) {
    case 0:
      return {point10};
    case 1:
      return {point10, gpstime11};
    case 2:
      return {point10, rgb12};
    case 3:
      return {point10, gpstime11, rgb12};
    case 4:
      return {point10, gpstime11, wavepacket13};
    case 5:
      return {point10, gpstime11, rgb12, wavepacket13};
    case 6:
      return {point14};
    case 7:
      return {point14, rgb14};
    case 8:
      return {point14, rgbnir14};
    case 9:
      return {point14, wavepacket14};
    case 10:
      return {point14, rgbnir14, wavepacket14};
    default:
      return {};
  }
}

std::uint16_t item_size(ItemType type) {
  using enum ItemType;
  switch (type) {
    case point10:
      return 20;
    case gpstime11:
      return 8;
    case rgb12:
      return 6;
    case wavepacket13:
      return 29;
    case point14:
      return 30;
    case rgb14:
      return 6;
    case rgbnir14:
      return 8;
    case wavepacket14:
      return 29;
    default:
      return 0;
  }
}

}  // namespace

Error codec_error(std::string_view what) { return Error(std::string("laszip error: ") + std::string(what)); }

bool LaszipItem::is_known() const {
  switch (type) {
    case ItemType::point10:
    case ItemType::gpstime11:
    case ItemType::rgb12:
    case ItemType::byte:
      return version == 1 || version == 2;
    case ItemType::wavepacket13:
      return version == 1;
    case ItemType::point14:
    case ItemType::rgb14:
    case ItemType::rgbnir14:
    case ItemType::wavepacket14:
    case ItemType::byte14:
      return version == 3 || version == 4;
    default:
      return false;
  }
}

std::string_view item_type_name(ItemType type) {
  using enum ItemType;
  switch (type) {
    case byte:
      return "BYTE";
    case short_:
      return "SHORT";
    case int_:
      return "INT";
    case long_:
      return "LONG";
    case float_:
      return "FLOAT";
    case double_:
      return "DOUBLE";
    case point10:
      return "POINT10";
    case gpstime11:
      return "GPSTIME11";
    case rgb12:
      return "RGB12";
    case wavepacket13:
      return "WAVEPACKET13";
    case point14:
      return "POINT14";
    case rgb14:
      return "RGB14";
    case rgbnir14:
      return "RGBNIR14";
    case wavepacket14:
      return "WAVEPACKET14";
    case byte14:
      return "BYTE14";
  }
  return "unknown";
}

std::expected<LaszipVlr, Error> LaszipVlr::parse(std::span<const std::uint8_t> data) {
  if (data.size() < fixed_part) {
    return std::unexpected(
        codec_error(std::string("the LASzip VLR is too short (") + std::to_string(data.size()) + " bytes)"));
  }
  LaszipVlr vlr;
  const auto compressor = load<std::uint16_t>(data.data() + 0);
  if (compressor < 1 || compressor > 3) {
    return std::unexpected(codec_error(std::string("unknown compressor ") + std::to_string(compressor)));
  }
  vlr.compressor = static_cast<Compressor>(compressor);
  vlr.coder = load<std::uint16_t>(data.data() + 2);
  if (vlr.coder != 0) return std::unexpected(codec_error(std::string("unknown coder ") + std::to_string(vlr.coder)));
  vlr.version_major = data[4];
  vlr.version_minor = data[5];
  vlr.version_revision = load<std::uint16_t>(data.data() + 6);
  vlr.options = load<std::uint32_t>(data.data() + 8);
  vlr.chunk_size = load<std::uint32_t>(data.data() + 12);
  vlr.special_evlr_count = load<std::int64_t>(data.data() + 16);
  vlr.special_evlr_offset = load<std::int64_t>(data.data() + 24);
  const auto item_count = load<std::uint16_t>(data.data() + 32);
  if (data.size() != fixed_part + item_part * item_count) {
    return std::unexpected(codec_error(std::string("the LASzip VLR has ") + std::to_string(data.size()) +
                                       " bytes but " + std::to_string(item_count) + " items need " +
                                       std::to_string(fixed_part + item_part * item_count)));
  }
  for (std::size_t i = 0; i < item_count; ++i) {
    const std::size_t at = fixed_part + item_part * i;
    LaszipItem item{static_cast<ItemType>(load<std::uint16_t>(data.data() + at)),
                    load<std::uint16_t>(data.data() + at + 2), load<std::uint16_t>(data.data() + at + 4)};
    if (!item.is_known()) {
      return std::unexpected(codec_error(std::string("item type ") + std::to_string(static_cast<unsigned>(item.type)) +
                                         " version " + std::to_string(item.version) + " is not supported"));
    }
    vlr.items.push_back(item);
  }
  return vlr;
}

std::vector<std::uint8_t> LaszipVlr::serialize() const {
  std::vector<std::uint8_t> out;
  out.reserve(fixed_part + item_part * items.size());
  append_le(out, static_cast<std::uint16_t>(compressor));
  append_le(out, coder);
  append_le(out, version_major);
  append_le(out, version_minor);
  append_le(out, version_revision);
  append_le(out, options);
  append_le(out, chunk_size);
  append_le(out, special_evlr_count);
  append_le(out, special_evlr_offset);
  append_le(out, static_cast<std::uint16_t>(items.size()));
  for (const auto& item : items) {
    append_le(out, static_cast<std::uint16_t>(item.type));
    append_le(out, item.size);
    append_le(out, item.version);
  }
  return out;
}

std::expected<LaszipVlr, Error> LaszipVlr::for_point_format(std::uint8_t format, std::uint16_t extra_bytes,
                                                            std::uint32_t chunk_size) {
  const auto types = format_items(format);
  if (types.empty())
    return std::unexpected(
        codec_error(std::string("point format ") + std::to_string(format) + " cannot be compressed"));
  LaszipVlr vlr;
  vlr.chunk_size = chunk_size;
  const bool extended = format >= 6;
  vlr.compressor = extended ? Compressor::layered_chunked : Compressor::pointwise_chunked;
  for (ItemType type : types) {
    const std::uint16_t version = extended ? 3 : (type == ItemType::wavepacket13 ? 1 : 2);
    vlr.items.push_back({type, item_size(type), version});
  }
  if (extra_bytes != 0) {
    vlr.items.push_back({extended ? ItemType::byte14 : ItemType::byte, extra_bytes, std::uint16_t(extended ? 3 : 2)});
  }
  return vlr;
}

std::expected<void, Error> LaszipVlr::check_point_format(std::uint8_t format, std::uint16_t record_length) const {
  auto mismatch = [&](std::string_view why) {
    return std::unexpected(codec_error(std::string("the LASzip VLR does not match point format ") +
                                       std::to_string(format) + " with record length " + std::to_string(record_length) +
                                       ": " + std::string(why)));
  };
  const auto types = format_items(format);
  if (types.empty()) return mismatch("the format cannot be compressed");
  const bool extended = format >= 6;
  if ((compressor == Compressor::layered_chunked) != extended) {
    return mismatch(std::string("compressor ") + std::to_string(static_cast<unsigned>(compressor)) +
                    " does not fit the format");
  }
  std::size_t i = 0;
  for (ItemType type : types) {
    if (i >= items.size() || items[i].type != type || items[i].size != item_size(type)) {
      return mismatch(std::string("item ") + std::to_string(i + 1) + " should be " + std::string(item_type_name(type)));
    }
    ++i;
  }
  if (i < items.size()) {
    const ItemType extra = extended ? ItemType::byte14 : ItemType::byte;
    if (items[i].type != extra || i + 1 != items.size()) return mismatch("unexpected items after the point's own");
  }
  if (record_length != this->record_length()) {
    return mismatch(std::string("the items make records of ") + std::to_string(this->record_length()) + " bytes");
  }
  return {};
}

std::size_t LaszipVlr::record_length() const {
  std::size_t sum = 0;
  for (const auto& item : items) sum += item.size;
  return sum;
}

}  // namespace las::laz
