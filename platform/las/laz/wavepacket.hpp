#pragma once

#include <array>
#include <cstdint>

#include "las/laz/arithmetic_decoder.hpp"
#include "las/laz/arithmetic_encoder.hpp"
#include "las/laz/integer_compressor.hpp"

// WAVEPACKET13: the 29 waveform bytes of point formats 4 and 5 (descriptor
// index, data offset, packet size, return point location, x(t), y(t), z(t)).
namespace las::laz {

struct Wavepacket {
  std::uint8_t descriptor_index;
  std::uint64_t offset;
  std::uint32_t packet_size;
  std::int32_t return_point;        // the bits of the float
  std::array<std::int32_t, 3> xyz;  // the bits of the floats

  static constexpr std::size_t size = 29;
  static Wavepacket unpack(const std::uint8_t* item);
  void pack(std::uint8_t* item) const;
  bool operator==(const Wavepacket&) const = default;
};

// The models of one packet's coding, shared by WAVEPACKET13 and WAVEPACKET14:
// the offset is coded as unchanged, advanced by the last packet's size, a
// 32-bit difference, or whole.
template <typename Integer>
struct WavepacketModels {
  std::int32_t last_offset_diff = 0;
  unsigned last_offset_kind = 0;
  SymbolModel descriptor_index{256};
  std::array<SymbolModel, 4> offset_kind{SymbolModel(4), SymbolModel(4), SymbolModel(4), SymbolModel(4)};
  Integer offset_diff{32};
  Integer packet_size{32};
  Integer return_point{32};
  Integer xyz{32, 3};
};

Wavepacket decode_wavepacket(ArithmeticDecoder& dec, WavepacketModels<IntegerDecompressor>& m, const Wavepacket& last);
void encode_wavepacket(ArithmeticEncoder& enc, WavepacketModels<IntegerCompressor>& m, const Wavepacket& last,
                       const Wavepacket& p);

// Version 1, the only one.
template <typename Integer>
struct WavepacketV1Context {
  explicit WavepacketV1Context(const std::uint8_t* first) : last(Wavepacket::unpack(first)) {}

  Wavepacket last;
  WavepacketModels<Integer> models;
};

class WavepacketDecoderV1 {
 public:
  explicit WavepacketDecoderV1(const std::uint8_t* first) : c_(first) {}
  void decode(ArithmeticDecoder& dec, std::uint8_t* item);

 private:
  WavepacketV1Context<IntegerDecompressor> c_;
};

class WavepacketEncoderV1 {
 public:
  explicit WavepacketEncoderV1(const std::uint8_t* first) : c_(first) {}
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item);

 private:
  WavepacketV1Context<IntegerCompressor> c_;
};

}  // namespace las::laz
