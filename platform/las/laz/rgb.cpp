#include "las/laz/rgb.hpp"

#include "las/laz/item_tools.hpp"

namespace las::laz {

namespace {

Rgb unpack(const std::uint8_t* item) {
  return {load<std::uint16_t>(item), load<std::uint16_t>(item + 2), load<std::uint16_t>(item + 4)};
}

void pack(const Rgb& rgb, std::uint8_t* item) {
  for (int i = 0; i < 3; ++i) store(item + 2 * i, rgb[i]);
}

int low(std::uint16_t v) { return v & 0xFF; }
int high(std::uint16_t v) { return v >> 8; }

}  // namespace

RgbDecoderV1::RgbDecoderV1(const std::uint8_t* first) : last_(unpack(first)) {}

void RgbDecoderV1::decode(ArithmeticDecoder& dec, std::uint8_t* item) {
  const unsigned sym = dec.decode_symbol(byte_used_);
  Rgb rgb;
  for (unsigned c = 0; c < 3; ++c) {
    const unsigned lo_bit = 2 * c;
    const unsigned hi_bit = 2 * c + 1;
    const int lo = (sym >> lo_bit) & 1 ? rgb_.decompress(dec, low(last_[c]), lo_bit) & 0xFF : low(last_[c]);
    const int hi = (sym >> hi_bit) & 1 ? rgb_.decompress(dec, high(last_[c]), hi_bit) & 0xFF : high(last_[c]);
    rgb[c] = static_cast<std::uint16_t>((hi << 8) | lo);
  }
  last_ = rgb;
  pack(rgb, item);
}

RgbDecoderV2::RgbDecoderV2(const std::uint8_t* first) : last_(unpack(first)) {}

void RgbDecoderV2::decode(ArithmeticDecoder& dec, std::uint8_t* item) {
  last_ = decode_rgb_v2(dec, m_, last_);
  pack(last_, item);
}

Rgb decode_rgb_v2(ArithmeticDecoder& dec, RgbV2Models& m_, const Rgb& last) {
  const unsigned sym = dec.decode_symbol(m_.byte_used);
  auto changed = [sym](unsigned bit) { return ((sym >> bit) & 1) != 0; };
  auto corrected = [&](unsigned model, int prediction) {
    return fold_u8(static_cast<int>(dec.decode_symbol(m_.diff[model])) + prediction);
  };
  const int red_lo = changed(0) ? corrected(0, low(last[0])) : low(last[0]);
  const int red_hi = changed(1) ? corrected(1, high(last[0])) : high(last[0]);
  Rgb rgb;
  rgb[0] = static_cast<std::uint16_t>((red_hi << 8) | red_lo);
  if (changed(6)) {
    int diff = red_lo - low(last[0]);
    const int green_lo = changed(2) ? corrected(2, clamp_u8(diff + low(last[1]))) : low(last[1]);
    int blue_lo = low(last[2]);
    if (changed(4)) {
      diff = (diff + green_lo - low(last[1])) / 2;
      blue_lo = corrected(4, clamp_u8(diff + low(last[2])));
    }
    diff = red_hi - high(last[0]);
    const int green_hi = changed(3) ? corrected(3, clamp_u8(diff + high(last[1]))) : high(last[1]);
    int blue_hi = high(last[2]);
    if (changed(5)) {
      diff = (diff + green_hi - high(last[1])) / 2;
      blue_hi = corrected(5, clamp_u8(diff + high(last[2])));
    }
    rgb[1] = static_cast<std::uint16_t>((green_hi << 8) | green_lo);
    rgb[2] = static_cast<std::uint16_t>((blue_hi << 8) | blue_lo);
  } else {
    rgb[1] = rgb[0];
    rgb[2] = rgb[0];
  }
  return rgb;
}

RgbEncoderV2::RgbEncoderV2(const std::uint8_t* first) : last_(unpack(first)) {}

void RgbEncoderV2::encode(ArithmeticEncoder& enc, const std::uint8_t* item) {
  const Rgb rgb = unpack(item);
  encode_rgb_v2(enc, m_, last_, rgb);
  last_ = rgb;
}

unsigned encode_rgb_v2(ArithmeticEncoder& enc, RgbV2Models& m_, const Rgb& last, const Rgb& rgb) {
  unsigned sym = 0;
  for (unsigned c = 0; c < 3; ++c) {
    sym |= unsigned{low(last[c]) != low(rgb[c])} << (2 * c);
    sym |= unsigned{high(last[c]) != high(rgb[c])} << (2 * c + 1);
  }
  const bool channels_differ = low(rgb[0]) != low(rgb[1]) || low(rgb[0]) != low(rgb[2]) ||
                               high(rgb[0]) != high(rgb[1]) || high(rgb[0]) != high(rgb[2]);
  sym |= unsigned{channels_differ} << 6;
  enc.encode_symbol(m_.byte_used, sym);
  auto changed = [sym](unsigned bit) { return ((sym >> bit) & 1) != 0; };
  auto put = [&](unsigned model, int value, int prediction) {
    enc.encode_symbol(m_.diff[model], fold_u8(value - prediction));
  };

  int diff_lo = 0;
  int diff_hi = 0;
  if (changed(0)) {
    diff_lo = low(rgb[0]) - low(last[0]);
    put(0, low(rgb[0]), low(last[0]));
  }
  if (changed(1)) {
    diff_hi = high(rgb[0]) - high(last[0]);
    put(1, high(rgb[0]), high(last[0]));
  }
  if (channels_differ) {
    if (changed(2)) put(2, low(rgb[1]), clamp_u8(diff_lo + low(last[1])));
    if (changed(4)) {
      diff_lo = (diff_lo + low(rgb[1]) - low(last[1])) / 2;
      put(4, low(rgb[2]), clamp_u8(diff_lo + low(last[2])));
    }
    if (changed(3)) put(3, high(rgb[1]), clamp_u8(diff_hi + high(last[1])));
    if (changed(5)) {
      diff_hi = (diff_hi + high(rgb[1]) - high(last[1])) / 2;
      put(5, high(rgb[2]), clamp_u8(diff_hi + high(last[2])));
    }
  }
  return sym;
}

}  // namespace las::laz
