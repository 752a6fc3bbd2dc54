#include "las/laz/wavepacket.hpp"

#include "las/laz/item_tools.hpp"

namespace las::laz {

namespace {

enum OffsetKind : unsigned { same = 0, after_last_packet = 1, difference = 2, whole = 3 };

}  // namespace

Wavepacket Wavepacket::unpack(const std::uint8_t* item) {
  return {item[0],
          load<std::uint64_t>(item + 1),
          load<std::uint32_t>(item + 9),
          load<std::int32_t>(item + 13),
          {load<std::int32_t>(item + 17), load<std::int32_t>(item + 21), load<std::int32_t>(item + 25)}};
}

void Wavepacket::pack(std::uint8_t* item) const {
  item[0] = descriptor_index;
  store(item + 1, offset);
  store(item + 9, packet_size);
  store(item + 13, return_point);
  for (int i = 0; i < 3; ++i) store(item + 17 + 4 * i, xyz[i]);
}

Wavepacket decode_wavepacket(ArithmeticDecoder& dec, WavepacketModels<IntegerDecompressor>& m, const Wavepacket& last) {
  Wavepacket p;
  p.descriptor_index = static_cast<std::uint8_t>(dec.decode_symbol(m.descriptor_index));
  m.last_offset_kind = dec.decode_symbol(m.offset_kind[m.last_offset_kind]);
  switch (m.last_offset_kind) {
    case same:
      p.offset = last.offset;
      break;
    case after_last_packet:
      p.offset = last.offset + last.packet_size;
      break;
    case difference:
      m.last_offset_diff = m.offset_diff.decompress(dec, m.last_offset_diff);
      p.offset = last.offset + static_cast<std::uint64_t>(std::int64_t{m.last_offset_diff});
      break;
    default:
      p.offset = dec.read_int64();
      break;
  }
  p.packet_size = static_cast<std::uint32_t>(m.packet_size.decompress(dec, static_cast<std::int32_t>(last.packet_size)));
  p.return_point = m.return_point.decompress(dec, last.return_point);
  for (unsigned i = 0; i < 3; ++i) p.xyz[i] = m.xyz.decompress(dec, last.xyz[i], i);
  return p;
}

void encode_wavepacket(ArithmeticEncoder& enc, WavepacketModels<IntegerCompressor>& m, const Wavepacket& last,
                       const Wavepacket& p) {
  enc.encode_symbol(m.descriptor_index, p.descriptor_index);
  const auto diff64 = static_cast<std::int64_t>(p.offset - last.offset);
  const auto diff32 = static_cast<std::int32_t>(diff64);
  unsigned kind;
  if (diff64 != diff32) {
    kind = whole;
  } else if (diff32 == 0) {
    kind = same;
  } else if (diff32 == static_cast<std::int32_t>(last.packet_size)) {
    kind = after_last_packet;
  } else {
    kind = difference;
  }
  enc.encode_symbol(m.offset_kind[m.last_offset_kind], kind);
  m.last_offset_kind = kind;
  if (kind == difference) {
    m.offset_diff.compress(enc, m.last_offset_diff, diff32);
    m.last_offset_diff = diff32;
  } else if (kind == whole) {
    enc.write_int64(p.offset);
  }
  m.packet_size.compress(enc, static_cast<std::int32_t>(last.packet_size), static_cast<std::int32_t>(p.packet_size));
  m.return_point.compress(enc, last.return_point, p.return_point);
  for (unsigned i = 0; i < 3; ++i) m.xyz.compress(enc, last.xyz[i], p.xyz[i], i);
}

void WavepacketDecoderV1::decode(ArithmeticDecoder& dec, std::uint8_t* item) {
  c_.last = decode_wavepacket(dec, c_.models, c_.last);
  c_.last.pack(item);
}

void WavepacketEncoderV1::encode(ArithmeticEncoder& enc, const std::uint8_t* item) {
  const Wavepacket p = Wavepacket::unpack(item);
  encode_wavepacket(enc, c_.models, c_.last, p);
  c_.last = p;
}

}  // namespace las::laz
