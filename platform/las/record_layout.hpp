#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>

#include "las/bytes.hpp"
#include "las/error.hpp"
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

  // Writes the raw x, y, z of a position; fails when one falls outside int32.
  std::expected<void, Error> store_coordinates(const Vector3& position, std::uint8_t* record) const {
    const auto raw_x = x.inverse(position.x);
    if (!raw_x) return std::unexpected(raw_x.error());
    const auto raw_y = y.inverse(position.y);
    if (!raw_y) return std::unexpected(raw_y.error());
    const auto raw_z = z.inverse(position.z);
    if (!raw_z) return std::unexpected(raw_z.error());
    store<std::int32_t>(record, *raw_x);
    store<std::int32_t>(record + 4, *raw_y);
    store<std::int32_t>(record + 8, *raw_z);
    return {};
  }

  bool operator==(const RecordLayout&) const = default;
};

}  // namespace las
