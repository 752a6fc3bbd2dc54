#include "las/laz/extra_bytes.hpp"

#include "las/laz/item_tools.hpp"

namespace las::laz {

ExtraBytesDecoderV1::ExtraBytesDecoderV1(const std::uint8_t* first, std::size_t count)
    : last_(first, first + count), bytes_(8, static_cast<unsigned>(count)) {}

void ExtraBytesDecoderV1::decode(ArithmeticDecoder& dec, std::uint8_t* item) {
  for (std::size_t i = 0; i < last_.size(); ++i) {
    last_[i] = static_cast<std::uint8_t>(bytes_.decompress(dec, last_[i], static_cast<unsigned>(i)));
    item[i] = last_[i];
  }
}

ExtraBytesDecoderV2::ExtraBytesDecoderV2(const std::uint8_t* first, std::size_t count)
    : last_(first, first + count), models_(count, SymbolModel(256)) {}

void ExtraBytesDecoderV2::decode(ArithmeticDecoder& dec, std::uint8_t* item) {
  for (std::size_t i = 0; i < last_.size(); ++i) {
    last_[i] = fold_u8(last_[i] + static_cast<int>(dec.decode_symbol(models_[i])));
    item[i] = last_[i];
  }
}

ExtraBytesEncoderV2::ExtraBytesEncoderV2(const std::uint8_t* first, std::size_t count)
    : last_(first, first + count), models_(count, SymbolModel(256)) {}

void ExtraBytesEncoderV2::encode(ArithmeticEncoder& enc, const std::uint8_t* item) {
  for (std::size_t i = 0; i < last_.size(); ++i) {
    enc.encode_symbol(models_[i], fold_u8(int{item[i]} - int{last_[i]}));
    last_[i] = item[i];
  }
}

}  // namespace las::laz
