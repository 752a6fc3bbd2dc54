#include "las/laz/wavepacket14.hpp"

#include "las/bytes.hpp"

namespace las::laz {
namespace {

WavePacket read_packet(const std::uint8_t* p) {
  return {p[0],
          load<std::uint64_t>(p + 1),
          load<std::uint32_t>(p + 9),
          load<std::int32_t>(p + 13),
          {load<std::int32_t>(p + 17), load<std::int32_t>(p + 21), load<std::int32_t>(p + 25)}};
}

void write_packet(std::uint8_t* p, const WavePacket& w) {
  p[0] = w.descriptor;
  store(p + 1, w.offset);
  store(p + 9, w.size);
  store(p + 13, w.return_point);
  for (std::size_t i = 0; i < 3; ++i) store(p + 17 + 4 * i, w.xyz[i]);
}

bool same_packet(const WavePacket& a, const WavePacket& b) {
  return a.descriptor == b.descriptor && a.offset == b.offset && a.size == b.size &&
         a.return_point == b.return_point && a.xyz == b.xyz;
}

// How a packet's offset follows from the last one.
enum OffsetKind : unsigned { same_offset = 0, after_last = 1, small_jump = 2, absolute = 3 };

}  // namespace

template <class Coder>
void WavePacket14State<Coder>::reset(const WavePacket& from) {
  last = from;
}

bool WavePacket14Decoder::decode(ChunkRecords records, std::size_t offset, std::span<const Point14Changes> changes,
                                 Layers layers) {
  contexts_.start(changes[0].channel, read_packet(records.record(0) + offset));
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
  auto& dec = layer_.coder;
  for (std::size_t i = 1; i < records.count; ++i) {
    auto [s, last] = contexts_.select<V>(item_context<V>(changes[i]));
    if (layer_.present) {
      WavePacket w;
      w.descriptor = static_cast<std::uint8_t>(dec.decode_symbol(s.descriptor));
      s.last_offset_kind = dec.decode_symbol(s.offset_kind[s.last_offset_kind]);
      switch (s.last_offset_kind) {
        case same_offset: w.offset = last.offset; break;
        case after_last: w.offset = last.offset + last.size; break;
        case small_jump:
          s.last_offset_diff = s.offset_diff.decompress(dec, s.last_offset_diff);
          w.offset = last.offset + static_cast<std::uint64_t>(std::int64_t{s.last_offset_diff});
          break;
        default: w.offset = dec.read_int64(); break;
      }
      w.size = static_cast<std::uint32_t>(s.size.decompress(dec, static_cast<std::int32_t>(last.size)));
      w.return_point = s.return_point.decompress(dec, last.return_point);
      for (unsigned axis = 0; axis < 3; ++axis) w.xyz[axis] = s.xyz.decompress(dec, last.xyz[axis], axis);
      last = w;
    }
    write_packet(records.record(i) + offset, last);
  }
}

void WavePacket14Encoder::encode(ConstChunkRecords records, std::size_t offset,
                                 std::span<const Point14Changes> changes, LayerBytes& layers) {
  contexts_.start(changes[0].channel, read_packet(records.record(0) + offset));
  layer_.restart();
  const bool changed = version_ == ItemVersion::v3 ? encode_points<ItemVersion::v3>(records, offset, changes)
                                                   : encode_points<ItemVersion::v4>(records, offset, changes);
  layers.push_back(layer_.finish(changed));
}

template <ItemVersion V>
bool WavePacket14Encoder::encode_points(ConstChunkRecords records, std::size_t offset,
                                        std::span<const Point14Changes> changes) {
  auto& enc = layer_.coder();
  bool changed = false;
  for (std::size_t i = 1; i < records.count; ++i) {
    auto [s, last] = contexts_.select<V>(item_context<V>(changes[i]));
    const WavePacket w = read_packet(records.record(i) + offset);
    changed = changed || !same_packet(w, last);
    enc.encode_symbol(s.descriptor, w.descriptor);
    const auto diff64 = static_cast<std::int64_t>(w.offset - last.offset);
    const auto diff = static_cast<std::int32_t>(diff64);
    unsigned kind = absolute;
    if (diff64 == diff) kind = diff == 0 ? same_offset : diff == static_cast<std::int32_t>(last.size) ? after_last : small_jump;
    enc.encode_symbol(s.offset_kind[s.last_offset_kind], kind);
    s.last_offset_kind = kind;
    if (kind == small_jump) {
      s.offset_diff.compress(enc, s.last_offset_diff, diff);
      s.last_offset_diff = diff;
    } else if (kind == absolute) {
      enc.write_int64(w.offset);
    }
    s.size.compress(enc, static_cast<std::int32_t>(last.size), static_cast<std::int32_t>(w.size));
    s.return_point.compress(enc, last.return_point, w.return_point);
    for (unsigned axis = 0; axis < 3; ++axis) s.xyz.compress(enc, last.xyz[axis], w.xyz[axis], axis);
    last = w;
  }
  return changed;
}

}  // namespace las::laz
