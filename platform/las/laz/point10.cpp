#include "las/laz/point10.hpp"

namespace las::laz {

namespace {

// Return number r and number of returns n to one of 16 kinds of return;
// combinations that correct files do not have get kinds of their own.
constexpr std::uint8_t return_kind[8][8] = {
    {15, 14, 13, 12, 11, 10, 9, 8},  {14, 0, 1, 3, 6, 10, 10, 9},    {13, 1, 2, 4, 7, 11, 11, 10},
    {12, 3, 4, 5, 8, 12, 12, 11},    {11, 6, 7, 8, 9, 13, 13, 12},   {10, 10, 11, 12, 13, 14, 14, 13},
    {9, 10, 11, 12, 13, 14, 15, 14}, {8, 9, 10, 11, 12, 13, 14, 15},
};

// n - r for correct files, the distance otherwise: the z context.
constexpr std::uint8_t return_level[8][8] = {
    {0, 1, 2, 3, 4, 5, 6, 7}, {1, 0, 1, 2, 3, 4, 5, 6}, {2, 1, 0, 1, 2, 3, 4, 5}, {3, 2, 1, 0, 1, 2, 3, 4},
    {4, 3, 2, 1, 0, 1, 2, 3}, {5, 4, 3, 2, 1, 0, 1, 2}, {6, 5, 4, 3, 2, 1, 0, 1}, {7, 6, 5, 4, 3, 2, 1, 0},
};

std::int32_t median3(const std::array<std::int32_t, 3>& v) {
  if (v[0] < v[1]) {
    if (v[1] < v[2]) return v[1];
    if (v[0] < v[2]) return v[2];
    return v[0];
  }
  if (v[0] < v[2]) return v[0];
  if (v[1] < v[2]) return v[2];
  return v[1];
}

unsigned even_below(unsigned k, unsigned limit) { return k < limit ? (k & ~1u) : limit; }

}  // namespace

Point10 Point10::unpack(const std::uint8_t* item) {
  return {load<std::int32_t>(item),
          load<std::int32_t>(item + 4),
          load<std::int32_t>(item + 8),
          load<std::uint16_t>(item + 12),
          item[14],
          item[15],
          item[16],
          item[17],
          load<std::uint16_t>(item + 18)};
}

void Point10::pack(std::uint8_t* item) const {
  store(item, x);
  store(item + 4, y);
  store(item + 8, z);
  store(item + 12, intensity);
  item[14] = bits;
  item[15] = classification;
  item[16] = scan_angle_rank;
  item[17] = user_data;
  store(item + 18, point_source_id);
}

Point10DecoderV1::Point10DecoderV1(const std::uint8_t* first) : last_(Point10::unpack(first)) {}

void Point10DecoderV1::decode(ArithmeticDecoder& dec, std::uint8_t* item) {
  Point10 p = last_;
  const std::int32_t x_diff = dx_.decompress(dec, median3(last_x_diff_));
  p.x = wrapping_add(p.x, x_diff);
  unsigned k_bits = dx_.k();
  const std::int32_t y_diff = dy_.decompress(dec, median3(last_y_diff_), k_bits < 19 ? k_bits : 19);
  p.y = wrapping_add(p.y, y_diff);
  k_bits = (k_bits + dy_.k()) / 2;
  p.z = z_.decompress(dec, last_.z, k_bits < 19 ? k_bits : 19);

  const unsigned changed = dec.decode_symbol(changed_values_);
  if (changed & 32) p.intensity = static_cast<std::uint16_t>(intensity_.decompress(dec, last_.intensity));
  if (changed & 16) p.bits = static_cast<std::uint8_t>(dec.decode_symbol(bit_byte_[last_.bits]));
  if (changed & 8) {
    p.classification = static_cast<std::uint8_t>(dec.decode_symbol(classification_[last_.classification]));
  }
  if (changed & 4) {
    p.scan_angle_rank = static_cast<std::uint8_t>(scan_angle_rank_.decompress(dec, last_.scan_angle_rank, k_bits < 3));
  }
  if (changed & 2) p.user_data = static_cast<std::uint8_t>(dec.decode_symbol(user_data_[last_.user_data]));
  if (changed & 1) {
    p.point_source_id = static_cast<std::uint16_t>(point_source_id_.decompress(dec, last_.point_source_id));
  }

  last_x_diff_[last_incr_] = x_diff;
  last_y_diff_[last_incr_] = y_diff;
  last_incr_ = last_incr_ == 2 ? 0 : last_incr_ + 1;
  last_ = p;
  p.pack(item);
}

void Point10DecoderV2::decode(ArithmeticDecoder& dec, std::uint8_t* item) {
  Point10& p = c_.last;
  const unsigned changed = dec.decode_symbol(c_.changed_values);
  if (changed & 32) p.bits = static_cast<std::uint8_t>(dec.decode_symbol(c_.bit_byte[p.bits]));
  const unsigned r = p.return_number();
  const unsigned n = p.number_of_returns();
  const unsigned m = return_kind[n][r];
  const unsigned l = return_level[n][r];
  if (changed & 16) {
    p.intensity = static_cast<std::uint16_t>(c_.intensity.decompress(dec, c_.last_intensity[m], m < 3 ? m : 3));
    c_.last_intensity[m] = p.intensity;
  } else {
    p.intensity = c_.last_intensity[m];
  }
  if (changed & 8) p.classification = static_cast<std::uint8_t>(dec.decode_symbol(c_.classification[p.classification]));
  if (changed & 4) {
    const unsigned delta = dec.decode_symbol(c_.scan_angle_rank[p.scan_direction()]);
    p.scan_angle_rank = fold_u8(static_cast<int>(delta) + p.scan_angle_rank);
  }
  if (changed & 2) p.user_data = static_cast<std::uint8_t>(dec.decode_symbol(c_.user_data[p.user_data]));
  if (changed & 1)
    p.point_source_id = static_cast<std::uint16_t>(c_.point_source_id.decompress(dec, p.point_source_id));

  const std::int32_t x_diff = c_.dx.decompress(dec, c_.x_diff_median[m].get(), n == 1);
  p.x = wrapping_add(p.x, x_diff);
  c_.x_diff_median[m].add(x_diff);

  unsigned k_bits = c_.dx.k();
  const std::int32_t y_diff = c_.dy.decompress(dec, c_.y_diff_median[m].get(), (n == 1) + even_below(k_bits, 20));
  p.y = wrapping_add(p.y, y_diff);
  c_.y_diff_median[m].add(y_diff);

  k_bits = (c_.dx.k() + c_.dy.k()) / 2;
  p.z = c_.z.decompress(dec, c_.last_height[l], (n == 1) + even_below(k_bits, 18));
  c_.last_height[l] = p.z;
  p.pack(item);
}

void Point10EncoderV2::encode(ArithmeticEncoder& enc, const std::uint8_t* item) {
  const Point10 p = Point10::unpack(item);
  Point10& last = c_.last;
  const unsigned r = p.return_number();
  const unsigned n = p.number_of_returns();
  const unsigned m = return_kind[n][r];
  const unsigned l = return_level[n][r];

  const unsigned changed = (unsigned{last.bits != p.bits} << 5) | (unsigned{c_.last_intensity[m] != p.intensity} << 4) |
                           (unsigned{last.classification != p.classification} << 3) |
                           (unsigned{last.scan_angle_rank != p.scan_angle_rank} << 2) |
                           (unsigned{last.user_data != p.user_data} << 1) |
                           unsigned{last.point_source_id != p.point_source_id};
  enc.encode_symbol(c_.changed_values, changed);
  if (changed & 32) enc.encode_symbol(c_.bit_byte[last.bits], p.bits);
  if (changed & 16) {
    c_.intensity.compress(enc, c_.last_intensity[m], p.intensity, m < 3 ? m : 3);
    c_.last_intensity[m] = p.intensity;
  }
  if (changed & 8) enc.encode_symbol(c_.classification[last.classification], p.classification);
  if (changed & 4) {
    enc.encode_symbol(c_.scan_angle_rank[p.scan_direction()],
                      fold_u8(int{p.scan_angle_rank} - int{last.scan_angle_rank}));
  }
  if (changed & 2) enc.encode_symbol(c_.user_data[last.user_data], p.user_data);
  if (changed & 1) c_.point_source_id.compress(enc, last.point_source_id, p.point_source_id);

  const std::int32_t x_diff = wrapping_sub(p.x, last.x);
  c_.dx.compress(enc, c_.x_diff_median[m].get(), x_diff, n == 1);
  c_.x_diff_median[m].add(x_diff);

  unsigned k_bits = c_.dx.k();
  const std::int32_t y_diff = wrapping_sub(p.y, last.y);
  c_.dy.compress(enc, c_.y_diff_median[m].get(), y_diff, (n == 1) + even_below(k_bits, 20));
  c_.y_diff_median[m].add(y_diff);

  k_bits = (c_.dx.k() + c_.dy.k()) / 2;
  c_.z.compress(enc, c_.last_height[l], p.z, (n == 1) + even_below(k_bits, 18));
  c_.last_height[l] = p.z;
  last = p;
}

}  // namespace las::laz
