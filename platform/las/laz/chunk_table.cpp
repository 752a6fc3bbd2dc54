#include "las/laz/chunk_table.hpp"

#include <algorithm>
#include <string>

#include "las/bytes.hpp"
#include "las/laz/arithmetic_decoder.hpp"
#include "las/laz/arithmetic_encoder.hpp"
#include "las/laz/integer_compressor.hpp"

namespace las::laz {

namespace {

constexpr unsigned point_count_context = 0;
constexpr unsigned byte_count_context = 1;
constexpr std::size_t table_header = 8;
// A coded entry takes at most two 32-bit corrections: well under 24 bytes.
constexpr std::uint64_t max_entry_bytes = 24;

std::expected<std::int64_t, Error> read_offset(const ReadAt& read_at, std::uint64_t at) {
  std::uint8_t bytes[8];
  if (auto ok = read_at(at, bytes); !ok) return std::unexpected(ok.error());
  return load<std::int64_t>(bytes);
}

}  // namespace

std::expected<std::vector<ChunkEntry>, Error> decode_chunk_table(std::span<const std::uint8_t> bytes, bool variable,
                                                                 std::uint64_t max_chunks) {
  if (bytes.size() < table_header) return std::unexpected(codec_error("the chunk table is truncated"));
  const auto version = load<std::uint32_t>(bytes.data() + 0);
  if (version != 0)
    return std::unexpected(codec_error(std::string("unknown chunk table version ") + std::to_string(version)));
  const auto count = load<std::uint32_t>(bytes.data() + 4);
  if (count > max_chunks) {
    return std::unexpected(codec_error(std::string("the chunk table lists ") + std::to_string(count) +
                                       " chunks, more than the point data can hold (" + std::to_string(max_chunks) +
                                       ")"));
  }
  std::vector<ChunkEntry> chunks;
  if (count == 0) return chunks;
  chunks.reserve(count);
  ArithmeticDecoder dec(bytes.subspan(table_header));
  dec.init();
  IntegerDecompressor ic(32, 2);
  ChunkEntry previous;
  for (std::uint32_t i = 0; i < count; ++i) {
    ChunkEntry entry;
    if (variable) {
      entry.point_count = static_cast<std::uint32_t>(
          ic.decompress(dec, static_cast<std::int32_t>(previous.point_count), point_count_context));
    }
    entry.byte_count = static_cast<std::uint32_t>(
        ic.decompress(dec, static_cast<std::int32_t>(previous.byte_count), byte_count_context));
    if (dec.failed()) return std::unexpected(codec_error("the chunk table is truncated"));
    chunks.push_back(entry);
    previous = entry;
  }
  return chunks;
}

void encode_chunk_table(std::span<const ChunkEntry> chunks, bool variable, std::vector<std::uint8_t>& out) {
  const auto at = out.size();
  out.resize(at + table_header);
  store<std::uint32_t>(out.data() + at, 0);
  store<std::uint32_t>(out.data() + at + 4, static_cast<std::uint32_t>(chunks.size()));
  if (chunks.empty()) return;
  ArithmeticEncoder enc(out);
  IntegerCompressor ic(32, 2);
  ChunkEntry previous;
  for (const auto& entry : chunks) {
    if (variable) {
      ic.compress(enc, static_cast<std::int32_t>(previous.point_count), static_cast<std::int32_t>(entry.point_count),
                  point_count_context);
    }
    ic.compress(enc, static_cast<std::int32_t>(previous.byte_count), static_cast<std::int32_t>(entry.byte_count),
                byte_count_context);
    previous = entry;
  }
  enc.done();
}

std::expected<ChunkLayout, Error> locate_chunks(const ReadAt& read_at, std::uint64_t data_start,
                                                std::uint64_t file_size, const LaszipVlr& vlr,
                                                std::uint64_t point_count, std::uint16_t record_length) {
  ChunkLayout layout;
  if (point_count == 0) return layout;
  if (data_start > file_size) return std::unexpected(codec_error("the point data lies outside the file"));
  if (vlr.compressor == Compressor::pointwise) {
    layout.chunks.push_back({data_start, file_size - data_start, point_count});
    layout.sizes = ChunkLayout::Sizes::up_to_end;
    return layout;
  }
  if (file_size - data_start < 8) return std::unexpected(codec_error("the point data is truncated"));
  const std::uint64_t chunks_start = data_start + 8;

  auto offset = read_offset(read_at, data_start);
  if (!offset) return std::unexpected(offset.error());
  std::int64_t table_offset = *offset;
  if (table_offset == -1) {
    // A writer that could not seek back stores the offset after the table.
    auto at_end = read_offset(read_at, file_size - 8);
    if (!at_end) return std::unexpected(at_end.error());
    table_offset = *at_end;
  }
  if (table_offset <= static_cast<std::int64_t>(data_start)) {
    if (vlr.variable_chunks()) {
      return std::unexpected(codec_error("the chunk table is missing and the chunks vary in size"));
    }
    const std::uint64_t needed = (point_count - 1) / vlr.chunk_size + 1;
    if (needed > (file_size - chunks_start) / (std::uint64_t{record_length} + 4)) {
      return std::unexpected(
          codec_error(std::string("the point data cannot hold ") + std::to_string(point_count) + " points"));
    }
    layout.sizes = ChunkLayout::Sizes::unknown;
    for (std::uint64_t first = 0; first < point_count; first += vlr.chunk_size) {
      layout.chunks.push_back({0, 0, std::min<std::uint64_t>(vlr.chunk_size, point_count - first)});
    }
    layout.chunks.front().offset = chunks_start;
    return layout;
  }
  const auto table_start = static_cast<std::uint64_t>(table_offset);
  if (table_start < chunks_start || table_start > file_size || file_size - table_start < table_header) {
    return std::unexpected(codec_error(std::string("the chunk table offset ") + std::to_string(table_start) +
                                       " lies outside the file (" + std::to_string(file_size) + " bytes)"));
  }

  std::uint8_t header[table_header];
  if (auto ok = read_at(table_start, header); !ok) return std::unexpected(ok.error());
  const auto listed = load<std::uint32_t>(header + 4);
  const std::uint64_t room = table_start >= chunks_start ? table_start - chunks_start : 0;
  // Each chunk holds at least its raw first record and a four-byte coded tail.
  const std::uint64_t max_chunks = room / (std::uint64_t{record_length} + 4);
  const std::uint64_t table_bytes = std::min<std::uint64_t>(
      file_size - table_start, table_header + max_entry_bytes * std::min<std::uint64_t>(listed, max_chunks) + 8);
  const auto held = memory_size(table_bytes);
  if (!held) return std::unexpected(codec_error("the chunk table is larger than this machine can hold in memory"));
  std::vector<std::uint8_t> table(*held);
  if (auto ok = read_at(table_start, table); !ok) return std::unexpected(ok.error());
  auto entries = decode_chunk_table(table, vlr.variable_chunks(), max_chunks);
  if (!entries) return std::unexpected(entries.error());

  std::uint64_t offset_now = chunks_start;
  std::uint64_t points = 0;
  for (std::size_t i = 0; i < entries->size() && points < point_count; ++i) {
    const auto& entry = (*entries)[i];
    const std::uint64_t chunk_points = vlr.variable_chunks() ? entry.point_count : vlr.chunk_size;
    if (entry.byte_count > table_start - offset_now) {
      return std::unexpected(
          codec_error(std::string("chunk ") + std::to_string(i + 1) + " reaches beyond the chunk table"));
    }
    const std::uint64_t used = std::min(chunk_points, point_count - points);
    if (used != 0) layout.chunks.push_back({offset_now, entry.byte_count, used});
    offset_now += entry.byte_count;
    points += used;
  }
  if (points < point_count) {
    return std::unexpected(codec_error(std::string("the chunk table holds ") + std::to_string(points) + " of the " +
                                       std::to_string(point_count) + " points"));
  }
  return layout;
}

}  // namespace las::laz
