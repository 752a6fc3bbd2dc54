#include "las/bytes.hpp"
#include "las/laz/layered_chunk.hpp"
#include "las/laz/layered_test_records.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace las::laz {
namespace {

LaszipVlr layered_vlr(std::vector<LaszipItem> items) {
  LaszipVlr vlr;
  vlr.compressor = Compressor::layered_chunked;
  vlr.items = std::move(items);
  return vlr;
}

Bytes encode(const std::vector<LaszipItem>& items, const Bytes& records) {
  auto encoder = LayeredChunkEncoder::create(layered_vlr(items));
  EXPECT_TRUE(encoder.has_value());
  Bytes chunk;
  encoder->encode(records, chunk);
  return chunk;
}

std::expected<Bytes, Error> decode(const std::vector<LaszipItem>& items, const Bytes& chunk, std::size_t count,
                                   const RecordFilter* keep = nullptr) {
  auto decoder = LayeredChunkDecoder::create(layered_vlr(items));
  if (!decoder) return std::unexpected(decoder.error());
  Bytes out{0xEE};  // decoding appends
  auto used = decoder->decode(chunk, count, out, keep);
  if (!used) {
    EXPECT_EQ(out, Bytes{0xEE});
    return std::unexpected(used.error());
  }
  EXPECT_EQ(*used, chunk.size());
  EXPECT_EQ(out[0], 0xEE);
  return Bytes(out.begin() + 1, out.end());
}

// Byte count of layer `i` as the chunk header records it.
std::uint32_t layer_size(const Bytes& chunk, std::size_t length, std::size_t i) {
  std::uint32_t v;
  std::memcpy(&v, chunk.data() + length + 4 + 4 * i, 4);
  return v;
}

struct RoundTrip {
  int format;
  std::uint16_t extra;
  std::uint16_t version;
  std::size_t count;
  int channels;
};

class LayeredRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(LayeredRoundTrip, DecodesWhatWasEncoded) {
  const auto p = GetParam();
  const auto items = items_for(p.format, p.extra, p.version);
  const Bytes records = make_records(items, p.count, p.count + p.format, Scene{p.channels, true});
  const Bytes chunk = encode(items, records);
  auto decoded = decode(items, chunk, p.count);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  EXPECT_EQ(*decoded, records);
}

INSTANTIATE_TEST_SUITE_P(Formats, LayeredRoundTrip,
                         testing::Values(RoundTrip{6, 0, 3, 5000, 1}, RoundTrip{6, 0, 3, 5000, 4},
                                         RoundTrip{6, 0, 4, 5000, 4}, RoundTrip{7, 0, 3, 5000, 3},
                                         RoundTrip{7, 0, 4, 5000, 3}, RoundTrip{8, 3, 3, 5000, 4},
                                         RoundTrip{8, 3, 4, 5000, 4}, RoundTrip{9, 2, 3, 3000, 2},
                                         RoundTrip{10, 5, 3, 3000, 4}, RoundTrip{10, 5, 4, 3000, 4},
                                         RoundTrip{6, 1, 3, 1, 1}, RoundTrip{8, 3, 3, 2, 4},
                                         RoundTrip{10, 5, 3, 2, 2}));

TEST(LayeredChunk, ConstantAttributesGiveEmptyLayersAndDecode) {
  const auto items = items_for(8, 2, 3);
  const std::size_t length = record_length(items);
  const Bytes records = make_records(items, 800, 1, Scene{1, false});
  const Bytes chunk = encode(items, records);
  // x/y and z always have bytes, as has the colour layer of a colour that is
  // not grey (the reference counts that as a change); the seven attribute
  // layers, NIR and the extra bytes of constant values have none.
  for (std::size_t i : {0, 1, 9}) EXPECT_GT(layer_size(chunk, length, i), 0u) << "layer " << i;
  for (std::size_t i : {2, 3, 4, 5, 6, 7, 8, 10, 11, 12}) EXPECT_EQ(layer_size(chunk, length, i), 0u) << "layer " << i;
  auto decoded = decode(items, chunk, 800);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, records);
}

TEST(LayeredChunk, VersionsDifferOnlyWhenChannelsBesidesZeroOccur) {
  for (int channels : {1, 3}) {
    const Bytes records = make_records(items_for(7, 2, 3), 3000, 9, Scene{channels, true});
    const Bytes v3 = encode(items_for(7, 2, 3), records);
    const Bytes v4 = encode(items_for(7, 2, 4), records);
    if (channels == 1) {
      EXPECT_EQ(v3, v4);
      continue;
    }
    EXPECT_NE(v3, v4);
    // Each version reads its own bytes back; read as the other version they give other records.
    EXPECT_EQ(decode(items_for(7, 2, 3), v3, 3000).value(), records);
    EXPECT_EQ(decode(items_for(7, 2, 4), v4, 3000).value(), records);
    auto crossed = decode(items_for(7, 2, 4), v3, 3000);
    EXPECT_TRUE(!crossed || *crossed != records);
  }
}

std::int32_t x_of(const std::uint8_t* r) {
  std::int32_t x;
  std::memcpy(&x, r, 4);
  return x;
}

TEST(LayeredChunk, SelectiveDecodeKeepsExactlyTheRecordsOfAFullDecode) {
  const auto items = items_for(10, 3, 3);
  const std::size_t length = record_length(items);
  const Bytes records = make_records(items, 4000, 5);
  const Bytes chunk = encode(items, records);
  const std::int32_t threshold = x_of(records.data() + 1234 * length);
  const RecordFilter keep_west = [&](std::span<const std::uint8_t> r, std::size_t len, std::span<std::uint8_t> keep) {
    for (std::size_t i = 0; i < keep.size(); ++i) keep[i] = x_of(r.data() + i * len) <= threshold;
  };
  Bytes expected;
  for (std::size_t i = 0; i < 4000; ++i) {
    const std::uint8_t* r = records.data() + i * length;
    if (x_of(r) <= threshold) expected.insert(expected.end(), r, r + length);
  }
  ASSERT_GT(expected.size(), 0u);
  ASSERT_LT(expected.size(), records.size());
  EXPECT_EQ(decode(items, chunk, 4000, &keep_west).value(), expected);
}

TEST(LayeredChunk, ChunkWithoutKeptPointsSkipsItsAttributeLayers) {
  const auto items = items_for(7, 1, 3);
  const std::size_t length = record_length(items);
  const Bytes records = make_records(items, 2000, 3);
  Bytes chunk = encode(items, records);
  // Ruin every byte after the coordinate layers: only a decode that reads them notices.
  const std::size_t header = length + 4 + 4 * (9 + 1 + 1);
  const std::size_t attributes = header + layer_size(chunk, length, 0) + layer_size(chunk, length, 1);
  for (std::size_t i = attributes; i < chunk.size(); ++i) chunk[i] = static_cast<std::uint8_t>(i * 131);
  const RecordFilter keep_none = [](auto, auto, std::span<std::uint8_t>) {};
  EXPECT_EQ(decode(items, chunk, 2000, &keep_none).value(), Bytes{});
  auto full = decode(items, chunk, 2000);
  EXPECT_TRUE(!full || *full != records);
}

// The reference compares GPS times as doubles and so would turn -0 after +0
// into +0; we keep the bits.
TEST(LayeredChunk, KeepsTheSignOfZeroGpsTimes) {
  const auto items = items_for(6, 0, 3);
  Bytes records = make_records(items, 4, 8, Scene{1, true});
  const double times[] = {0.0, -0.0, -0.0, 0.0};
  for (std::size_t i = 0; i < 4; ++i) store(records.data() + i * 30 + 22, times[i]);
  EXPECT_EQ(decode(items, encode(items, records), 4).value(), records);
}

// A chunk of one point needs no layer bytes, whatever a writer put there.
TEST(LayeredChunk, OnePointChunkIsItsRawRecord) {
  const auto items = items_for(8, 2, 3);
  const Bytes record = make_records(items, 1, 6);
  Bytes chunk = record;
  const std::uint32_t one = 1;
  chunk.resize(record.size() + 4 + 4 * (9 + 2 + 2));
  std::memcpy(chunk.data() + record.size(), &one, 4);
  EXPECT_EQ(decode(items, chunk, 1).value(), record);
}

TEST(LayeredChunk, TruncatedOrDamagedChunksFailCleanly) {
  const auto items = items_for(8, 2, 3);
  const Bytes records = make_records(items, 300, 11);
  const Bytes chunk = encode(items, records);
  for (std::size_t cut = 0; cut < chunk.size(); cut += 13) {
    auto r = decode(items, Bytes(chunk.begin(), chunk.begin() + cut), 300);
    EXPECT_FALSE(r.has_value()) << "cut at " << cut;
    if (!r) {
      EXPECT_EQ(r.error().message().rfind("laszip error: ", 0), 0u);
    }
  }
  std::mt19937 rng(4);
  for (int round = 0; round < 60; ++round) {
    Bytes damaged = chunk;
    damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    (void)decode(items, damaged, 300);  // any result but a crash
  }
}

TEST(LayeredChunk, RejectsCountsAndSizesThatDoNotFit) {
  const auto items = items_for(6, 0, 3);
  const Bytes records = make_records(items, 50, 2);
  Bytes chunk = encode(items, records);
  EXPECT_EQ(decode(items, chunk, 49).error().message(), "laszip error: a chunk holds 50 points instead of 49");
  EXPECT_FALSE(decode(items, chunk, max_layered_chunk_points + 1).has_value());
  Bytes oversized = chunk;
  const std::uint32_t huge = 0xFFFFFFF0u;
  std::memcpy(oversized.data() + 30 + 4 + 4 * 3, &huge, 4);
  EXPECT_EQ(decode(items, oversized, 50).error().message(),
            "laszip error: a chunk's layers run past its " + std::to_string(chunk.size()) + " bytes");
}

TEST(LayeredChunk, RejectsItemListsItCannotCode) {
  const std::vector<std::vector<LaszipItem>> bad = {
      {},
      {{ItemType::rgb14, 6, 3}},
      {{ItemType::point14, 30, 5}},
      {{ItemType::point14, 30, 2}},
      {{ItemType::point14, 20, 3}},
      {{ItemType::point14, 30, 3}, {ItemType::rgb14, 8, 3}},
      {{ItemType::point14, 30, 3}, {ItemType::byte14, 0, 3}},
      {{ItemType::point14, 30, 3}, {ItemType::point14, 30, 3}},
      {{ItemType::point14, 30, 3}, {ItemType::point10, 20, 2}},
  };
  for (const auto& items : bad) {
    EXPECT_FALSE(LayeredChunkDecoder::create(layered_vlr(items)).has_value());
    EXPECT_FALSE(LayeredChunkEncoder::create(layered_vlr(items)).has_value());
  }
  EXPECT_EQ(LayeredChunkDecoder::create(layered_vlr(bad[2])).error().message(),
            "laszip error: " + std::string(item_type_name(ItemType::point14)) +
                " of 30 bytes, version 5 cannot be coded in layered chunks");
}

}  // namespace
}  // namespace las::laz
