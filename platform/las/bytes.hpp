#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

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

// A byte count read from a file, as a size in memory; nothing where it does
// not fit in size_t (a 32-bit target reading a field of 4 GiB or more).
inline std::optional<std::size_t> memory_size(std::uint64_t bytes) {
  if (bytes > std::numeric_limits<std::size_t>::max()) return std::nullopt;
  return static_cast<std::size_t>(bytes);
}

}  // namespace las
