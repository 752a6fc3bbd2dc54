#pragma once

#include <array>
#include <cstdint>

#include "las/laz/arithmetic_decoder.hpp"
#include "las/laz/arithmetic_encoder.hpp"
#include "las/laz/integer_compressor.hpp"
#include "las/laz/item_tools.hpp"

// POINT10: the 20 bytes that begin every record of point formats 0-5.
namespace las::laz {

struct Point10 {
  std::int32_t x, y, z;
  std::uint16_t intensity;
  std::uint8_t bits;  // return number 0-2, number of returns 3-5, scan direction 6, edge of flight line 7
  std::uint8_t classification;
  std::uint8_t scan_angle_rank;
  std::uint8_t user_data;
  std::uint16_t point_source_id;

  static constexpr std::size_t size = 20;
  static Point10 unpack(const std::uint8_t* item);
  void pack(std::uint8_t* item) const;

  unsigned return_number() const { return bits & 7u; }
  unsigned number_of_returns() const { return (bits >> 3) & 7u; }
  unsigned scan_direction() const { return (bits >> 6) & 1u; }
};

// Version 1 (decoding only): coordinates predicted from the median of the
// last three differences, attributes from the previous point.
class Point10DecoderV1 {
 public:
  explicit Point10DecoderV1(const std::uint8_t* first);
  void decode(ArithmeticDecoder& dec, std::uint8_t* item);

 private:
  Point10 last_;
  std::array<std::int32_t, 3> last_x_diff_{};
  std::array<std::int32_t, 3> last_y_diff_{};
  unsigned last_incr_ = 0;
  IntegerDecompressor dx_{32}, dy_{32, 20}, z_{32, 20};
  IntegerDecompressor intensity_{16};
  IntegerDecompressor scan_angle_rank_{8, 2};
  IntegerDecompressor point_source_id_{16};
  SymbolModel changed_values_{64};
  ModelPerByte bit_byte_, classification_, user_data_;
};

// Version 2: predictions per return kind (the return number and count map to
// one of 16 kinds, and to one of 8 levels for z).
template <typename Integer>
struct Point10V2Context {
  explicit Point10V2Context(const std::uint8_t* first) : last(Point10::unpack(first)) {}

  Point10 last;
  std::array<std::uint16_t, 16> last_intensity{};
  std::array<StreamingMedian5, 16> x_diff_median{};
  std::array<StreamingMedian5, 16> y_diff_median{};
  std::array<std::int32_t, 8> last_height{};

  SymbolModel changed_values{64};
  Integer intensity{16, 4};
  std::array<SymbolModel, 2> scan_angle_rank{SymbolModel(256), SymbolModel(256)};
  Integer point_source_id{16};
  ModelPerByte bit_byte, classification, user_data;
  Integer dx{32, 2}, dy{32, 22}, z{32, 20};
};

class Point10DecoderV2 {
 public:
  explicit Point10DecoderV2(const std::uint8_t* first) : c_(first) { c_.last.intensity = 0; }
  void decode(ArithmeticDecoder& dec, std::uint8_t* item);

 private:
  Point10V2Context<IntegerDecompressor> c_;
};

class Point10EncoderV2 {
 public:
  explicit Point10EncoderV2(const std::uint8_t* first) : c_(first) {}
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item);

 private:
  Point10V2Context<IntegerCompressor> c_;
};

}  // namespace las::laz
