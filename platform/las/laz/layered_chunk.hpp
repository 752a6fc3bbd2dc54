#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <variant>
#include <vector>

#include "las/error.hpp"
#include "las/record_filter.hpp"
#include "las/laz/byte14.hpp"
#include "las/laz/laszip_vlr.hpp"
#include "las/laz/layered_item.hpp"
#include "las/laz/point14.hpp"
#include "las/laz/rgb14.hpp"
#include "las/laz/wavepacket14.hpp"

// Chunks of the layered compressor (LASzip compressor 3, point formats 6-10):
// the first record raw, the number of points, the byte count of every layer
// of every item, then the layers. Each chunk is coded from and to bytes in
// memory, on its own.
namespace las::laz {

// The most points one chunk may hold; a chunk is decoded in one piece.
inline constexpr std::size_t max_layered_chunk_points = std::size_t{1} << 22;

class LayeredChunkDecoder {
 public:
  // Fails unless the items are POINT14 followed by RGB14/RGBNIR14, WAVEPACKET14
  // and BYTE14 items of versions 3 or 4 with their sizes.
  static std::expected<LayeredChunkDecoder, Error> create(const LaszipVlr& vlr);

  std::size_t record_length() const { return record_length_; }

  // Decodes one chunk of `point_count` points and appends its records to
  // `out`, or with `keep` only those it keeps: the coordinate layers first,
  // the other layers only when at least one point is kept, and then only as
  // far as the last kept point. The kept records are those a full decode
  // gives (damage to the layers after the last kept point goes unnoticed).
  // Returns the number of bytes the chunk took; fails, leaving `out` as it
  // was, on bytes that are not such a chunk.
  std::expected<std::size_t, Error> decode(std::span<const std::uint8_t> chunk, std::size_t point_count,
                                           std::vector<std::uint8_t>& out, const RecordFilter* keep = nullptr);

 private:
  using ItemDecoder = std::variant<Rgb14Decoder, Nir14Decoder, Byte14Decoder, WavePacket14Decoder>;
  struct Slot {
    ItemDecoder decoder;
    std::size_t offset;  // within the record
    std::size_t layers;
  };
  LayeredChunkDecoder() = default;

  std::size_t record_length_ = point14_size;
  std::size_t layer_count_ = point14_layers;
  std::vector<Slot> items_;
  Point14GeometryDecoder geometry_;
  Point14AttributeDecoder attributes_;
  std::vector<Point14Changes> changes_;
  std::vector<std::span<const std::uint8_t>> layers_;
  std::vector<std::uint8_t> keep_;
};

class LayeredChunkEncoder {
 public:
  static std::expected<LayeredChunkEncoder, Error> create(const LaszipVlr& vlr);

  std::size_t record_length() const { return record_length_; }

  // Encodes the records (a whole number of records, at least one) as one chunk appended to `out`.
  void encode(std::span<const std::uint8_t> records, std::vector<std::uint8_t>& out);

 private:
  using ItemEncoder = std::variant<Rgb14Encoder, Nir14Encoder, Byte14Encoder, WavePacket14Encoder>;
  struct Slot {
    ItemEncoder encoder;
    std::size_t offset;
  };
  LayeredChunkEncoder() = default;

  std::size_t record_length_ = point14_size;
  std::vector<Slot> items_;
  Point14Encoder point_;
  std::vector<Point14Changes> changes_;
  LayerBytes layers_;
};

}  // namespace las::laz
