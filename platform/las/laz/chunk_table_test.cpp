#include "las/laz/chunk_table.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "las/bytes.hpp"
#include "las/laz/chunk_codec.hpp"
#include "las/laz/laszip_vlr.hpp"
#include "las/record_layout.hpp"
#include "las/test_files.hpp"

namespace las::laz {
namespace {

using testing::Bytes;

ReadAt reader_of(const Bytes& bytes) {
  return [&bytes](std::uint64_t offset, std::span<std::uint8_t> out) -> std::expected<void, Error> {
    if (offset > bytes.size() || bytes.size() - offset < out.size()) return std::unexpected(Error("outside"));
    std::memcpy(out.data(), bytes.data() + offset, out.size());
    return {};
  };
}

TEST(ChunkTable, RoundTripsFixedAndVariableEntries) {
  const std::vector<ChunkEntry> entries = {{50000, 123456}, {1, 40}, {7, 0xFFFFFFFFu}, {0xFFFFFFFFu, 1}, {50000, 99}};
  for (bool variable : {false, true}) {
    Bytes table;
    encode_chunk_table(entries, variable, table);
    auto back = decode_chunk_table(table, variable, entries.size());
    ASSERT_TRUE(back.has_value()) << back.error().message();
    ASSERT_EQ(back->size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ((*back)[i].byte_count, entries[i].byte_count);
      EXPECT_EQ((*back)[i].point_count, variable ? entries[i].point_count : 0);
    }
    EXPECT_FALSE(decode_chunk_table(table, variable, entries.size() - 1).has_value()) << "more chunks than allowed";
    table.resize(table.size() - 6);
    EXPECT_FALSE(decode_chunk_table(table, variable, entries.size()).has_value()) << "truncated";
  }
}

// A point stream of chunks of varying sizes, as variable-chunk writers make it.
Bytes variable_stream(const ChunkEncoder& encoder, const Bytes& records, const std::vector<std::size_t>& sizes,
                      std::uint64_t data_start) {
  Bytes stream(data_start + 8, 0);
  std::vector<ChunkEntry> entries;
  std::size_t first = 0;
  for (std::size_t size : sizes) {
    const std::size_t before = stream.size();
    const std::size_t length = encoder.record_length();
    encoder.encode(std::span(records).subspan(first * length, size * length), stream);
    entries.push_back({size, stream.size() - before});
    first += size;
  }
  store<std::uint64_t>(stream.data() + data_start, stream.size());
  encode_chunk_table(entries, true, stream);
  return stream;
}

TEST(ChunkTable, VariableChunksDecodeWithTheirOwnPointCounts) {
  auto vlr = LaszipVlr::for_point_format(1, 2);
  ASSERT_TRUE(vlr.has_value());
  auto encoder = ChunkEncoder::create(*vlr);
  auto decoder = ChunkDecoder::create(*vlr);
  ASSERT_TRUE(encoder && decoder);
  const RecordLayout layout{{1, 2}, {0.01, 0}, {0.01, 0}, {0.01, 0}};
  const std::vector<std::size_t> sizes = {1, 7, 50001, 3, 2000};
  const Bytes records = testing::make_records(layout, 52012);
  const std::uint64_t data_start = 300;
  const Bytes stream = variable_stream(*encoder, records, sizes, data_start);

  for (std::uint32_t chunk_size : {LaszipVlr::variable_chunk_size, 0u}) {
    vlr->chunk_size = chunk_size;
    auto located = locate_chunks(reader_of(stream), data_start, stream.size(), *vlr, 52012, 30);
    ASSERT_TRUE(located.has_value()) << located.error().message();
    ASSERT_EQ(located->chunks.size(), sizes.size());
    Bytes decoded;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      const auto& chunk = located->chunks[i];
      EXPECT_EQ(chunk.point_count, sizes[i]);
      auto used =
          decoder->decode(std::span(stream).subspan(chunk.offset, chunk.byte_count), chunk.point_count, decoded);
      ASSERT_TRUE(used.has_value());
      EXPECT_EQ(*used, chunk.byte_count);
    }
    EXPECT_TRUE(decoded == records) << "chunk size field " << chunk_size;

    // A header that announces more points than the chunks hold.
    auto short_table = locate_chunks(reader_of(stream), data_start, stream.size(), *vlr, 52013, 30);
    ASSERT_FALSE(short_table.has_value());
    EXPECT_EQ(short_table.error().message(), "laszip error: the chunk table holds 52012 of the 52013 points");
  }

  // Without its table a stream of variable chunks cannot be read.
  Bytes no_table = stream;
  store<std::uint64_t>(no_table.data() + data_start, data_start);
  vlr->chunk_size = LaszipVlr::variable_chunk_size;
  auto missing = locate_chunks(reader_of(no_table), data_start, no_table.size(), *vlr, 52012, 30);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().message(), "laszip error: the chunk table is missing and the chunks vary in size");
}

TEST(ChunkTable, NoPointsNeedNoChunks) {
  const Bytes nothing;
  auto vlr = LaszipVlr::for_point_format(0, 0);
  ASSERT_TRUE(vlr.has_value());
  auto located = locate_chunks(reader_of(nothing), 227, 227, *vlr, 0, 20);
  ASSERT_TRUE(located.has_value());
  EXPECT_TRUE(located->chunks.empty());
}

TEST(ChunkTable, MissingTableOfFixedChunksIsBoundedByTheFile) {
  // A header that announces a billion points in a stream of a few bytes.
  Bytes stream(400, 0);
  store<std::uint64_t>(stream.data() + 300, 300);
  auto vlr = LaszipVlr::for_point_format(0, 0, 1);
  ASSERT_TRUE(vlr.has_value());
  auto located = locate_chunks(reader_of(stream), 300, stream.size(), *vlr, 1'000'000'000, 20);
  ASSERT_FALSE(located.has_value());
  EXPECT_EQ(located.error().message(), "laszip error: the point data cannot hold 1000000000 points");
}

}  // namespace
}  // namespace las::laz
