#include "las/laz/gps_time.hpp"

#include "las/laz/item_tools.hpp"

namespace las::laz {

namespace {

// Version 2 symbols of the multiplier model: 0..multi_max - 1 a multiplier,
// then the negative multipliers down to multi_min, "unchanged", "full time"
// and three "switch to sequence last + i".
constexpr std::int32_t multi_max = 500;
constexpr std::int32_t multi_min = -10;
constexpr unsigned multi_unchanged = multi_max - multi_min + 1;
constexpr unsigned multi_full = multi_max - multi_min + 2;
constexpr unsigned multi_symbols = multi_max - multi_min + 6;

// Version 1 symbols: multipliers up to v1_multi_max - 3, then "full time", "unchanged".
constexpr std::int32_t v1_multi_max = 512;

// The difference when it fits 32 bits.
bool fits_i32(std::int64_t diff) { return diff == static_cast<std::int32_t>(diff); }

std::int64_t wrapping_diff(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

std::int64_t wrapping_plus(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

std::int32_t quantize(float value) {
  return value >= 0 ? static_cast<std::int32_t>(value + 0.5f) : static_cast<std::int32_t>(value - 0.5f);
}

// Applies an extreme multiplier's difference once it has been seen four times running.
void count_extreme(std::int32_t& counter, std::int32_t& last_diff, std::int32_t diff) {
  if (++counter > 3) {
    last_diff = diff;
    counter = 0;
  }
}

}  // namespace

GpsTimeDecoderV1::GpsTimeDecoderV1(const std::uint8_t* first) : last_time_(load<std::int64_t>(first)) {}

void GpsTimeDecoderV1::decode(ArithmeticDecoder& dec, std::uint8_t* item) {
  if (last_diff_ == 0) {
    const unsigned multi = dec.decode_symbol(zero_diff_);
    if (multi == 1) {
      last_diff_ = time_.decompress(dec, 0, 0);
      last_time_ = wrapping_plus(last_time_, last_diff_);
    } else if (multi == 2) {
      last_time_ = static_cast<std::int64_t>(dec.read_int64());
    }
  } else {
    const auto multi = static_cast<std::int32_t>(dec.decode_symbol(multi_));
    if (multi < v1_multi_max - 2) {
      std::int32_t diff;
      if (multi == 1) {
        diff = time_.decompress(dec, last_diff_, 1);
        last_diff_ = diff;
        multi_extreme_counter_ = 0;
      } else if (multi == 0) {
        diff = time_.decompress(dec, last_diff_ / 4, 2);
        count_extreme(multi_extreme_counter_, last_diff_, diff);
      } else {
        const unsigned context = multi < 10 ? 3 : (multi < 50 ? 4 : 5);
        diff = time_.decompress(dec, wrapping_mul(multi, last_diff_), context);
        if (multi == v1_multi_max - 3) count_extreme(multi_extreme_counter_, last_diff_, diff);
      }
      last_time_ = wrapping_plus(last_time_, diff);
    } else if (multi < v1_multi_max - 1) {
      last_time_ = static_cast<std::int64_t>(dec.read_int64());
    }
  }
  store(item, last_time_);
}

template <typename Integer>
GpsTimeV2Context<Integer>::GpsTimeV2Context(const std::uint8_t* first) : multi(multi_symbols) {
  last_time[0] = load<std::int64_t>(first);
}

template struct GpsTimeV2Context<IntegerDecompressor>;
template struct GpsTimeV2Context<IntegerCompressor>;

void GpsTimeDecoderV2::decode(ArithmeticDecoder& dec, std::uint8_t* item) {
  decode_time(dec);
  store(item, c_.last_time[c_.last]);
}

void GpsTimeDecoderV2::decode_time(ArithmeticDecoder& dec) {
  auto& c = c_;
  auto full_time = [&] {
    c.next = (c.next + 1) & 3;
    const auto high = static_cast<std::uint32_t>(
        c.time.decompress(dec, static_cast<std::int32_t>(static_cast<std::uint64_t>(c.last_time[c.last]) >> 32), 8));
    c.last_time[c.next] = static_cast<std::int64_t>((std::uint64_t{high} << 32) | dec.read_int());
    c.last = c.next;
    c.last_diff[c.last] = 0;
    c.multi_extreme_counter[c.last] = 0;
  };
  // A switch to another sequence is followed by that sequence's own code; a
  // corrupt stream cannot switch forever, as each switch consumes a symbol
  // and the stream's end stops the chunk.
  for (;;) {
    if (c.last_diff[c.last] == 0) {
      const unsigned multi = dec.decode_symbol(c.zero_diff);
      if (multi == 1) {
        c.last_diff[c.last] = c.time.decompress(dec, 0, 0);
        c.last_time[c.last] = wrapping_plus(c.last_time[c.last], c.last_diff[c.last]);
        c.multi_extreme_counter[c.last] = 0;
      } else if (multi == 2) {
        full_time();
      } else if (multi > 2) {
        c.last = (c.last + multi - 2) & 3;
        if (!dec.failed()) continue;
      }
      return;
    }
    const unsigned multi = dec.decode_symbol(c.multi);
    std::int32_t& last_diff = c.last_diff[c.last];
    std::int32_t& counter = c.multi_extreme_counter[c.last];
    if (multi == 1) {
      c.last_time[c.last] = wrapping_plus(c.last_time[c.last], c.time.decompress(dec, last_diff, 1));
      counter = 0;
    } else if (multi < multi_unchanged) {
      std::int32_t diff;
      if (multi == 0) {
        diff = c.time.decompress(dec, 0, 7);
        count_extreme(counter, last_diff, diff);
      } else if (multi < multi_max) {
        diff = c.time.decompress(dec, wrapping_mul(static_cast<std::int32_t>(multi), last_diff), multi < 10 ? 2 : 3);
      } else if (multi == multi_max) {
        diff = c.time.decompress(dec, wrapping_mul(multi_max, last_diff), 4);
        count_extreme(counter, last_diff, diff);
      } else {
        const std::int32_t negative = multi_max - static_cast<std::int32_t>(multi);
        if (negative > multi_min) {
          diff = c.time.decompress(dec, wrapping_mul(negative, last_diff), 5);
        } else {
          diff = c.time.decompress(dec, wrapping_mul(multi_min, last_diff), 6);
          count_extreme(counter, last_diff, diff);
        }
      }
      c.last_time[c.last] = wrapping_plus(c.last_time[c.last], diff);
    } else if (multi == multi_full) {
      full_time();
    } else if (multi > multi_full) {
      c.last = (c.last + multi - multi_full) & 3;
      if (!dec.failed()) continue;
    }
    return;
  }
}

void GpsTimeEncoderV2::encode(ArithmeticEncoder& enc, const std::uint8_t* item) {
  auto& c = c_;
  const auto time = load<std::int64_t>(item);
  for (;;) {
    const bool zero_last_diff = c.last_diff[c.last] == 0;
    if (time == c.last_time[c.last]) {
      if (zero_last_diff) {
        enc.encode_symbol(c.zero_diff, 0);
      } else {
        enc.encode_symbol(c.multi, multi_unchanged);
      }
      return;
    }
    const std::int64_t diff64 = wrapping_diff(time, c.last_time[c.last]);
    if (fits_i32(diff64)) {
      const auto diff = static_cast<std::int32_t>(diff64);
      std::int32_t& last_diff = c.last_diff[c.last];
      std::int32_t& counter = c.multi_extreme_counter[c.last];
      if (zero_last_diff) {
        enc.encode_symbol(c.zero_diff, 1);
        c.time.compress(enc, 0, diff, 0);
        last_diff = diff;
        counter = 0;
      } else {
        const std::int32_t multi = quantize(static_cast<float>(diff) / static_cast<float>(last_diff));
        if (multi == 1) {
          enc.encode_symbol(c.multi, 1);
          c.time.compress(enc, last_diff, diff, 1);
          counter = 0;
        } else if (multi > 0) {
          if (multi < multi_max) {
            enc.encode_symbol(c.multi, static_cast<unsigned>(multi));
            c.time.compress(enc, wrapping_mul(multi, last_diff), diff, multi < 10 ? 2 : 3);
          } else {
            enc.encode_symbol(c.multi, multi_max);
            c.time.compress(enc, wrapping_mul(multi_max, last_diff), diff, 4);
            count_extreme(counter, last_diff, diff);
          }
        } else if (multi < 0) {
          if (multi > multi_min) {
            enc.encode_symbol(c.multi, static_cast<unsigned>(multi_max - multi));
            c.time.compress(enc, wrapping_mul(multi, last_diff), diff, 5);
          } else {
            enc.encode_symbol(c.multi, static_cast<unsigned>(multi_max - multi_min));
            c.time.compress(enc, wrapping_mul(multi_min, last_diff), diff, 6);
            count_extreme(counter, last_diff, diff);
          }
        } else {
          enc.encode_symbol(c.multi, 0);
          c.time.compress(enc, 0, diff, 7);
          count_extreme(counter, last_diff, diff);
        }
      }
      c.last_time[c.last] = time;
      return;
    }
    // Too far from this sequence: maybe close to another one.
    unsigned other = 1;
    while (other < 4 && !fits_i32(wrapping_diff(time, c.last_time[(c.last + other) & 3]))) ++other;
    if (other < 4) {
      if (zero_last_diff) {
        enc.encode_symbol(c.zero_diff, other + 2);
      } else {
        enc.encode_symbol(c.multi, multi_full + other);
      }
      c.last = (c.last + other) & 3;
      continue;
    }
    // A new sequence, its time stored whole.
    if (zero_last_diff) {
      enc.encode_symbol(c.zero_diff, 2);
    } else {
      enc.encode_symbol(c.multi, multi_full);
    }
    c.time.compress(enc, static_cast<std::int32_t>(static_cast<std::uint64_t>(c.last_time[c.last]) >> 32),
                    static_cast<std::int32_t>(static_cast<std::uint64_t>(time) >> 32), 8);
    enc.write_int(static_cast<std::uint32_t>(time));
    c.next = (c.next + 1) & 3;
    c.last = c.next;
    c.last_diff[c.last] = 0;
    c.multi_extreme_counter[c.last] = 0;
    c.last_time[c.last] = time;
    return;
  }
}

}  // namespace las::laz
