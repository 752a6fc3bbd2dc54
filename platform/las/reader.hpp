#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "las/error.hpp"
#include "las/header.hpp"
#include "las/point_unit.hpp"
#include "las/record_filter.hpp"
#include "las/record_layout.hpp"

namespace las {

namespace io {
class InputFile;
}
class PointStreamReader;

// Reads one LAS or LAZ file, recognised by its content (the compression bit of
// the point format, then the LASzip VLR), never by its name. Records come in
// batches so that a tile never has to be held whole.
class Reader {
 public:
  // Opens the file and checks its header; the point data is not read yet.
  static std::expected<Reader, Error> open(const std::string& path);

  Reader(Reader&&) noexcept;
  Reader& operator=(Reader&&) noexcept;
  ~Reader();

  const Header& header() const { return header_; }
  RecordLayout layout() const { return RecordLayout::of(header_); }

  // Appends the next batch of raw records (a LAZ chunk, or up to 50,000 LAS
  // records) to `out` and returns how many; 0 once every point is read.
  std::expected<std::size_t, Error> read_batch(std::vector<std::uint8_t>& out);
  // The same batch, of which only the records `keep` keeps are appended; still
  // returns how many the batch held. Layered LAZ chunks that keep none of
  // their points are decoded only as far as their coordinates.
  std::expected<std::size_t, Error> read_batch(std::vector<std::uint8_t>& out, const RecordFilter& keep);

  // The number of LASzip chunks of a LAZ file (one for a pointwise one); nothing for LAS.
  std::optional<std::size_t> chunk_count() const;

  // The parts of the point data that decode on their own (LASzip chunks, or
  // slices of 50,000 plain records) when they can be read in any order:
  // their number, or nothing when the points can only be read in one pass
  // (chunks without a chunk table).
  std::optional<std::size_t> unit_count() const;
  // Unit `index` (below unit_count()): its first point and point count.
  PointUnit unit(std::size_t index) const;
  // For a COPC file whose units can be read in any order, the cube of its
  // octree that holds each unit's points, padded outward by a scale step;
  // nothing for any other file; an error when its hierarchy cannot be read or
  // does not match its chunks. Reads the hierarchy pages from the file.
  std::expected<std::optional<std::vector<Bounds>>, Error> unit_cubes() const;
  // Appends the records of unit `index` (with `keep` only those it keeps) and
  // returns the unit's point count; a unit past the end of the file fails.
  // Safe to call from several threads at once, and beside read_batch.
  std::expected<std::size_t, Error> read_unit(std::size_t index, std::vector<std::uint8_t>& out) const;
  std::expected<std::size_t, Error> read_unit(std::size_t index, std::vector<std::uint8_t>& out,
                                              const RecordFilter& keep) const;

 private:
  Reader(Header header, std::unique_ptr<PointStreamReader> stream);

  Header header_;
  std::unique_ptr<PointStreamReader> stream_;
};

}  // namespace las
