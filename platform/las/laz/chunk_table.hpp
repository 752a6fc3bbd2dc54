#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <vector>

#include "las/error.hpp"
#include "las/laz/laszip_vlr.hpp"

// The chunk table of a chunked LASzip point stream. The stream begins with
// the 8-byte offset of the table, the chunks follow, then the table: version
// 0, the chunk count, and per chunk its byte count (and, for variable chunks,
// its point count), arithmetic-coded as differences from the previous chunk.
namespace las::laz {

struct ChunkEntry {
  std::uint64_t point_count = 0;
  std::uint64_t byte_count = 0;
  friend bool operator==(const ChunkEntry&, const ChunkEntry&) = default;
};

// Decodes a table from `bytes` (starting at its version field). Point counts
// are read for variable chunks only and left 0 otherwise. A table listing
// more than `max_chunks` chunks is refused before anything is allocated.
std::expected<std::vector<ChunkEntry>, Error> decode_chunk_table(std::span<const std::uint8_t> bytes, bool variable,
                                                                 std::uint64_t max_chunks);

// Appends the table of `chunks` to `out`.
void encode_chunk_table(std::span<const ChunkEntry> chunks, bool variable, std::vector<std::uint8_t>& out);

// One chunk of a point stream: where it starts in the file, its bytes and
// its points.
struct ChunkLocation {
  std::uint64_t offset = 0;
  std::uint64_t byte_count = 0;
  std::uint64_t point_count = 0;
};

struct ChunkLayout {
  enum class Sizes {
    // Byte counts from the chunk table: a chunk's decoding must end there.
    from_table,
    // One pointwise stream: its byte count is what lies before the end.
    up_to_end,
    // No table (a writer interrupted before writing it): the chunks are
    // fixed in points and each starts where the previous one's decoding
    // ended; only the first offset is known, byte counts are 0.
    unknown,
  };
  std::vector<ChunkLocation> chunks;
  Sizes sizes = Sizes::from_table;
};

// Reads `out.size()` bytes at a file offset, or fails.
using ReadAt = std::function<std::expected<void, Error>(std::uint64_t offset, std::span<std::uint8_t> out)>;

// Finds the chunks of the point stream that starts at `data_start` in a file
// of `file_size` bytes holding `point_count` records of `record_length` bytes.
std::expected<ChunkLayout, Error> locate_chunks(const ReadAt& read_at, std::uint64_t data_start,
                                                std::uint64_t file_size, const LaszipVlr& vlr,
                                                std::uint64_t point_count, std::uint16_t record_length);

}  // namespace las::laz
