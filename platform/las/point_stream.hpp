#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "las/error.hpp"
#include "las/header.hpp"
#include "las/point_unit.hpp"
#include "las/record_filter.hpp"

namespace las {

// The point data of one file behind its header: plain records or LASzip
// chunks. One call per batch, never per point.
class PointStreamReader {
 public:
  virtual ~PointStreamReader() = default;
  // Appends the next batch of raw records to `out`, with `keep` only those it
  // keeps; returns the number of records in the batch, 0 once all are read.
  virtual std::expected<std::size_t, Error> read_batch(std::vector<std::uint8_t>& out, const RecordFilter* keep) = 0;
  // The number of LASzip chunks; nothing for plain records.
  virtual std::optional<std::size_t> chunk_count() const { return std::nullopt; }
  // The number of units when they can be read in any order; nothing when the
  // points can only be read in one pass.
  virtual std::optional<std::size_t> unit_count() const = 0;
  // Unit `index` (below unit_count()), in file order.
  virtual PointUnit unit(std::size_t index) const = 0;
  // For a COPC file with units, the octree cube holding each unit's points;
  // nothing for other files (see copc::chunk_cubes).
  virtual std::expected<std::optional<std::vector<Bounds>>, Error> unit_cubes(const Header&) const {
    return std::nullopt;
  }
  // Appends the records of unit `index` to `out`, as read_batch does; safe to
  // call from several threads at once, and beside read_batch.
  virtual std::expected<std::size_t, Error> read_unit(std::size_t index, std::vector<std::uint8_t>& out,
                                                      const RecordFilter* keep) const = 0;
};

// Where a stream of records stood, for PointStreamWriter::rewind.
struct StreamMark {
  bool started = false;     // whether any byte of the stream was written
  std::uint64_t position = 0;  // the file's position, for a stream not started or plain records
  std::size_t chunks = 0;   // chunks begun, for LASzip chunks
};

class PointStreamWriter {
 public:
  virtual ~PointStreamWriter() = default;
  // The point to which rewind() returns; a later mark replaces it.
  virtual StreamMark mark() = 0;
  // Drops every record written since the last mark, in a file that can be truncated.
  virtual std::expected<void, Error> rewind(const StreamMark& mark) = 0;
  // Whole records in the file's own layout.
  virtual std::expected<void, Error> write(std::span<const std::uint8_t> records) = 0;
  // After the last record and before the EVLRs; called again if finishing failed.
  virtual std::expected<void, Error> finish() = 0;
};

}  // namespace las
