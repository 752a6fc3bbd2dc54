#include "las/laz/rgb14.hpp"

#include "las/bytes.hpp"
#include "las/laz/item_tools.hpp"

namespace las::laz {
namespace {

std::uint8_t low(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
std::uint8_t high(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }

Rgb read_rgb(const std::uint8_t* p) {
  return {load<std::uint16_t>(p), load<std::uint16_t>(p + 2), load<std::uint16_t>(p + 4)};
}

void write_rgb(std::uint8_t* p, const Rgb& c) {
  for (std::size_t i = 0; i < 3; ++i) store(p + 2 * i, c[i]);
}

}  // namespace

bool Rgb14Decoder::decode(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
                          Layers layers) {
  contexts_.start(changes[0].channel, read_rgb(records.record(0) + offset));
  layer_.start(layers[0]);
  if (version_ == ItemVersion::v3) {
    decode_points<ItemVersion::v3>(records, offset, changes);
  } else {
    decode_points<ItemVersion::v4>(records, offset, changes);
  }
  return !layer_.failed();
}

template <ItemVersion V>
void Rgb14Decoder::decode_points(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes) {
  for (std::size_t i = 1; i < records.count; ++i) {
    auto [s, last] = contexts_.select<V>(item_context<V>(changes[i]));
    if (layer_.present) last = decode_rgb_v2(layer_.coder, s.models, last);
    write_rgb(records.record(i) + offset, last);
  }
}

void Rgb14Encoder::encode(ConstChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
                          LayerBytes& layers) {
  contexts_.start(changes[0].channel, read_rgb(records.record(0) + offset));
  layer_.restart();
  const bool changed = version_ == ItemVersion::v3 ? encode_points<ItemVersion::v3>(records, offset, changes)
                                                   : encode_points<ItemVersion::v4>(records, offset, changes);
  layers.push_back(layer_.finish(changed));
}

template <ItemVersion V>
bool Rgb14Encoder::encode_points(ConstChunkRecords records, std::size_t offset,
                                 std::span<const Point14Changes> changes) {
  bool changed = false;
  for (std::size_t i = 1; i < records.count; ++i) {
    auto [s, last] = contexts_.select<V>(item_context<V>(changes[i]));
    const Rgb c = read_rgb(records.record(i) + offset);
    // As in the reference, a colour that is not grey counts as a change.
    changed = encode_rgb_v2(layer_.coder(), s.models, last, c) != 0 || changed;
    last = c;
  }
  return changed;
}

bool Nir14Decoder::decode(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
                          Layers layers) {
  contexts_.start(changes[0].channel, load<std::uint16_t>(records.record(0) + offset));
  layer_.start(layers[0]);
  if (version_ == ItemVersion::v3) {
    decode_points<ItemVersion::v3>(records, offset, changes);
  } else {
    decode_points<ItemVersion::v4>(records, offset, changes);
  }
  return !layer_.failed();
}

template <ItemVersion V>
void Nir14Decoder::decode_points(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes) {
  auto& dec = layer_.coder;
  for (std::size_t i = 1; i < records.count; ++i) {
    auto [s, last] = contexts_.select<V>(item_context<V>(changes[i]));
    if (layer_.present) {
      const unsigned sym = dec.decode_symbol(s.byte_used);
      std::uint8_t lo = low(last), hi = high(last);
      if (sym & 1u) lo = static_cast<std::uint8_t>(dec.decode_symbol(s.diffs[0]) + lo);
      if (sym & 2u) hi = static_cast<std::uint8_t>(dec.decode_symbol(s.diffs[1]) + hi);
      last = static_cast<std::uint16_t>(lo | (hi << 8));
    }
    store(records.record(i) + offset, last);
  }
}

void Nir14Encoder::encode(ConstChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
                          LayerBytes& layers) {
  contexts_.start(changes[0].channel, load<std::uint16_t>(records.record(0) + offset));
  layer_.restart();
  const bool changed = version_ == ItemVersion::v3 ? encode_points<ItemVersion::v3>(records, offset, changes)
                                                   : encode_points<ItemVersion::v4>(records, offset, changes);
  layers.push_back(layer_.finish(changed));
}

template <ItemVersion V>
bool Nir14Encoder::encode_points(ConstChunkRecords records, std::size_t offset,
                                 std::span<const Point14Changes> changes) {
  auto& enc = layer_.coder();
  bool changed = false;
  for (std::size_t i = 1; i < records.count; ++i) {
    auto [s, last] = contexts_.select<V>(item_context<V>(changes[i]));
    const auto v = load<std::uint16_t>(records.record(i) + offset);
    const unsigned sym = (low(v) != low(last) ? 1u : 0u) | (high(v) != high(last) ? 2u : 0u);
    enc.encode_symbol(s.byte_used, sym);
    if (sym & 1u) enc.encode_symbol(s.diffs[0], static_cast<std::uint8_t>(low(v) - low(last)));
    if (sym & 2u) enc.encode_symbol(s.diffs[1], static_cast<std::uint8_t>(high(v) - high(last)));
    changed = changed || sym != 0;
    last = v;
  }
  return changed;
}

}  // namespace las::laz
