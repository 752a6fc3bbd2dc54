#include "las/reader.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "las/bytes.hpp"
#include "las/test_files.hpp"
#include "las/writer.hpp"

namespace las {
namespace {

using testing::Bytes;

// A file written by our writer: header, one 5-byte VLR, 2 padding bytes, then the points.
Bytes valid_file(const testing::TempDir& dir, Version version, std::uint8_t format, std::size_t points) {
  const Header header = testing::make_header(version, format);
  auto writer = Writer::create(dir.file("valid.las"), header, false);
  EXPECT_TRUE(writer.has_value());
  const RecordLayout layout = RecordLayout::of(header);
  EXPECT_TRUE(writer->write_records(layout, testing::make_records(layout, points)).has_value());
  EXPECT_TRUE(writer->close().has_value());
  return testing::read_bytes(dir.file("valid.las"));
}

std::string open_error(const testing::TempDir& dir, const Bytes& bytes) {
  testing::write_bytes(dir.file("bad.las"), bytes);
  auto reader = Reader::open(dir.file("bad.las"));
  return reader ? "opened" : reader.error().message();
}

TEST(Reader, RefusesBrokenFilesWithAClearError) {
  testing::TempDir dir;
  const Bytes las12 = valid_file(dir, {1, 2}, 1, 10);
  const Bytes las14 = valid_file(dir, {1, 4}, 6, 10);
  ASSERT_EQ(las12.size(), 227u + 59 + 2 + 10 * 28);
  ASSERT_EQ(open_error(dir, las12), "opened");
  ASSERT_EQ(open_error(dir, las14), "opened");

  struct Case {
    const char* what;
    const Bytes& base;
    std::function<void(Bytes&)> damage;
    std::string message;
  };
  const Case cases[] = {
      {"empty file", las12, [](Bytes& b) { b.clear(); }, "the file is too short to be a LAS file (0 bytes)"},
      {"truncated header", las12, [](Bytes& b) { b.resize(100); }, "the header is truncated: the file has 100 bytes"},
      {"wrong signature", las12, [](Bytes& b) { b[0] = 'l'; b[3] = 0; }, "the file signature is not 'LASF': 'lAS\\x00'"},
      {"unknown version", las12, [](Bytes& b) { b[25] = 7; }, "version 1.7 is not supported"},
      {"header size too small", las12, [](Bytes& b) { store<std::uint16_t>(&b[94], 226); },
       "the header is too small (226 bytes)"},
      {"1.4 header of a 1.2 size", las14, [](Bytes& b) { store<std::uint16_t>(&b[94], 227); },
       "the header is too small (227 bytes)"},
      {"format of a later version", las12, [](Bytes& b) { b[104] = 6; }, "version 1.2 does not support format 6"},
      {"unknown format", las14, [](Bytes& b) { b[104] = 12; }, "version 1.4 does not support format 12"},
      {"record shorter than its format", las12, [](Bytes& b) { store<std::uint16_t>(&b[105], 27); },
       "the point record length 27 is shorter than format 1 needs (28 bytes)"},
      {"a 64-bit count running into the EVLRs", las14, [](Bytes& b) { store<std::uint64_t>(&b[247], 1ull << 62); },
       "the header announces 4611686018427387904 points of 30 bytes, but the file holds 300 bytes of point data"},
      {"VLR past the point data", las12, [](Bytes& b) { store<std::uint16_t>(&b[227 + 20], 8); },
       "VLR 1 of 1 runs past the start of the point data at byte 288"},
      {"more VLRs than there is room for", las12, [](Bytes& b) { store<std::uint32_t>(&b[100], 4000000000u); },
       "VLR 2 of 4000000000 runs past the start of the point data at byte 288"},
      {"point data inside the header", las12, [](Bytes& b) { store<std::uint32_t>(&b[96], 200); },
       "the point data starts at byte 200, inside the header (227 bytes)"},
      {"point data past the end", las12, [](Bytes& b) { store<std::uint32_t>(&b[96], 4000000000u); },
       "the point data starts at byte 4000000000, past the end of the file (568 bytes)"},
      {"EVLR past the end", las14, [](Bytes& b) { b.resize(b.size() - 1); },
       "EVLR 1 of 1 runs past the end of the file at byte " + std::to_string(las14.size() - 1)},
      {"more EVLRs than the file holds", las14, [](Bytes& b) { store<std::uint32_t>(&b[243], 2); },
       "EVLR 2 of 2 runs past the end of the file at byte " + std::to_string(las14.size())},
      {"EVLRs inside the point data", las14, [](Bytes& b) { store<std::uint64_t>(&b[235], 500); },
       "the header announces 10 points of 30 bytes, but the file holds " +
           std::to_string(500 - load<std::uint32_t>(&las14[96])) + " bytes of point data"},
      {"EVLRs before the point data", las14, [](Bytes& b) { store<std::uint64_t>(&b[235], 100); },
       "the EVLRs start at byte 100, outside the file after the point data (" +
           std::to_string(load<std::uint32_t>(&las14[96])) + " to " + std::to_string(las14.size()) + ")"},
      {"compressed without LASzip VLR", las12, [](Bytes& b) { b[104] |= 0x80; }, "laszip vlr not found"},
  };
  for (const Case& c : cases) {
    Bytes bytes = c.base;
    c.damage(bytes);
    EXPECT_EQ(open_error(dir, bytes), c.message) << c.what;
  }
}

// A file shorter than its header announces opens; reading fails where the
// points run out, and the records before the failing batch were readable.
TEST(Reader, TruncatedPointDataFailsWhenReadingGetsThere) {
  testing::TempDir dir;
  const Bytes las12 = valid_file(dir, {1, 2}, 1, 10);
  struct Case {
    const char* what;
    const Bytes& base;
    std::function<void(Bytes&)> damage;
    std::string message;
  };
  const Case cases[] = {
      {"more points than the file holds", las12, [](Bytes& b) { store<std::uint32_t>(&b[107], 11); },
       "the header announces 11 points of 28 bytes, but the file holds 280 bytes of point data"},
      {"truncated point data", las12, [](Bytes& b) { b.pop_back(); },
       "the header announces 10 points of 28 bytes, but the file holds 279 bytes of point data"},
  };
  for (const Case& c : cases) {
    Bytes bytes = c.base;
    c.damage(bytes);
    testing::write_bytes(dir.file("short.las"), bytes);
    auto reader = Reader::open(dir.file("short.las"));
    ASSERT_TRUE(reader.has_value()) << c.what << ": " << reader.error().message();
    std::vector<std::uint8_t> records;
    auto read = reader->read_batch(records);
    ASSERT_FALSE(read.has_value()) << c.what;
    EXPECT_EQ(read.error().message(), c.message) << c.what;
    EXPECT_TRUE(records.empty()) << c.what;
  }
}

TEST(Reader, LaszipVlrWithoutCompressionBitIsPlainLas) {
  // What a LAS output keeps of a LAZ first tile.
  testing::TempDir dir;
  HeaderBuilder builder(testing::make_header({1, 2}, 3));
  builder.vlrs.push_back({0, "laszip encoded", 22204, "", Bytes(46, 1)});
  const Header header = *builder.build();
  const RecordLayout layout = RecordLayout::of(header);
  const Bytes records = testing::make_records(layout, 10);
  {
    auto writer = Writer::create(dir.file("out.las"), header, false);
    ASSERT_TRUE(writer.has_value());
    ASSERT_TRUE(writer->write_records(layout, records).has_value());
  }
  auto reader = Reader::open(dir.file("out.las"));
  ASSERT_TRUE(reader.has_value()) << reader.error().message();
  EXPECT_FALSE(reader->header().is_compressed());
  EXPECT_TRUE(reader->header().vlrs().back().is_laszip());
  EXPECT_EQ(testing::read_all(dir.file("out.las")), records);
}

// Every byte of the header and the VLR and EVLR headers set to values that
// break sizes, offsets and counts: each file opens and reads whole, or is
// refused; nothing is read outside the file (the sanitizer build checks).
TEST(Reader, DamagedHeaderBytesNeverCrash) {
  testing::TempDir dir;
  HeaderBuilder builder(testing::make_header({1, 4}, 8, 2));
  builder.evlrs = {{0, "small", 1, "", Bytes(40, 5)}};
  const Header header = *builder.build();
  const RecordLayout layout = RecordLayout::of(header);
  {
    auto writer = Writer::create(dir.file("valid.las"), header, false);
    ASSERT_TRUE(writer.has_value());
    ASSERT_TRUE(writer->write_records(layout, testing::make_records(layout, 3)).has_value());
  }
  const Bytes valid = testing::read_bytes(dir.file("valid.las"));
  const std::size_t evlr_start = load<std::uint64_t>(&valid[235]);
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < 375 + 54 + 2; ++i) offsets.push_back(i);
  for (std::size_t i = evlr_start; i < evlr_start + 60; ++i) offsets.push_back(i);
  std::size_t opened = 0;
  for (const std::size_t offset : offsets) {
    for (const std::uint8_t value : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
      Bytes bytes = valid;
      bytes[offset] = value;
      testing::write_bytes(dir.file("damaged.las"), bytes);
      auto reader = Reader::open(dir.file("damaged.las"));
      if (!reader) continue;
      ++opened;
      Bytes records;
      while (true) {
        auto read = reader->read_batch(records);
        ASSERT_TRUE(read.has_value()) << "byte " << offset << " = " << int{value} << ": " << read.error().message();
        if (*read == 0) break;
      }
      EXPECT_EQ(records.size(), reader->header().number_of_points() * reader->layout().record_length());
    }
  }
  EXPECT_GT(opened, 0u);
}

TEST(Reader, MissingFileOrDirectoryIsAnIoError) {
  testing::TempDir dir;
  for (const std::string& path : {dir.file("missing.las"), dir.file("")}) {
    auto reader = Reader::open(path);
    ASSERT_FALSE(reader.has_value());
    EXPECT_TRUE(reader.error().io_code()) << reader.error().message();
  }
}

TEST(Reader, RecordsComeInBatches) {
  testing::TempDir dir;
  const Header header = testing::make_header({1, 3}, 3, 5);
  const RecordLayout layout = RecordLayout::of(header);
  const Bytes records = testing::make_records(layout, 120000);
  {
    auto writer = Writer::create(dir.file("big.las"), header, false);
    ASSERT_TRUE(writer.has_value());
    ASSERT_TRUE(writer->write_records(layout, records).has_value());
    ASSERT_TRUE(writer->close().has_value());
  }
  auto reader = Reader::open(dir.file("big.las"));
  ASSERT_TRUE(reader.has_value()) << reader.error().message();
  EXPECT_EQ(reader->layout(), layout);
  Bytes read;
  std::vector<std::size_t> batches;
  for (;;) {
    auto batch = reader->read_batch(read);
    ASSERT_TRUE(batch.has_value()) << batch.error().message();
    batches.push_back(*batch);
    if (*batch == 0) break;
  }
  EXPECT_EQ(batches, (std::vector<std::size_t>{50000, 50000, 20000, 0}));
  EXPECT_EQ(read, records);
}

TEST(Reader, FileShortenedAfterOpeningFailsTheBatch) {
  testing::TempDir dir;
  const Bytes bytes = valid_file(dir, {1, 2}, 1, 10);
  testing::write_bytes(dir.file("shrinking.las"), bytes);
  auto reader = Reader::open(dir.file("shrinking.las"));
  ASSERT_TRUE(reader.has_value());
  testing::write_bytes(dir.file("shrinking.las"), Bytes(bytes.begin(), bytes.end() - 28));
  Bytes out(3, 7);
  auto batch = reader->read_batch(out);
  ASSERT_FALSE(batch.has_value());
  EXPECT_EQ(batch.error().message(), "the file was shortened while it was read: " + dir.file("shrinking.las"));
  EXPECT_EQ(out, Bytes(3, 7));
}

}  // namespace
}  // namespace las

namespace las {
namespace {

// Every unit of the reader read on two threads, the later units first, put
// back in file order; or the first error in file order.
std::expected<Bytes, std::string> read_units(const Reader& reader, const RecordFilter* keep) {
  const std::size_t count = *reader.unit_count();
  std::vector<Bytes> parts(count);
  std::vector<std::string> errors(count);
  const auto read_every_other = [&](std::size_t parity) {
    for (std::size_t i = count; i-- > 0;) {
      if (i % 2 != parity) continue;
      auto read = keep ? reader.read_unit(i, parts[i], *keep) : reader.read_unit(i, parts[i]);
      if (!read) {
        errors[i] = read.error().message();
      } else if (*read != reader.unit(i).point_count) {
        errors[i] = "unit " + std::to_string(i) + " read " + std::to_string(*read) + " points";
      }
    }
  };
  std::thread other(read_every_other, 1);
  read_every_other(0);
  other.join();
  Bytes all;
  for (std::size_t i = 0; i < count; ++i) {
    if (!errors[i].empty()) return std::unexpected(errors[i]);
    all.insert(all.end(), parts[i].begin(), parts[i].end());
  }
  return all;
}

// Reads the whole file batch by batch, or gives the first error.
std::expected<Bytes, std::string> read_in_order(Reader& reader, const RecordFilter* keep) {
  Bytes all;
  for (;;) {
    auto batch = keep ? reader.read_batch(all, *keep) : reader.read_batch(all);
    if (!batch) return std::unexpected(batch.error().message());
    if (*batch == 0) return all;
  }
}

// Units, read in any order and on several threads, give the records (and
// with a filter the kept records) of a read from start to end; they cover
// the points one after the other.
TEST(Reader, UnitsReadInAnyOrderGiveTheRecordsOfAReadInOrder) {
  testing::TempDir dir;
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(testing::sample(""))) {
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  }
  for (const std::uint8_t format : {1, 3, 6, 8}) {
    const Header header = testing::make_header(format >= 6 ? Version{1, 4} : Version{1, 2}, format);
    const RecordLayout layout = RecordLayout::of(header);
    for (const bool compressed : {false, true}) {
      files.push_back(dir.file("f" + std::to_string(format) + (compressed ? ".laz" : ".las")));
      auto writer = Writer::create(files.back(), header, compressed);
      ASSERT_TRUE(writer.has_value());
      ASSERT_TRUE(writer->write_records(layout, testing::make_records(layout, 120'001)).has_value());
      ASSERT_TRUE(writer->close().has_value());
    }
  }
  // Keeps about one point in three, by its x coordinate.
  const auto keep_some = [](const RecordLayout& layout) -> RecordFilter {
    return [layout](std::span<const std::uint8_t> records, std::size_t length, std::span<std::uint8_t> keep) {
      for (std::size_t i = 0; i < keep.size(); ++i) {
        keep[i] = load<std::int32_t>(records.data() + i * length) % 3 == 0;
      }
    };
  };
  std::size_t read_apart = 0;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    auto reader = Reader::open(file);
    if (!reader) continue;  // the broken samples
    if (!reader->unit_count()) continue;  // chunks without a table
    ++read_apart;
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < *reader->unit_count(); ++i) {
      EXPECT_EQ(reader->unit(i).first_point, next);
      EXPECT_GT(reader->unit(i).point_count, 0u);
      next += reader->unit(i).point_count;
    }
    EXPECT_EQ(next, reader->header().number_of_points());
    const RecordFilter keep = keep_some(reader->layout());
    for (const RecordFilter* filter : {static_cast<const RecordFilter*>(nullptr), &keep}) {
      auto apart = read_units(*reader, filter);
      auto again = Reader::open(file);
      ASSERT_TRUE(again.has_value());
      auto in_order = read_in_order(*again, filter);
      EXPECT_EQ(apart, in_order);
    }
  }
  EXPECT_GT(read_apart, 50u);
}

}  // namespace
}  // namespace las
