#pragma once

#include <cstdint>
#include <vector>

#include "las/laz/arithmetic_decoder.hpp"
#include "las/laz/arithmetic_encoder.hpp"
#include "las/laz/integer_compressor.hpp"

// BYTE: the extra bytes after a record's standard fields, each byte coded
// from the same byte of the previous point.
namespace las::laz {

// Version 1 (decoding only).
class ExtraBytesDecoderV1 {
 public:
  ExtraBytesDecoderV1(const std::uint8_t* first, std::size_t count);
  void decode(ArithmeticDecoder& dec, std::uint8_t* item);

 private:
  std::vector<std::uint8_t> last_;
  IntegerDecompressor bytes_;
};

// Version 2: one model per byte position for the byte's difference.
class ExtraBytesDecoderV2 {
 public:
  ExtraBytesDecoderV2(const std::uint8_t* first, std::size_t count);
  void decode(ArithmeticDecoder& dec, std::uint8_t* item);

 private:
  std::vector<std::uint8_t> last_;
  std::vector<SymbolModel> models_;
};

class ExtraBytesEncoderV2 {
 public:
  ExtraBytesEncoderV2(const std::uint8_t* first, std::size_t count);
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item);

 private:
  std::vector<std::uint8_t> last_;
  std::vector<SymbolModel> models_;
};

}  // namespace las::laz
