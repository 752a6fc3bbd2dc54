#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "las/laz/channel_contexts.hpp"
#include "las/laz/layer_coders.hpp"
#include "las/laz/layered_item.hpp"
#include "las/laz/models.hpp"

// BYTE14: the extra bytes of formats 6-10, one layer per byte, in versions 3 and 4.
namespace las::laz {

struct Byte14State {
  std::vector<std::uint8_t> last;
  std::vector<SymbolModel> models;
  void reset(const std::vector<std::uint8_t>& from);
};

class Byte14Decoder {
 public:
  Byte14Decoder(ItemVersion version, std::size_t size);
  std::size_t layer_count() const { return layers_.size(); }
  bool decode(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes, Layers layers);

 private:
  template <ItemVersion V>
  void decode_points(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes);

  ItemVersion version_;
  ChannelContexts<Byte14State> contexts_;
  std::vector<LayerDecoder> layers_;
};

class Byte14Encoder {
 public:
  Byte14Encoder(ItemVersion version, std::size_t size);
  void encode(ConstChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
              LayerBytes& layers);

 private:
  template <ItemVersion V>
  void encode_points(ConstChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes);

  ItemVersion version_;
  ChannelContexts<Byte14State> contexts_;
  std::vector<LayerEncoder> layers_;
  std::vector<bool> changed_;
};

}  // namespace las::laz
