#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace las::laz {

// The records of one chunk, one record length apart; an item codes its own
// bytes at a fixed offset within each record.
template <class Byte>
struct ChunkRecordsOf {
  Byte* data = nullptr;
  std::size_t record_length = 0;
  std::size_t count = 0;

  Byte* record(std::size_t i) const { return data + i * record_length; }
};
using ChunkRecords = ChunkRecordsOf<std::uint8_t>;
using ConstChunkRecords = ChunkRecordsOf<const std::uint8_t>;

// What the POINT14 item decoded for one point that the other items need.
struct Point14Changes {
  std::uint8_t channel = 0;   // scanner channel, 0-3
  std::uint8_t position = 0;  // 0 intermediate, 1 last, 2 first, 3 single return
  bool gps_time = false;      // changed against the channel's previous point
  bool scan_angle = false;
  bool point_source = false;
};

using Layers = std::span<const std::span<const std::uint8_t>>;
using LayerBytes = std::vector<std::vector<std::uint8_t>>;

}  // namespace las::laz
