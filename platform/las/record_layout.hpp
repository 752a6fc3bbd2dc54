#pragma once

#include <cstddef>
#include <cstdint>

#include "las/bytes.hpp"
#include "las/header.hpp"
#include "las/point_format.hpp"
#include "las/transform.hpp"

namespace las {

// How a run of raw point records is to be read: their format (and so their
// length) and the scale and offset of each axis. Records start with the raw
// x, y, z as int32, which coordinates() decodes without looking at the rest.
struct RecordLayout {
  PointFormat format;
  Transform x, y, z;

  static RecordLayout of(const Header& header) {
    const Transforms& t = header.transforms();
    return {header.point_format(), t.x, t.y, t.z};
  }

  std::size_t record_length() const { return format.record_length(); }
  Vector3 coordinates(const std::uint8_t* record) const {
    return {x.apply(load<std::int32_t>(record)), y.apply(load<std::int32_t>(record + 4)),
            z.apply(load<std::int32_t>(record + 8))};
  }

  bool operator==(const RecordLayout&) const = default;
};

}  // namespace las
