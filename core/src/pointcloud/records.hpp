#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "las/record_layout.hpp"

namespace karvik_core::pointcloud {

// Raw LAS point records, one record length each, with the layout they were
// read in. Coordinates are decoded on demand; records are copied whole.
struct PointRecords {
  las::RecordLayout layout;
  std::vector<std::uint8_t> bytes;

  std::size_t size() const { return bytes.size() / layout.record_length(); }
  bool empty() const { return bytes.empty(); }
  const std::uint8_t* record(std::size_t index) const { return bytes.data() + index * layout.record_length(); }
  las::Vector3 coordinates(std::size_t index) const { return layout.coordinates(record(index)); }
  // Appends one record of this layout.
  void append(const std::uint8_t* record) { bytes.insert(bytes.end(), record, record + layout.record_length()); }
};

}  // namespace karvik_core::pointcloud
