#include "las/laz/rgb14.hpp"

#include <algorithm>

namespace las::laz {
namespace {

std::uint8_t low(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
std::uint8_t high(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
std::uint8_t clamp_byte(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

using Rgb = std::array<std::uint16_t, 3>;

Rgb read_rgb(const std::uint8_t* p) {
  return {load_field<std::uint16_t>(p), load_field<std::uint16_t>(p + 2), load_field<std::uint16_t>(p + 4)};
}

void write_rgb(std::uint8_t* p, const Rgb& c) {
  for (std::size_t i = 0; i < 3; ++i) store_field(p + 2 * i, c[i]);
}

// Bits 0-5: which of the six bytes differ from the last colour; bit 6: the
// colour is not grey (green and blue differ from red).
unsigned changed_bytes(const Rgb& last, const Rgb& c) {
  unsigned sym = 0;
  for (unsigned i = 0; i < 3; ++i) {
    sym |= (low(last[i]) != low(c[i]) ? 1u : 0u) << (2 * i);
    sym |= (high(last[i]) != high(c[i]) ? 1u : 0u) << (2 * i + 1);
  }
  const bool grey = low(c[0]) == low(c[1]) && low(c[0]) == low(c[2]) && high(c[0]) == high(c[1]) &&
                    high(c[0]) == high(c[2]);
  return sym | (grey ? 0u : 1u << 6);
}

// Red is coded against the last red; green and blue against the last green and
// blue moved by red's change (blue by the mean of red's and green's).
Rgb decode_rgb(ArithmeticDecoder& dec, Rgb14State& s, const Rgb& last) {
  const unsigned sym = dec.decode_symbol(s.byte_used);
  // An unchanged byte keeps its last value; a changed one is coded against its prediction.
  const auto byte = [&](unsigned bit, std::uint8_t last_byte, int predicted) -> std::uint8_t {
    if (!(sym & (1u << bit))) return last_byte;
    return static_cast<std::uint8_t>(dec.decode_symbol(s.diffs[bit]) + clamp_byte(predicted));
  };
  Rgb c;
  const std::uint8_t red_low = byte(0, low(last[0]), low(last[0]));
  const std::uint8_t red_high = byte(1, high(last[0]), high(last[0]));
  c[0] = static_cast<std::uint16_t>(red_low | (red_high << 8));
  if (!(sym & (1u << 6))) return {c[0], c[0], c[0]};

  int diff = red_low - low(last[0]);
  const std::uint8_t green_low = byte(2, low(last[1]), diff + low(last[1]));
  const std::uint8_t blue_low = byte(4, low(last[2]), (diff + (green_low - low(last[1]))) / 2 + low(last[2]));
  diff = red_high - high(last[0]);
  const std::uint8_t green_high = byte(3, high(last[1]), diff + high(last[1]));
  const std::uint8_t blue_high = byte(5, high(last[2]), (diff + (green_high - high(last[1]))) / 2 + high(last[2]));
  c[1] = static_cast<std::uint16_t>(green_low | (green_high << 8));
  c[2] = static_cast<std::uint16_t>(blue_low | (blue_high << 8));
  return c;
}

void encode_rgb(ArithmeticEncoder& enc, Rgb14State& s, const Rgb& last, const Rgb& c, unsigned sym) {
  enc.encode_symbol(s.byte_used, sym);
  const auto byte = [&](unsigned bit, std::uint8_t value, std::uint8_t predicted) {
    if (sym & (1u << bit)) enc.encode_symbol(s.diffs[bit], static_cast<std::uint8_t>(value - predicted));
  };
  byte(0, low(c[0]), low(last[0]));
  byte(1, high(c[0]), high(last[0]));
  if (!(sym & (1u << 6))) return;
  int diff = low(c[0]) - low(last[0]);
  byte(2, low(c[1]), clamp_byte(diff + low(last[1])));
  byte(4, low(c[2]), clamp_byte((diff + (low(c[1]) - low(last[1]))) / 2 + low(last[2])));
  diff = high(c[0]) - high(last[0]);
  byte(3, high(c[1]), clamp_byte(diff + high(last[1])));
  byte(5, high(c[2]), clamp_byte((diff + (high(c[1]) - high(last[1]))) / 2 + high(last[2])));
}

}  // namespace

void Rgb14State::reset(const Rgb& from) {
  last = from;
}

void Nir14State::reset(std::uint16_t from) {
  last = from;
}

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
    auto [s, last] = contexts_.select<V>(changes[i].channel);
    if (layer_.present) last = decode_rgb(layer_.coder, s, last);
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
    auto [s, last] = contexts_.select<V>(changes[i].channel);
    const Rgb c = read_rgb(records.record(i) + offset);
    const unsigned sym = changed_bytes(last, c);
    encode_rgb(layer_.coder(), s, last, c, sym);
    changed = changed || sym != 0;
    last = c;
  }
  return changed;
}

bool Nir14Decoder::decode(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
                          Layers layers) {
  contexts_.start(changes[0].channel, load_field<std::uint16_t>(records.record(0) + offset));
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
    auto [s, last] = contexts_.select<V>(changes[i].channel);
    if (layer_.present) {
      const unsigned sym = dec.decode_symbol(s.byte_used);
      std::uint8_t lo = low(last), hi = high(last);
      if (sym & 1u) lo = static_cast<std::uint8_t>(dec.decode_symbol(s.diffs[0]) + lo);
      if (sym & 2u) hi = static_cast<std::uint8_t>(dec.decode_symbol(s.diffs[1]) + hi);
      last = static_cast<std::uint16_t>(lo | (hi << 8));
    }
    store_field(records.record(i) + offset, last);
  }
}

void Nir14Encoder::encode(ConstChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
                          LayerBytes& layers) {
  contexts_.start(changes[0].channel, load_field<std::uint16_t>(records.record(0) + offset));
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
    auto [s, last] = contexts_.select<V>(changes[i].channel);
    const auto v = load_field<std::uint16_t>(records.record(i) + offset);
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
