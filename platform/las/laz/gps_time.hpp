#pragma once

#include <array>
#include <cstdint>

#include "las/laz/arithmetic_decoder.hpp"
#include "las/laz/arithmetic_encoder.hpp"
#include "las/laz/integer_compressor.hpp"

// GPSTIME11: the 8-byte GPS time of point formats 1 and 3-5, coded as the
// 64-bit integer of its bits.
namespace las::laz {

// Version 1 (decoding only): one sequence, differences as multiples of the last.
class GpsTimeDecoderV1 {
 public:
  explicit GpsTimeDecoderV1(const std::uint8_t* first);
  void decode(ArithmeticDecoder& dec, std::uint8_t* item);

 private:
  std::int64_t last_time_;
  std::int32_t last_diff_ = 0;
  std::int32_t multi_extreme_counter_ = 0;
  SymbolModel multi_{512};
  SymbolModel zero_diff_{3};
  IntegerDecompressor time_{32, 6};
};

// Version 2: up to four interleaved time sequences (for files merged from
// several flight lines), each with its own last difference.
template <typename Integer>
struct GpsTimeV2Context {
  explicit GpsTimeV2Context(const std::uint8_t* first);

  unsigned last = 0;
  unsigned next = 0;
  std::array<std::int64_t, 4> last_time{};
  std::array<std::int32_t, 4> last_diff{};
  std::array<std::int32_t, 4> multi_extreme_counter{};
  SymbolModel multi;
  SymbolModel zero_diff{6};
  Integer time{32, 9};
};

class GpsTimeDecoderV2 {
 public:
  explicit GpsTimeDecoderV2(const std::uint8_t* first) : c_(first) {}
  void decode(ArithmeticDecoder& dec, std::uint8_t* item);

 private:
  void decode_time(ArithmeticDecoder& dec);
  GpsTimeV2Context<IntegerDecompressor> c_;
};

class GpsTimeEncoderV2 {
 public:
  explicit GpsTimeEncoderV2(const std::uint8_t* first) : c_(first) {}
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item);

 private:
  GpsTimeV2Context<IntegerCompressor> c_;
};

}  // namespace las::laz
