#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "las/laz/channel_contexts.hpp"
#include "las/laz/integer_compressor.hpp"
#include "las/laz/layer_coders.hpp"
#include "las/laz/layered_item.hpp"
#include "las/laz/symbol_models.hpp"

// WAVEPACKET14: the 29-byte wave packet descriptor of formats 9 and 10 (one
// layer), in versions 3 and 4.
namespace las::laz {

inline constexpr std::size_t wavepacket14_size = 29;

struct WavePacket {
  std::uint8_t descriptor = 0;
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
  std::int32_t return_point = 0;  // the float's bits, as are x, y and z
  std::array<std::int32_t, 3> xyz{};
};

template <class Coder>
struct WavePacket14State {
  WavePacket last;
  std::int32_t last_offset_diff = 0;
  unsigned last_offset_kind = 0;
  SymbolModel descriptor{256};
  std::array<SymbolModel, 4> offset_kind = symbol_models<4>(4);
  Coder offset_diff{32};
  Coder size{32};
  Coder return_point{32};
  Coder xyz{32, 3};
  void reset(const WavePacket& from);
};

class WavePacket14Decoder {
 public:
  explicit WavePacket14Decoder(ItemVersion version) : version_(version) {}
  static constexpr std::size_t layer_count = 1;
  bool decode(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes, Layers layers);

 private:
  template <ItemVersion V>
  void decode_points(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes);

  ItemVersion version_;
  ChannelContexts<WavePacket14State<IntegerDecompressor>> contexts_;
  LayerDecoder layer_;
};

class WavePacket14Encoder {
 public:
  explicit WavePacket14Encoder(ItemVersion version) : version_(version) {}
  void encode(ConstChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
              LayerBytes& layers);

 private:
  template <ItemVersion V>
  bool encode_points(ConstChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes);

  ItemVersion version_;
  ChannelContexts<WavePacket14State<IntegerCompressor>> contexts_;
  LayerEncoder layer_;
};

}  // namespace las::laz
