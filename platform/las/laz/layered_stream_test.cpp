#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "las/bytes.hpp"
#include "las/laz/layered_chunk.hpp"
#include "las/laz/layered_test_records.hpp"
#include "las/laz/laz_test_files.hpp"
#include "las/laz/lazperf_decoder.hpp"
#include "las/reader.hpp"
#include "las/test_files.hpp"

namespace las::laz {
namespace {

using testing::sample;

const char* const layered_samples[] = {
    "laspy__1_4_w_evlr.laz",         "laspy__append-bug.laz",   "lasR__las14_pdrf6.laz",
    "pdal__1.2-with-color.copc.laz", "las-rs__autzen.copc.laz", "laspy__fullwave.laz",
};

TEST(LayeredSamples, DecodeToTheRecordsOfTheirLasTwinAndOfLazPerf) {
  EXPECT_TRUE(testing::read_all(sample("laspy__1_4_w_evlr.laz")) == testing::read_all(sample("laspy__1_4_w_evlr.las")));
  for (const char* name : layered_samples) {
    const Bytes decoded = testing::read_all(sample(name));
    const auto reader = Reader::open(sample(name));
    ASSERT_TRUE(reader.has_value()) << name;
    EXPECT_EQ(decoded.size(), reader->header().number_of_points() * reader->layout().record_length()) << name;
    if (reader->header().point_format().id > 8) continue;  // beyond what laz-perf decodes
    const testing::TempDir dir;
    EXPECT_TRUE(testing::lazperf_decode(sample(name), dir.file("lazperf.bin")) == decoded) << name;
  }
}

// Decoding and encoding again with the file's items, versions and chunk sizes
// gives back its chunks and chunk table byte for byte.
TEST(LayeredSamples, ReencodeByteForByte) {
  for (const char* name : layered_samples) {
    const testing::LazSample s = testing::open_sample(name);
    auto decoder = LayeredChunkDecoder::create(s.vlr);
    auto encoder = LayeredChunkEncoder::create(s.vlr);
    ASSERT_TRUE(decoder && encoder) << name;
    std::vector<ChunkEntry> entries;
    std::uint64_t end = s.header.point_data_offset + 8;
    for (const auto& chunk : s.layout.chunks) {
      const auto original = std::span(s.bytes).subspan(chunk.offset, chunk.byte_count);
      Bytes records;
      auto used = decoder->decode(original, chunk.point_count, records);
      ASSERT_TRUE(used.has_value()) << name << ": " << used.error().message();
      EXPECT_EQ(*used, original.size()) << name;
      Bytes again;
      encoder->encode(records, again);
      ASSERT_EQ(again.size(), original.size()) << name << " chunk at " << chunk.offset;
      EXPECT_TRUE(std::equal(again.begin(), again.end(), original.begin())) << name << " chunk at " << chunk.offset;
      entries.push_back({chunk.point_count, chunk.byte_count});
      end = chunk.offset + chunk.byte_count;
    }
    Bytes table;
    encode_chunk_table(entries, s.vlr.variable_chunks(), table);
    ASSERT_LE(end + table.size(), s.bytes.size()) << name;
    EXPECT_EQ(load<std::uint64_t>(s.bytes.data() + s.header.point_data_offset), end) << name;
    EXPECT_TRUE(std::equal(table.begin(), table.end(), s.bytes.begin() + static_cast<std::ptrdiff_t>(end))) << name;
  }
}

// A COPC file is an ordinary tile: its variable chunks come one per batch, in file order.
TEST(LayeredSamples, CopcReadsChunkByChunkInFileOrder) {
  const testing::LazSample s = testing::open_sample("pdal__1.2-with-color.copc.laz");
  ASSERT_EQ(s.layout.chunks.size(), 65u);
  auto reader = Reader::open(sample("pdal__1.2-with-color.copc.laz"));
  ASSERT_TRUE(reader.has_value());
  const std::size_t length = reader->layout().record_length();
  for (const auto& chunk : s.layout.chunks) {
    Bytes batch;
    ASSERT_EQ(reader->read_batch(batch).value(), chunk.point_count);
    // Each chunk starts with its first record stored raw.
    EXPECT_TRUE(std::equal(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(length),
                           s.bytes.begin() + static_cast<std::ptrdiff_t>(chunk.offset)));
  }
  Bytes rest;
  EXPECT_EQ(reader->read_batch(rest).value(), 0u);
}

Header layered_header(std::uint8_t format, std::uint16_t extra) {
  return testing::make_header(Version{1, 4}, format, extra);
}

struct StreamCase {
  std::uint8_t format;
  std::uint16_t extra;
  std::size_t count;
};

// Written through the writer (version 3 items, chunks of 50,000) and read
// back by our reader and by laz-perf: the records we meant.
TEST(LayeredStream, RoundTripsThroughOurReaderAndLazPerf) {
  const StreamCase cases[] = {{6, 0, 1}, {6, 2, 50001}, {7, 0, 49999}, {7, 3, 50000}, {8, 1, 60000},
                              {9, 0, 1200}, {10, 4, 50001}};
  for (const auto& c : cases) {
    const std::string name = "format " + std::to_string(c.format) + " count " + std::to_string(c.count);
    const Bytes records = make_records(items_for(c.format, c.extra, 3), c.count, c.count);
    const testing::TempDir dir;
    const std::string path = dir.file("out.laz");
    testing::write_laz(path, layered_header(c.format, c.extra), records);
    EXPECT_TRUE(testing::read_all(path) == records) << name;
    if (c.format <= 8) {
      const Bytes theirs = testing::lazperf_decode(path, path + ".lazperf");
      std::size_t at = 0;
      while (at < theirs.size() && at < records.size() && theirs[at] == records[at]) ++at;
      EXPECT_TRUE(theirs == records) << name << " differs at byte " << at << " of " << records.size();
    }
  }
}

std::int32_t x_of(const std::uint8_t* record) { return load<std::int32_t>(record); }

// A filter over x sees every record once and lets through exactly those a
// full read followed by the same test gives, in layered, pointwise and plain files.
TEST(LayeredStream, FilteredReadsKeepWhatAFullReadKeeps) {
  const testing::TempDir dir;
  const Bytes layered = make_records(items_for(7, 1, 3), 120000, 3);
  testing::write_laz(dir.file("layered.laz"), layered_header(7, 1), layered);
  const std::int32_t threshold = x_of(layered.data() + 70000 * 37);
  std::size_t seen = 0;
  const RecordFilter west = [&](std::span<const std::uint8_t> r, std::size_t length, std::span<std::uint8_t> keep) {
    seen += keep.size();
    for (std::size_t i = 0; i < keep.size(); ++i) keep[i] = x_of(r.data() + i * length) < threshold;
  };
  for (const char* name : {"layered.laz", "pdal__simple.laz", "pdal__simple.las"}) {
    const std::string path = name == std::string("layered.laz") ? dir.file(name) : sample(name);
    const Bytes all = testing::read_all(path);
    auto reader = Reader::open(path);
    ASSERT_TRUE(reader.has_value());
    const std::size_t length = reader->layout().record_length();
    Bytes expected;
    for (std::size_t i = 0; i < all.size(); i += length) {
      if (x_of(all.data() + i) < threshold) expected.insert(expected.end(), all.begin() + i, all.begin() + i + length);
    }
    seen = 0;
    Bytes kept;
    std::size_t read = 0;
    while (auto n = reader->read_batch(kept, west)) {
      if (*n == 0) break;
      read += *n;
    }
    EXPECT_EQ(read * length, all.size()) << name;
    EXPECT_EQ(seen * length, all.size()) << name;
    EXPECT_TRUE(kept == expected) << name;
  }
}

}  // namespace
}  // namespace las::laz
