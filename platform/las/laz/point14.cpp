#include "las/laz/point14.hpp"

#include "las/bytes.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace las::laz {
namespace {

// Return map of (number of returns, return number) to the six x/y contexts.
constexpr std::uint8_t return_map[16][16] = {
    {0, 1, 2, 3, 4, 5, 3, 4, 4, 5, 5, 5, 5, 5, 5, 5}, {1, 0, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3},
    {2, 1, 2, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3}, {3, 3, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {5, 3, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {3, 3, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {4, 3, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4}, {5, 3, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4},
    {5, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 4, 4, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4, 4}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5},
};

// Return level, the z context: |n - r|, capped at 7.
unsigned return_level(unsigned n, unsigned r) { return std::min(n > r ? n - r : r - n, 7u); }

// Context of the previous point: first (1) and/or last (2) return, GPS time changed (4).
unsigned previous_position(const Point14Geometry& p) {
  return (p.return_number == 1 ? 1u : 0u) + (p.return_number >= p.number_of_returns ? 2u : 0u) +
         (p.gps_time_change ? 4u : 0u);
}

unsigned position(unsigned n, unsigned r) { return (r == 1 ? 2u : 0u) + (r >= n ? 1u : 0u); }

std::uint32_t even_below(std::uint32_t k, std::uint32_t cap) { return k < cap ? (k & ~1u) : cap; }

Point14Geometry read_geometry(const std::uint8_t* r) {
  return {load<std::int32_t>(r), load<std::int32_t>(r + 4), load<std::int32_t>(r + 8),
          static_cast<std::uint8_t>(r[14] & 15), static_cast<std::uint8_t>(r[14] >> 4), false};
}

Point14Attributes read_attributes(const std::uint8_t* r) {
  return {load<std::uint16_t>(r + 12),
          static_cast<std::uint8_t>((r[15] & 0x0F) | ((r[15] >> 2) & 0x30)),
          r[16],
          r[17],
          load<std::int16_t>(r + 18),
          load<std::uint16_t>(r + 20),
          load<std::uint64_t>(r + 22)};
}

constexpr std::int32_t gps_multi_max = 500;
constexpr std::int32_t gps_multi_min = -10;
constexpr std::uint32_t gps_code_full = gps_multi_max - gps_multi_min + 1;
constexpr std::uint32_t gps_codes = gps_multi_max - gps_multi_min + 5;

// The reference compares GPS times as doubles: a NaN always differs. Unlike
// the reference, +0 and -0 differ too, so that the sign of a zero time is kept.
bool gps_time_differs(std::uint64_t a, std::uint64_t b) {
  double x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return a != b || x != y;
}

bool fits_i32(std::int64_t v) { return v == static_cast<std::int32_t>(v); }

// The ratio of two time differences rounded half away from zero, as the
// reference computes it in single precision; a ratio beyond the int range
// gives INT_MIN, as the reference's conversion does on x86.
std::int32_t gps_multiplier(std::int32_t diff, std::int32_t last_diff) {
  float ratio = static_cast<float>(diff) / static_cast<float>(last_diff);
  double rounded = ratio >= 0 ? ratio + 0.5 : ratio - 0.5;
  if (!(rounded > -2147483649.0 && rounded < 2147483648.0)) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(rounded);
}

}  // namespace

template <class Coder>
void Point14GeometryState<Coder>::reset(const Point14Geometry& from) {
  last = from;
  last.gps_time_change = false;
  last_z.fill(from.z);
}

template <class Coder>
Point14AttributeState<Coder>::Point14AttributeState() : gps_multi(gps_codes) {}

template <class Coder>
void Point14AttributeState<Coder>::reset(const Point14Attributes& from) {
  last = from;
  last_intensity.fill(from.intensity);
  gps.times[0] = from.gps_time;
}

template struct Point14GeometryState<IntegerDecompressor>;
template struct Point14GeometryState<IntegerCompressor>;
template struct Point14AttributeState<IntegerDecompressor>;
template struct Point14AttributeState<IntegerCompressor>;

bool Point14GeometryDecoder::decode(ChunkRecords records, std::span<Point14Changes> changes, Layers layers) {
  const std::uint8_t* first = records.record(0);
  contexts_.start(point14_channel(first), read_geometry(first));
  changes[0].channel = static_cast<std::uint8_t>(point14_channel(first));
  xy_.start(layers[0]);
  z_.start(layers[1]);
  for (std::size_t i = 1; i < records.count; ++i) changes[i] = decode_point(records.record(i));
  return !xy_.coder.failed() && !z_.failed();
}

Point14Changes Point14GeometryDecoder::decode_point(std::uint8_t* record) {
  auto& xy = xy_.coder;
  auto& previous = contexts_.state(contexts_.current());
  const std::uint32_t changed = xy.decode_symbol(previous.changed_values[previous_position(previous.last)]);
  unsigned channel = contexts_.current();
  if (changed & (1u << 6)) channel = (channel + xy.decode_symbol(previous.scanner_channel) + 1) & 3;
  auto [s, last] = contexts_.select<ItemVersion::v4>(channel);

  Point14Changes changes;
  changes.channel = static_cast<std::uint8_t>(channel);
  changes.channel_changed = changed & (1u << 6);
  changes.point_source = changed & (1u << 5);
  changes.gps_time = changed & (1u << 4);
  changes.scan_angle = changed & (1u << 3);

  const unsigned last_n = last.number_of_returns;
  const unsigned last_r = last.return_number;
  unsigned n = last_n;
  if (changed & (1u << 2)) n = xy.decode_symbol(lazy_model(s.number_of_returns[last_n], 16)) & 15;
  unsigned r = last_r;
  switch (changed & 3) {
    case 1: r = (last_r + 1) & 15; break;
    case 2: r = (last_r + 15) & 15; break;
    case 3:
      if (changes.gps_time) {
        r = xy.decode_symbol(lazy_model(s.return_number[last_r], 16)) & 15;
      } else {
        r = (last_r + xy.decode_symbol(s.return_number_gps_same) + 2) & 15;
      }
      break;
    default: break;
  }
  last.number_of_returns = static_cast<std::uint8_t>(n);
  last.return_number = static_cast<std::uint8_t>(r);
  changes.position = static_cast<std::uint8_t>(position(n, r));

  const unsigned slot = (return_map[n][r] << 1) | (changes.gps_time ? 1u : 0u);
  const std::int32_t dx = s.dx.decompress(xy, s.x_median[slot].get(), n == 1);
  last.x = wrapping_add(last.x, dx);
  s.x_median[slot].add(dx);
  const std::int32_t dy = s.dy.decompress(xy, s.y_median[slot].get(), (n == 1) + even_below(s.dx.k(), 20));
  last.y = wrapping_add(last.y, dy);
  s.y_median[slot].add(dy);
  if (z_.present) {
    const unsigned level = return_level(n, r);
    const std::uint32_t k = (s.dx.k() + s.dy.k()) / 2;
    last.z = s.z.decompress(z_.coder, s.last_z[level], (n == 1) + even_below(k, 18));
    s.last_z[level] = last.z;
  }
  last.gps_time_change = changes.gps_time;

  store(record, last.x);
  store(record + 4, last.y);
  store(record + 8, last.z);
  record[14] = static_cast<std::uint8_t>(r | (n << 4));
  return changes;
}

bool Point14AttributeDecoder::decode(ChunkRecords records, std::span<const Point14Changes> changes,
                                     Layers layers) {
  const std::uint8_t* first = records.record(0);
  contexts_.start(point14_channel(first), read_attributes(first));
  corrupt_ = false;
  for (std::size_t i = 0; i < Layer::count; ++i) layers_[i].start(layers[i]);
  for (std::size_t i = 1; i < records.count; ++i) decode_point(changes[i], records.record(i));
  if (corrupt_) return false;
  for (const auto& layer : layers_) {
    if (layer.failed()) return false;
  }
  return true;
}

void Point14AttributeDecoder::decode_point(const Point14Changes& changes, std::uint8_t* record) {
  auto [s, last] = contexts_.select<ItemVersion::v4>(changes.channel);
  const unsigned cpr = changes.position;
  const unsigned gps_changed = changes.gps_time ? 1 : 0;
  if (layers_[classification].present) {
    const unsigned context = ((last.classification & 0x1Fu) << 1) + (cpr == 3 ? 1 : 0);
    last.classification = static_cast<std::uint8_t>(
        layers_[classification].coder.decode_symbol(lazy_model(s.classification[context], 256)));
  }
  if (layers_[flags].present) {
    last.flags = static_cast<std::uint8_t>(layers_[flags].coder.decode_symbol(lazy_model(s.flags[last.flags & 63], 64)));
  }
  if (layers_[intensity].present) {
    const unsigned slot = (cpr << 1) | gps_changed;
    last.intensity =
        static_cast<std::uint16_t>(s.intensity.decompress(layers_[intensity].coder, s.last_intensity[slot], cpr));
    s.last_intensity[slot] = last.intensity;
  }
  if (layers_[scan_angle].present && changes.scan_angle) {
    last.scan_angle =
        static_cast<std::int16_t>(s.scan_angle.decompress(layers_[scan_angle].coder, last.scan_angle, gps_changed));
  }
  if (layers_[user_data].present) {
    last.user_data = static_cast<std::uint8_t>(
        layers_[user_data].coder.decode_symbol(lazy_model(s.user_data[last.user_data / 4], 256)));
  }
  if (layers_[point_source].present && changes.point_source) {
    last.point_source =
        static_cast<std::uint16_t>(s.point_source.decompress(layers_[point_source].coder, last.point_source, 0));
  }
  if (layers_[gps_time].present && changes.gps_time) {
    decode_gps_time(s);
    last.gps_time = s.gps.times[s.gps.last];
  }

  store(record + 12, last.intensity);
  record[15] = static_cast<std::uint8_t>((last.flags & 0x0F) | ((last.flags & 0x30) << 2) | (changes.channel << 4));
  record[16] = last.classification;
  record[17] = last.user_data;
  store(record + 18, last.scan_angle);
  store(record + 20, last.point_source);
  store(record + 22, last.gps_time);
}

void Point14AttributeDecoder::decode_gps_time(State& s) {
  auto& dec = layers_[gps_time].coder;
  auto& g = s.gps;
  // A valid stream switches sequence at most once before a time; more is corrupt.
  for (int switches = 0; switches < 4; ++switches) {
    std::uint32_t multi;
    if (g.diffs[g.last] == 0) {
      multi = dec.decode_symbol(s.gps_no_diff);
      if (multi == 0) {
        g.diffs[g.last] = s.gps_time.decompress(dec, 0, 0);
        g.times[g.last] += static_cast<std::uint64_t>(static_cast<std::int64_t>(g.diffs[g.last]));
        g.extreme_counts[g.last] = 0;
        return;
      }
      if (multi >= 2) {
        g.last = (g.last + multi - 1) & 3;
        continue;
      }
    } else {
      multi = dec.decode_symbol(s.gps_multi);
      if (multi > gps_code_full) {
        g.last = (g.last + multi - gps_code_full) & 3;
        continue;
      }
      if (multi < gps_code_full) {
        const std::int32_t last_diff = g.diffs[g.last];
        std::int32_t diff;
        bool extreme = false;
        if (multi == 1) {
          diff = s.gps_time.decompress(dec, last_diff, 1);
          g.extreme_counts[g.last] = 0;
        } else if (multi == 0) {
          diff = s.gps_time.decompress(dec, 0, 7);
          extreme = true;
        } else if (multi < static_cast<std::uint32_t>(gps_multi_max)) {
          diff = s.gps_time.decompress(dec, wrapping_mul(static_cast<std::int32_t>(multi), last_diff),
                                       multi < 10 ? 2 : 3);
        } else if (multi == static_cast<std::uint32_t>(gps_multi_max)) {
          diff = s.gps_time.decompress(dec, wrapping_mul(gps_multi_max, last_diff), 4);
          extreme = true;
        } else {
          const std::int32_t m = gps_multi_max - static_cast<std::int32_t>(multi);
          if (m > gps_multi_min) {
            diff = s.gps_time.decompress(dec, wrapping_mul(m, last_diff), 5);
          } else {
            diff = s.gps_time.decompress(dec, wrapping_mul(gps_multi_min, last_diff), 6);
            extreme = true;
          }
        }
        if (extreme && ++g.extreme_counts[g.last] > 3) {
          g.diffs[g.last] = diff;
          g.extreme_counts[g.last] = 0;
        }
        g.times[g.last] += static_cast<std::uint64_t>(static_cast<std::int64_t>(diff));
        return;
      }
    }
    // A new sequence: the high half predicted from the current one, the low half raw.
    g.next = (g.next + 1) & 3;
    const auto high = static_cast<std::uint32_t>(
        s.gps_time.decompress(dec, static_cast<std::int32_t>(g.times[g.last] >> 32), 8));
    g.times[g.next] = (static_cast<std::uint64_t>(high) << 32) | dec.read_int();
    g.last = g.next;
    g.diffs[g.last] = 0;
    g.extreme_counts[g.last] = 0;
    return;
  }
  corrupt_ = true;
}

void Point14Encoder::encode(ConstChunkRecords records, std::span<Point14Changes> changes, LayerBytes& layers) {
  start(records.record(0));
  changes[0].channel = static_cast<std::uint8_t>(point14_channel(records.record(0)));
  for (std::size_t i = 1; i < records.count; ++i) changes[i] = encode_point(records.record(i));
  for (std::size_t i = 0; i < Layer::count; ++i) {
    // The reference always keeps x/y and z, the others only when their value changed.
    layers.push_back(layers_[i].finish(i == Layer::xy || i == Layer::z || changed_[i]));
  }
}

void Point14Encoder::start(const std::uint8_t* first) {
  const unsigned channel = point14_channel(first);
  const Point14Attributes a = read_attributes(first);
  changes_.start(channel, Point14ChangeBase{a.gps_time, a.scan_angle, a.point_source});
  geometry_.start(channel, read_geometry(first));
  attributes_.start(channel, a);
  for (auto& layer : layers_) layer.restart();
  changed_ = {};
}

Point14Changes Point14Encoder::encode_point(const std::uint8_t* record) {
  const unsigned channel = point14_channel(record);
  const unsigned previous_channel = geometry_.current();
  const Point14Attributes attributes = read_attributes(record);

  Point14Changes changes;
  changes.channel = static_cast<std::uint8_t>(channel);
  changes.channel_changed = channel != previous_channel;
  {
    auto& base = changes_.select<ItemVersion::v4>(channel).last;
    changes.gps_time = gps_time_differs(attributes.gps_time, base.gps_time);
    changes.scan_angle = attributes.scan_angle != base.scan_angle;
    changes.point_source = attributes.point_source != base.point_source;
    base = {attributes.gps_time, attributes.scan_angle, attributes.point_source};
  }
  auto& previous = geometry_.state(previous_channel);
  const unsigned lpr = previous_position(previous.last);
  auto [s, last] = geometry_.select<ItemVersion::v4>(channel);
  const Point14Geometry point = read_geometry(record);
  const unsigned n = point.number_of_returns, r = point.return_number;
  const unsigned last_n = last.number_of_returns, last_r = last.return_number;

  std::uint32_t changed = (channel != previous_channel ? 1u << 6 : 0u) | (changes.point_source ? 1u << 5 : 0u) |
                          (changes.gps_time ? 1u << 4 : 0u) | (changes.scan_angle ? 1u << 3 : 0u) |
                          (n != last_n ? 1u << 2 : 0u);
  if (r != last_r) changed |= r == ((last_r + 1) & 15) ? 1u : r == ((last_r + 15) & 15) ? 2u : 3u;
  auto& xy = layers_[Layer::xy].coder();
  xy.encode_symbol(previous.changed_values[lpr], changed);
  if (changed & (1u << 6)) xy.encode_symbol(previous.scanner_channel, (channel - previous_channel + 3) & 3);
  if (changed & (1u << 2)) xy.encode_symbol(lazy_model(s.number_of_returns[last_n], 16), n);
  if ((changed & 3) == 3) {
    if (changes.gps_time) {
      xy.encode_symbol(lazy_model(s.return_number[last_r], 16), r);
    } else {
      xy.encode_symbol(s.return_number_gps_same, (r - last_r + 14) & 15);
    }
  }
  changes.position = static_cast<std::uint8_t>(position(n, r));

  const unsigned slot = (return_map[n][r] << 1) | (changes.gps_time ? 1u : 0u);
  const std::int32_t dx = wrapping_sub(point.x, last.x);
  s.dx.compress(xy, s.x_median[slot].get(), dx, n == 1);
  s.x_median[slot].add(dx);
  const std::int32_t dy = wrapping_sub(point.y, last.y);
  s.dy.compress(xy, s.y_median[slot].get(), dy, (n == 1) + even_below(s.dx.k(), 20));
  s.y_median[slot].add(dy);
  const unsigned level = return_level(n, r);
  const std::uint32_t k = (s.dx.k() + s.dy.k()) / 2;
  s.z.compress(layers_[Layer::z].coder(), s.last_z[level], point.z, (n == 1) + even_below(k, 18));
  s.last_z[level] = point.z;
  last = point;
  last.gps_time_change = changes.gps_time;

  encode_attributes(changes, record);
  return changes;
}

void Point14Encoder::encode_attributes(const Point14Changes& changes, const std::uint8_t* record) {
  auto [s, last] = attributes_.select<ItemVersion::v4>(changes.channel);
  const Point14Attributes a = read_attributes(record);
  const unsigned cpr = changes.position;
  const unsigned gps_changed = changes.gps_time ? 1 : 0;

  const unsigned class_context = ((last.classification & 0x1Fu) << 1) + (cpr == 3 ? 1 : 0);
  changed_[classification] = changed_[classification] || a.classification != last.classification;
  layers_[classification].coder().encode_symbol(lazy_model(s.classification[class_context], 256), a.classification);

  changed_[flags] = changed_[flags] || a.flags != last.flags;
  layers_[flags].coder().encode_symbol(lazy_model(s.flags[last.flags], 64), a.flags);

  const unsigned slot = (cpr << 1) | gps_changed;
  changed_[intensity] = changed_[intensity] || a.intensity != last.intensity;
  s.intensity.compress(layers_[intensity].coder(), s.last_intensity[slot], a.intensity, cpr);
  s.last_intensity[slot] = a.intensity;

  if (changes.scan_angle) {
    changed_[scan_angle] = true;
    s.scan_angle.compress(layers_[scan_angle].coder(), last.scan_angle, a.scan_angle, gps_changed);
  }

  changed_[user_data] = changed_[user_data] || a.user_data != last.user_data;
  layers_[user_data].coder().encode_symbol(lazy_model(s.user_data[last.user_data / 4], 256), a.user_data);

  if (changes.point_source) {
    changed_[point_source] = true;
    s.point_source.compress(layers_[point_source].coder(), last.point_source, a.point_source, 0);
  }
  if (changes.gps_time) {
    changed_[gps_time] = true;
    encode_gps_time(s, a.gps_time);
  }
  last = a;
}

void Point14Encoder::encode_gps_time(AttributeState& s, std::uint64_t time) {
  auto& enc = layers_[gps_time].coder();
  auto& g = s.gps;
  const auto diff_to = [&](unsigned sequence) {
    return static_cast<std::int64_t>(time - g.times[sequence]);
  };
  const std::int64_t diff64 = diff_to(g.last);
  const auto diff = static_cast<std::int32_t>(diff64);
  const bool no_last_diff = g.diffs[g.last] == 0;
  SymbolModel& model = no_last_diff ? s.gps_no_diff : s.gps_multi;
  if (fits_i32(diff64)) {
    if (no_last_diff) {
      enc.encode_symbol(model, 0);
      s.gps_time.compress(enc, 0, diff, 0);
      g.diffs[g.last] = diff;
      g.extreme_counts[g.last] = 0;
    } else {
      const std::int32_t last_diff = g.diffs[g.last];
      const std::int32_t multi = gps_multiplier(diff, last_diff);
      bool extreme = false;
      if (multi == 1) {
        enc.encode_symbol(model, 1);
        s.gps_time.compress(enc, last_diff, diff, 1);
        g.extreme_counts[g.last] = 0;
      } else if (multi > 0 && multi < gps_multi_max) {
        enc.encode_symbol(model, static_cast<std::uint32_t>(multi));
        s.gps_time.compress(enc, wrapping_mul(multi, last_diff), diff, multi < 10 ? 2 : 3);
      } else if (multi >= gps_multi_max) {
        enc.encode_symbol(model, gps_multi_max);
        s.gps_time.compress(enc, wrapping_mul(gps_multi_max, last_diff), diff, 4);
        extreme = true;
      } else if (multi < 0 && multi > gps_multi_min) {
        enc.encode_symbol(model, static_cast<std::uint32_t>(gps_multi_max - multi));
        s.gps_time.compress(enc, wrapping_mul(multi, last_diff), diff, 5);
      } else if (multi < 0) {
        enc.encode_symbol(model, static_cast<std::uint32_t>(gps_multi_max - gps_multi_min));
        s.gps_time.compress(enc, wrapping_mul(gps_multi_min, last_diff), diff, 6);
        extreme = true;
      } else {
        enc.encode_symbol(model, 0);
        s.gps_time.compress(enc, 0, diff, 7);
        extreme = true;
      }
      if (extreme && ++g.extreme_counts[g.last] > 3) {
        g.diffs[g.last] = diff;
        g.extreme_counts[g.last] = 0;
      }
    }
    g.times[g.last] = time;
    return;
  }
  for (unsigned i = 1; i < 4; ++i) {
    if (fits_i32(diff_to((g.last + i) & 3))) {
      enc.encode_symbol(model, no_last_diff ? i + 1 : gps_code_full + i);
      g.last = (g.last + i) & 3;
      encode_gps_time(s, time);
      return;
    }
  }
  enc.encode_symbol(model, no_last_diff ? 1 : gps_code_full);
  s.gps_time.compress(enc, static_cast<std::int32_t>(g.times[g.last] >> 32), static_cast<std::int32_t>(time >> 32), 8);
  enc.write_int(static_cast<std::uint32_t>(time));
  g.next = (g.next + 1) & 3;
  g.last = g.next;
  g.diffs[g.last] = 0;
  g.extreme_counts[g.last] = 0;
  g.times[g.last] = time;
}

}  // namespace las::laz
