#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "las/laz/channel_contexts.hpp"

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
  bool channel_changed = false;
  std::uint8_t position = 0;  // 0 intermediate, 1 last, 2 first, 3 single return
  bool gps_time = false;      // changed against the channel's previous point
  bool scan_angle = false;
  bool point_source = false;
};

// The context the other items code a point with. Version 4 gives them the
// point's scanner channel. Version 3 passes the channel on only for a point
// whose channel changed, and context 0 for every other point: the reference
// starts each point's context at 0, and its version 3 POINT14 coder sets it
// only on a change.
template <ItemVersion V>
unsigned item_context(const Point14Changes& point) {
  return V == ItemVersion::v3 && !point.channel_changed ? 0u : point.channel;
}

using Layers = std::span<const std::span<const std::uint8_t>>;
using LayerBytes = std::vector<std::vector<std::uint8_t>>;

}  // namespace las::laz
