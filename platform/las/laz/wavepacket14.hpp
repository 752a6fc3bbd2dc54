#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "las/laz/channel_contexts.hpp"
#include "las/laz/integer_compressor.hpp"
#include "las/laz/layer_coders.hpp"
#include "las/laz/layered_item.hpp"
#include "las/laz/wavepacket.hpp"

// WAVEPACKET14: the 29-byte wave packet descriptor of formats 9 and 10 (one
// layer), in versions 3 and 4.
namespace las::laz {

inline constexpr std::size_t wavepacket14_size = Wavepacket::size;

// Per channel: the packet coding of WAVEPACKET13, with a model set of its own.
template <class Coder>
struct WavePacket14State {
  Wavepacket last{};
  WavepacketModels<Coder> models;
  void reset(const Wavepacket& from) { last = from; }
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
