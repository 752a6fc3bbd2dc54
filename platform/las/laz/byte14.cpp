#include "las/laz/byte14.hpp"

#include "las/bytes.hpp"

namespace las::laz {

void Byte14State::reset(const std::vector<std::uint8_t>& from) {
  last = from;
  models.assign(from.size(), SymbolModel(256));
}

Byte14Decoder::Byte14Decoder(ItemVersion version, std::size_t size) : version_(version), layers_(size) {}

bool Byte14Decoder::decode(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
                           Layers layers) {
  const std::uint8_t* first = records.record(0) + offset;
  contexts_.start(changes[0].channel, std::vector<std::uint8_t>(first, first + layers_.size()));
  for (std::size_t i = 0; i < layers_.size(); ++i) layers_[i].start(layers[i]);
  if (version_ == ItemVersion::v3) {
    decode_points<ItemVersion::v3>(records, offset, changes);
  } else {
    decode_points<ItemVersion::v4>(records, offset, changes);
  }
  for (const auto& layer : layers_) {
    if (layer.failed()) return false;
  }
  return true;
}

template <ItemVersion V>
void Byte14Decoder::decode_points(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes) {
  for (std::size_t i = 1; i < records.count; ++i) {
    auto [s, last] = contexts_.select<V>(item_context<V>(changes[i]));
    std::uint8_t* item = records.record(i) + offset;
    for (std::size_t b = 0; b < layers_.size(); ++b) {
      if (layers_[b].present) {
        last[b] = static_cast<std::uint8_t>(last[b] + layers_[b].coder.decode_symbol(s.models[b]));
      }
      item[b] = last[b];
    }
  }
}

Byte14Encoder::Byte14Encoder(ItemVersion version, std::size_t size)
    : version_(version), layers_(size), changed_(size) {}

void Byte14Encoder::encode(ConstChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
                           LayerBytes& layers) {
  const std::uint8_t* first = records.record(0) + offset;
  contexts_.start(changes[0].channel, std::vector<std::uint8_t>(first, first + layers_.size()));
  for (auto& layer : layers_) layer.restart();
  changed_.assign(layers_.size(), false);
  if (version_ == ItemVersion::v3) {
    encode_points<ItemVersion::v3>(records, offset, changes);
  } else {
    encode_points<ItemVersion::v4>(records, offset, changes);
  }
  for (std::size_t b = 0; b < layers_.size(); ++b) layers.push_back(layers_[b].finish(changed_[b]));
}

template <ItemVersion V>
void Byte14Encoder::encode_points(ConstChunkRecords records, std::size_t offset,
                                  std::span<const Point14Changes> changes) {
  for (std::size_t i = 1; i < records.count; ++i) {
    auto [s, last] = contexts_.select<V>(item_context<V>(changes[i]));
    const std::uint8_t* item = records.record(i) + offset;
    for (std::size_t b = 0; b < layers_.size(); ++b) {
      layers_[b].coder().encode_symbol(s.models[b], static_cast<std::uint8_t>(item[b] - last[b]));
      if (item[b] != last[b]) {
        changed_[b] = true;
        last[b] = item[b];
      }
    }
  }
}

}  // namespace las::laz
