#include "las/laz/wavepacket14.hpp"



namespace las::laz {

bool WavePacket14Decoder::decode(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
                                 Layers layers) {
  contexts_.start(changes[0].channel, Wavepacket::unpack(records.record(0) + offset));
  layer_.start(layers[0]);
  if (version_ == ItemVersion::v3) {
    decode_points<ItemVersion::v3>(records, offset, changes);
  } else {
    decode_points<ItemVersion::v4>(records, offset, changes);
  }
  return !layer_.failed();
}

template <ItemVersion V>
void WavePacket14Decoder::decode_points(ChunkRecords records, std::size_t offset,
                                        std::span<const Point14Changes> changes) {
  for (std::size_t i = 1; i < records.count; ++i) {
    auto [s, last] = contexts_.select<V>(item_context<V>(changes[i]));
    if (layer_.present) last = decode_wavepacket(layer_.coder, s.models, last);
    last.pack(records.record(i) + offset);
  }
}

void WavePacket14Encoder::encode(ConstChunkRecords records, std::size_t offset,
                                 std::span<const Point14Changes> changes, LayerBytes& layers) {
  contexts_.start(changes[0].channel, Wavepacket::unpack(records.record(0) + offset));
  layer_.restart();
  const bool changed = version_ == ItemVersion::v3 ? encode_points<ItemVersion::v3>(records, offset, changes)
                                                   : encode_points<ItemVersion::v4>(records, offset, changes);
  layers.push_back(layer_.finish(changed));
}

template <ItemVersion V>
bool WavePacket14Encoder::encode_points(ConstChunkRecords records, std::size_t offset,
                                        std::span<const Point14Changes> changes) {
  bool changed = false;
  for (std::size_t i = 1; i < records.count; ++i) {
    auto [s, last] = contexts_.select<V>(item_context<V>(changes[i]));
    const Wavepacket w = Wavepacket::unpack(records.record(i) + offset);
    changed = changed || !(w == last);
    encode_wavepacket(layer_.coder(), s.models, last, w);
    last = w;
  }
  return changed;
}

}  // namespace las::laz
