#include "las/laz/chunk_codec.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <variant>

#include "las/laz/arithmetic_decoder.hpp"
#include "las/laz/arithmetic_encoder.hpp"
#include "las/laz/extra_bytes.hpp"
#include "las/laz/gps_time.hpp"
#include "las/laz/point10.hpp"
#include "las/laz/rgb.hpp"
#include "las/laz/wavepacket.hpp"

namespace las::laz {

namespace {

using ItemDecoder = std::variant<Point10DecoderV1, Point10DecoderV2, GpsTimeDecoderV1, GpsTimeDecoderV2, RgbDecoderV1,
                                 RgbDecoderV2, WavepacketDecoderV1, ExtraBytesDecoderV1, ExtraBytesDecoderV2>;
using ItemEncoder =
    std::variant<Point10EncoderV2, GpsTimeEncoderV2, RgbEncoderV2, WavepacketEncoderV1, ExtraBytesEncoderV2>;

// The items of point formats 0-5.
bool decodable(const LaszipItem& item) { return item.is_known() && item.type <= ItemType::wavepacket13; }

bool encodable(const LaszipItem& item) {
  return decodable(item) && item.version == (item.type == ItemType::wavepacket13 ? 1 : 2);
}

ItemDecoder make_decoder(const LaszipItem& item, const std::uint8_t* first) {
  const bool v1 = item.version == 1;
  switch (item.type) {
    case ItemType::point10:
      return v1 ? ItemDecoder(std::in_place_type<Point10DecoderV1>, first)
                : ItemDecoder(std::in_place_type<Point10DecoderV2>, first);
    case ItemType::gpstime11:
      return v1 ? ItemDecoder(std::in_place_type<GpsTimeDecoderV1>, first)
                : ItemDecoder(std::in_place_type<GpsTimeDecoderV2>, first);
    case ItemType::rgb12:
      return v1 ? ItemDecoder(std::in_place_type<RgbDecoderV1>, first)
                : ItemDecoder(std::in_place_type<RgbDecoderV2>, first);
    case ItemType::wavepacket13:
      return ItemDecoder(std::in_place_type<WavepacketDecoderV1>, first);
    default:
      return v1 ? ItemDecoder(std::in_place_type<ExtraBytesDecoderV1>, first, item.size)
                : ItemDecoder(std::in_place_type<ExtraBytesDecoderV2>, first, item.size);
  }
}

ItemEncoder make_encoder(const LaszipItem& item, const std::uint8_t* first) {
  switch (item.type) {
    case ItemType::point10:
      return ItemEncoder(std::in_place_type<Point10EncoderV2>, first);
    case ItemType::gpstime11:
      return ItemEncoder(std::in_place_type<GpsTimeEncoderV2>, first);
    case ItemType::rgb12:
      return ItemEncoder(std::in_place_type<RgbEncoderV2>, first);
    case ItemType::wavepacket13:
      return ItemEncoder(std::in_place_type<WavepacketEncoderV1>, first);
    default:
      return ItemEncoder(std::in_place_type<ExtraBytesEncoderV2>, first, item.size);
  }
}

// The item chains of the common formats, fixed at compile time: POINT10 and
// GPSTIME11 (format 1), and RGB12 after them (format 3), all of version 2.
// Their records are coded with direct calls instead of a dispatch per item.
template <class Item>
constexpr std::size_t fixed_size = 0;
template <> constexpr std::size_t fixed_size<Point10DecoderV2> = Point10::size;
template <> constexpr std::size_t fixed_size<Point10EncoderV2> = Point10::size;
template <> constexpr std::size_t fixed_size<GpsTimeDecoderV2> = 8;
template <> constexpr std::size_t fixed_size<GpsTimeEncoderV2> = 8;
template <> constexpr std::size_t fixed_size<RgbDecoderV2> = 6;
template <> constexpr std::size_t fixed_size<RgbEncoderV2> = 6;

// The coders as the chain `Items...`, or nothing when they are another chain.
template <class... Items, class Variant>
std::optional<std::tuple<Items&...>> as_chain(std::vector<Variant>& coders, std::span<const LaszipItem> items) {
  if (coders.size() != sizeof...(Items)) return std::nullopt;
  return [&]<std::size_t... I>(std::index_sequence<I...>) -> std::optional<std::tuple<Items&...>> {
    if (!((std::holds_alternative<Items>(coders[I]) && items[I].size == fixed_size<Items>) && ...)) {
      return std::nullopt;
    }
    return std::tuple<Items&...>{std::get<Items>(coders[I])...};
  }(std::index_sequence_for<Items...>{});
}

// Decodes `count` records at `record` with the chain; true unless the coders are another chain.
template <class... Items>
bool decode_chain(std::vector<ItemDecoder>& decoders, std::span<const LaszipItem> items, ArithmeticDecoder& dec,
                  std::uint8_t* record, std::size_t count) {
  auto chain = as_chain<Items...>(decoders, items);
  if (!chain) return false;
  std::apply(
      [&](Items&... item) {
        for (std::size_t i = 0; i < count; ++i) ((item.decode(dec, record), record += fixed_size<Items>), ...);
      },
      *chain);
  return true;
}

template <class... Items>
bool encode_chain(std::vector<ItemEncoder>& encoders, std::span<const LaszipItem> items, ArithmeticEncoder& enc,
                  const std::uint8_t* record, std::size_t count) {
  auto chain = as_chain<Items...>(encoders, items);
  if (!chain) return false;
  std::apply(
      [&](Items&... item) {
        for (std::size_t i = 0; i < count; ++i) ((item.encode(enc, record), record += fixed_size<Items>), ...);
      },
      *chain);
  return true;
}

// The items must all be ones this codec knows.
std::expected<void, Error> check_items(const LaszipVlr& vlr, bool (*known)(const LaszipItem&), std::string_view what) {
  if (vlr.items.empty()) return std::unexpected(codec_error("the LASzip VLR lists no items"));
  for (const auto& item : vlr.items) {
    if (!known(item) || item.size == 0) {
      return std::unexpected(codec_error(std::string("cannot ") + std::string(what) + " item " +
                                         std::string(item_type_name(item.type)) + " version " +
                                         std::to_string(item.version) + " of " + std::to_string(item.size) + " bytes"));
    }
  }
  return {};
}

}  // namespace

std::expected<ChunkDecoder, Error> ChunkDecoder::create(const LaszipVlr& vlr) {
  if (vlr.compressor != Compressor::pointwise && vlr.compressor != Compressor::pointwise_chunked) {
    return std::unexpected(codec_error(std::string("compressor ") +
                                       std::to_string(static_cast<unsigned>(vlr.compressor)) + " is not pointwise"));
  }
  if (auto ok = check_items(vlr, decodable, "decode"); !ok) return std::unexpected(ok.error());
  return ChunkDecoder(vlr.items, vlr.record_length());
}

std::expected<std::size_t, Error> ChunkDecoder::decode(std::span<const std::uint8_t> chunk, std::size_t point_count,
                                                       std::vector<std::uint8_t>& out) const {
  if (point_count == 0) return 0;
  auto fail = [&](std::size_t kept) {
    out.resize(kept);
    return std::unexpected(codec_error("the compressed points end early (truncated or corrupt chunk)"));
  };
  const std::size_t kept = out.size();
  if (chunk.size() < record_length_) return fail(kept);
  out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(record_length_));

  std::vector<ItemDecoder> decoders;
  decoders.reserve(items_.size());
  std::size_t offset = 0;
  for (const auto& item : items_) {
    decoders.push_back(make_decoder(item, out.data() + kept + offset));
    offset += item.size;
  }

  ArithmeticDecoder dec(chunk.subspan(record_length_));
  dec.init();
  // The output grows a block of records at a time, so that a corrupt point
  // count costs no more memory than the bytes that decode before the end.
  constexpr std::size_t block = 4096;
  for (std::size_t done = 1; done < point_count && !dec.failed();) {
    const std::size_t count = std::min(block, point_count - done);
    const std::size_t at = out.size();
    out.resize(at + count * record_length_);
    std::uint8_t* record = out.data() + at;
    const bool fixed =
        decode_chain<Point10DecoderV2, GpsTimeDecoderV2>(decoders, items_, dec, record, count) ||
        decode_chain<Point10DecoderV2, GpsTimeDecoderV2, RgbDecoderV2>(decoders, items_, dec, record, count);
    for (std::size_t i = 0; i < count && !fixed; ++i) {
      for (std::size_t k = 0; k < decoders.size(); ++k) {
        std::visit([&](auto& d) { d.decode(dec, record); }, decoders[k]);
        record += items_[k].size;
      }
    }
    done += count;
  }
  if (dec.failed()) return fail(kept);
  return record_length_ + dec.position();
}

std::expected<ChunkEncoder, Error> ChunkEncoder::create(const LaszipVlr& vlr) {
  if (vlr.compressor != Compressor::pointwise_chunked) {
    return std::unexpected(codec_error(std::string("cannot encode with compressor ") +
                                       std::to_string(static_cast<unsigned>(vlr.compressor))));
  }
  if (auto ok = check_items(vlr, encodable, "encode"); !ok) return std::unexpected(ok.error());
  return ChunkEncoder(vlr.items, vlr.record_length());
}

void ChunkEncoder::encode(std::span<const std::uint8_t> records, std::vector<std::uint8_t>& out) const {
  const std::size_t count = records.size() / record_length_;
  if (count == 0) return;
  out.insert(out.end(), records.begin(), records.begin() + static_cast<std::ptrdiff_t>(record_length_));
  std::vector<ItemEncoder> encoders;
  encoders.reserve(items_.size());
  std::size_t offset = 0;
  for (const auto& item : items_) {
    encoders.push_back(make_encoder(item, records.data() + offset));
    offset += item.size;
  }
  ArithmeticEncoder enc(out);
  const std::uint8_t* second = records.data() + record_length_;
  if (encode_chain<Point10EncoderV2, GpsTimeEncoderV2>(encoders, items_, enc, second, count - 1) ||
      encode_chain<Point10EncoderV2, GpsTimeEncoderV2, RgbEncoderV2>(encoders, items_, enc, second, count - 1)) {
    enc.done();
    return;
  }
  for (std::size_t i = 1; i < count; ++i) {
    const std::uint8_t* record = records.data() + i * record_length_;
    for (std::size_t k = 0; k < encoders.size(); ++k) {
      std::visit([&](auto& e) { e.encode(enc, record); }, encoders[k]);
      record += items_[k].size;
    }
  }
  enc.done();
}

}  // namespace las::laz
