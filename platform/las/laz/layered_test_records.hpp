#pragma once

#include <cstring>
#include <random>
#include <vector>

#include "las/bytes.hpp"
#include "las/laz/laszip_vlr.hpp"

// Records of point formats 6-10 for the tests of the layered codec.
namespace las::laz {

using Bytes = std::vector<std::uint8_t>;

// The items of point format 6-10 with `extra` extra bytes, as the reference lists them.
inline std::vector<LaszipItem> items_for(int format, std::uint16_t extra, std::uint16_t version) {
  std::vector<LaszipItem> items{{ItemType::point14, 30, version}};
  if (format == 7) items.push_back({ItemType::rgb14, 6, version});
  if (format == 8 || format == 10) items.push_back({ItemType::rgbnir14, 8, version});
  if (format == 9 || format == 10) items.push_back({ItemType::wavepacket14, 29, version});
  if (extra) items.push_back({ItemType::byte14, extra, version});
  return items;
}

inline std::size_t record_length(const std::vector<LaszipItem>& items) {
  std::size_t n = 0;
  for (const auto& item : items) n += item.size;
  return n;
}

struct Scene {
  int channels = 4;         // scanner channels in use
  bool varying = true;      // attributes change from point to point
};

// Points as a multi-channel scanner delivers them: pulses of 1-15 returns
// sharing a GPS time, channels taking turns (and coming back), coordinates
// drifting, now and then a jump in GPS time or a new flight line.
inline Bytes make_records(const std::vector<LaszipItem>& items, std::size_t count, unsigned seed, Scene scene = {}) {
  const std::size_t length = record_length(items);
  std::mt19937 rng(seed);
  const auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  Bytes out(count * length);
  double gps = 1.5e8 + seed;
  int returns = 1, ret = 1, channel = 0;
  std::int32_t x = 1'000'000, y = -2'000'000, z = 5000;
  std::uint16_t source = 17;
  for (std::size_t i = 0; i < count; ++i) {
    Bytes r(length);
    if (ret > returns) {
      returns = uniform(1, 15);
      ret = 1;
      gps += uniform(0, 10) == 0 ? uniform(1, 1 << 20) * 1e-3 : 1e-5 * uniform(1, 3);
      if (uniform(0, 200) == 0) gps += 1e6;  // a jump that starts a new time sequence
      if (scene.channels > 1 && uniform(0, 3) == 0) channel = uniform(0, scene.channels - 1);
      if (uniform(0, 500) == 0) source = static_cast<std::uint16_t>(uniform(0, 65535));
    }
    x += uniform(-300, 300);
    y += uniform(-300, 300);
    z += uniform(-50, 50);
    store(r.data() + 0, x);
    store(r.data() + 4, y);
    store(r.data() + 8, z);
    const bool v = scene.varying;
    store(r.data() + 12, static_cast<std::uint16_t>(v ? uniform(0, 65535) : 300));
    r[14] = static_cast<std::uint8_t>(ret | (returns << 4));
    r[15] = static_cast<std::uint8_t>((v ? uniform(0, 15) : 2) | (channel << 4) | (v ? uniform(0, 1) << 6 : 0) |
                                      (v && uniform(0, 50) == 0 ? 0x80 : 0));
    r[16] = static_cast<std::uint8_t>(v ? uniform(0, 3) == 0 ? uniform(0, 255) : 2 : 6);
    r[17] = static_cast<std::uint8_t>(v ? uniform(0, 255) : 9);
    store(r.data() + 18, static_cast<std::int16_t>(v ? uniform(-30000, 30000) : -120));
    store(r.data() + 20, v ? source : std::uint16_t{17});
    store(r.data() + 22, v ? gps : 77.25);
    std::size_t at = 30;
    for (std::size_t k = 1; k < items.size(); ++k) {
      const auto& item = items[k];
      for (std::size_t b = 0; b < item.size; ++b) {
        // Colours often grey, extra byte 0 constant, wave packets mostly regular.
        const bool constant = !v || (item.type == ItemType::byte14 && b == 0);
        r[at + b] = static_cast<std::uint8_t>(constant ? 40 + b : uniform(0, 7) == 0 ? uniform(0, 255) : 40 + b);
      }
      at += item.size;
    }
    std::memcpy(out.data() + i * length, r.data(), length);
    ++ret;
  }
  return out;
}

}  // namespace las::laz
