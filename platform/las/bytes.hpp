#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace las {

// LAS is little-endian throughout; so are the machines we run on, which lets a
// field be read or written with one memcpy.
static_assert(std::endian::native == std::endian::little, "LAS fields are read in host byte order");

template <typename T>
inline T load(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

template <typename T>
inline void store(std::uint8_t* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

}  // namespace las
