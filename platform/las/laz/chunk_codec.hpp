#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "las/error.hpp"
#include "las/laz/laszip_vlr.hpp"

namespace las::laz {

// Decodes single chunks of pointwise-compressed records (items POINT10,
// GPSTIME11, RGB12, WAVEPACKET13 and BYTE, versions 1 and 2). A chunk is its
// first record stored raw followed by one arithmetic-coded stream of the rest.
// Each call works on bytes in memory with state of its own, so the chunks of
// one file can be decoded on several threads with one decoder.
class ChunkDecoder {
 public:
  static std::expected<ChunkDecoder, Error> create(const LaszipVlr& vlr);

  std::size_t record_length() const { return record_length_; }

  // Decodes `point_count` records from `chunk` and appends them to `out`.
  // Returns the number of bytes the chunk took. Fails, leaving `out` as it
  // was, when the bytes end before the records do.
  std::expected<std::size_t, Error> decode(std::span<const std::uint8_t> chunk, std::size_t point_count,
                                           std::vector<std::uint8_t>& out) const;

 private:
  ChunkDecoder(std::vector<LaszipItem> items, std::size_t record_length)
      : items_(std::move(items)), record_length_(record_length) {}

  std::vector<LaszipItem> items_;
  std::size_t record_length_;
};

// Encodes whole records into chunks with the newest items (POINT10, GPSTIME11,
// RGB12 and BYTE in version 2, WAVEPACKET13 in version 1), byte for byte as
// the reference encoder does.
class ChunkEncoder {
 public:
  static std::expected<ChunkEncoder, Error> create(const LaszipVlr& vlr);

  std::size_t record_length() const { return record_length_; }

  // Appends one chunk holding `records` (a whole number of records) to `out`.
  void encode(std::span<const std::uint8_t> records, std::vector<std::uint8_t>& out) const;

 private:
  ChunkEncoder(std::vector<LaszipItem> items, std::size_t record_length)
      : items_(std::move(items)), record_length_(record_length) {}

  std::vector<LaszipItem> items_;
  std::size_t record_length_;
};

}  // namespace las::laz
