#pragma once

#include <array>
#include <cstdint>

#include "las/laz/arithmetic_decoder.hpp"
#include "las/laz/arithmetic_encoder.hpp"
#include "las/laz/integer_compressor.hpp"

// RGB12: the three 16-bit colour channels of point formats 2, 3 and 5.
namespace las::laz {

using Rgb = std::array<std::uint16_t, 3>;

// Version 1 (decoding only): each changed byte predicted from the previous point.
class RgbDecoderV1 {
 public:
  explicit RgbDecoderV1(const std::uint8_t* first);
  void decode(ArithmeticDecoder& dec, std::uint8_t* item);

 private:
  Rgb last_;
  SymbolModel byte_used_{64};
  IntegerDecompressor rgb_{8, 6};
};

// Version 2: green and blue predicted from red's change; one symbol says
// which bytes changed and whether the channels differ at all.
struct RgbV2Models {
  SymbolModel byte_used{128};
  std::array<SymbolModel, 6> diff{SymbolModel(256), SymbolModel(256), SymbolModel(256),
                                  SymbolModel(256), SymbolModel(256), SymbolModel(256)};
};

// The version 2 colour coding, which RGB14 uses too: the colour after `last`.
Rgb decode_rgb_v2(ArithmeticDecoder& dec, RgbV2Models& m, const Rgb& last);
// Returns the symbol it coded: non-zero when a byte changed or the channels differ.
unsigned encode_rgb_v2(ArithmeticEncoder& enc, RgbV2Models& m, const Rgb& last, const Rgb& rgb);

class RgbDecoderV2 {
 public:
  explicit RgbDecoderV2(const std::uint8_t* first);
  void decode(ArithmeticDecoder& dec, std::uint8_t* item);

 private:
  Rgb last_;
  RgbV2Models m_;
};

class RgbEncoderV2 {
 public:
  explicit RgbEncoderV2(const std::uint8_t* first);
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item);

 private:
  Rgb last_;
  RgbV2Models m_;
};

}  // namespace las::laz
