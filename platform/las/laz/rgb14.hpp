#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "las/laz/channel_contexts.hpp"
#include "las/laz/layer_coders.hpp"
#include "las/laz/layered_item.hpp"
#include "las/laz/rgb.hpp"
#include "las/laz/symbol_models.hpp"

// RGB14 (red, green, blue: one layer, coded as RGB12 version 2 codes them) and
// the NIR channel of RGBNIR14 (a layer of its own after the colour layer), in
// versions 3 and 4. RGBNIR14 is coded as the colour item followed by the NIR item.
namespace las::laz {

inline constexpr std::size_t rgb14_size = 6;
inline constexpr std::size_t nir14_size = 2;

struct Rgb14State {
  Rgb last{};
  RgbV2Models models;
  void reset(const Rgb& from) { last = from; }
};

struct Nir14State {
  std::uint16_t last = 0;
  SymbolModel byte_used{4};
  std::array<SymbolModel, 2> diffs = symbol_models<2>(256);
  void reset(std::uint16_t from) { last = from; }
};

class Rgb14Decoder {
 public:
  explicit Rgb14Decoder(ItemVersion version) : version_(version) {}
  static constexpr std::size_t layer_count = 1;
  // Decodes the item at `offset` of every record after the first.
  bool decode(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes, Layers layers);

 private:
  template <ItemVersion V>
  void decode_points(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes);

  ItemVersion version_;
  ChannelContexts<Rgb14State> contexts_;
  LayerDecoder layer_;
};

class Rgb14Encoder {
 public:
  explicit Rgb14Encoder(ItemVersion version) : version_(version) {}
  void encode(ConstChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
              LayerBytes& layers);

 private:
  template <ItemVersion V>
  bool encode_points(ConstChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes);

  ItemVersion version_;
  ChannelContexts<Rgb14State> contexts_;
  LayerEncoder layer_;
};

class Nir14Decoder {
 public:
  explicit Nir14Decoder(ItemVersion version) : version_(version) {}
  static constexpr std::size_t layer_count = 1;
  bool decode(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes, Layers layers);

 private:
  template <ItemVersion V>
  void decode_points(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes);

  ItemVersion version_;
  ChannelContexts<Nir14State> contexts_;
  LayerDecoder layer_;
};

class Nir14Encoder {
 public:
  explicit Nir14Encoder(ItemVersion version) : version_(version) {}
  void encode(ConstChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
              LayerBytes& layers);

 private:
  template <ItemVersion V>
  bool encode_points(ConstChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes);

  ItemVersion version_;
  ChannelContexts<Nir14State> contexts_;
  LayerEncoder layer_;
};

}  // namespace las::laz
