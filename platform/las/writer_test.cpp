#include "las/writer.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "las/bytes.hpp"
#include "las/point.hpp"
#include "las/reader.hpp"
#include "las/test_files.hpp"

namespace las {
namespace {

using testing::Bytes;
namespace fs = std::filesystem;

void write_file(const std::string& path, const Header& header, const RecordLayout& layout, const Bytes& records) {
  auto writer = Writer::create(path, header, false);
  ASSERT_TRUE(writer.has_value()) << writer.error().message();
  auto written = writer->write_records(layout, records);
  ASSERT_TRUE(written.has_value()) << written.error().message();
  ASSERT_TRUE(writer->close().has_value());
}

Bounds bounds_of(const RecordLayout& layout, const Bytes& records) {
  Bounds bounds;
  for (std::size_t at = 0; at < records.size(); at += layout.record_length()) bounds.grow(layout.coordinates(&records[at]));
  return bounds;
}

struct Combination {
  Version version;
  std::uint8_t format;
  std::uint16_t extra_bytes;
};

std::ostream& operator<<(std::ostream& out, const Combination& c) {
  return out << c.version.text() << " format " << int{c.format} << " +" << c.extra_bytes;
}

std::vector<Combination> every_combination() {
  std::vector<Combination> combinations;
  for (std::uint8_t minor = 0; minor <= 4; ++minor) {
    for (std::uint8_t format = 0; format <= PointFormat::kMaxId; ++format) {
      if (!Version{1, minor}.supports(PointFormat{format, 0})) continue;
      for (std::uint16_t extra : {0, 3}) combinations.push_back({{1, minor}, format, extra});
    }
  }
  return combinations;
}

class RoundTrip : public ::testing::TestWithParam<Combination> {};

TEST_P(RoundTrip, KeepsHeaderAndRecords) {
  const Combination& c = GetParam();
  testing::TempDir dir;
  const Header header = testing::make_header(c.version, c.format, c.extra_bytes);
  const RecordLayout layout = RecordLayout::of(header);
  const Bytes records = testing::make_records(layout, 2500);
  write_file(dir.file("out.las"), header, layout, records);

  auto reader = Reader::open(dir.file("out.las"));
  ASSERT_TRUE(reader.has_value()) << reader.error().message();
  HeaderFields expected = header.fields();
  expected.number_of_points = 2500;
  expected.number_of_points_by_return = reader->header().fields().number_of_points_by_return;
  expected.bounds = bounds_of(layout, records);
  EXPECT_EQ(reader->header().fields(), expected);
  EXPECT_EQ(testing::read_all(dir.file("out.las")), records);
}

INSTANTIATE_TEST_SUITE_P(Writer, RoundTrip, ::testing::ValuesIn(every_combination()));

// Records whose only set field is the return byte.
Bytes records_with_returns(const RecordLayout& layout, std::initializer_list<std::uint8_t> return_bytes) {
  Bytes records(return_bytes.size() * layout.record_length(), 0);
  std::size_t i = 0;
  for (std::uint8_t byte : return_bytes) records[i++ * layout.record_length() + 14] = byte;
  return records;
}

TEST(Writer, CountsPointsByReturn) {
  testing::TempDir dir;
  struct Case {
    Version version;
    std::uint8_t format;
    std::initializer_list<std::uint8_t> return_bytes;
    std::array<std::uint64_t, 15> by_return;
    std::uint32_t legacy_count;
  };
  // Legacy formats keep the return number in 3 bits, extended ones in 4; 0 counts nowhere.
  // Legacy headers store the counts of returns 1 to 5 only.
  const Case cases[] = {
      {{1, 2}, 1, {0x09, 0x11, 0x0A, 0xFF, 0x00, 0x0D}, {2, 1, 0, 0, 1}, 6},
      {{1, 4}, 1, {0x01, 0x02, 0x02}, {1, 2}, 3},
      {{1, 4}, 6, {0x21, 0x22, 0xFF, 0x1F, 0x09, 0x00}, {1, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 2}, 0},
  };
  for (const Case& c : cases) {
    const Header header = testing::make_header(c.version, c.format);
    const RecordLayout layout = RecordLayout::of(header);
    write_file(dir.file("out.las"), header, layout, records_with_returns(layout, c.return_bytes));
    auto reader = Reader::open(dir.file("out.las"));
    ASSERT_TRUE(reader.has_value());
    EXPECT_EQ(reader->header().fields().number_of_points_by_return, c.by_return);
    EXPECT_EQ(reader->header().number_of_points(), c.return_bytes.size());
    const Bytes bytes = testing::read_bytes(dir.file("out.las"));
    EXPECT_EQ(load<std::uint32_t>(&bytes[107]), c.legacy_count);
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(load<std::uint32_t>(&bytes[111 + 4 * i]), c.legacy_count ? c.by_return[i] : 0) << i;
    }
    if (c.version.minor == 4) {
      EXPECT_EQ(load<std::uint64_t>(&bytes[247]), c.return_bytes.size());
    }
  }
}

TEST(Writer, ReEncodesCoordinatesRoundingHalvesAwayFromZero) {
  testing::TempDir dir;
  HeaderBuilder builder;
  builder.point_format = {1, 2};
  builder.transforms = {{1.0, 0.0}, {1.0, 100.0}, {0.25, -0.125}};
  const Header header = *builder.build();
  const RecordLayout source{{1, 2}, {0.5, 0.0}, {0.5, 100.0}, {0.125, 0.0}};
  const std::int32_t raw_x[] = {1, -1, 3, -3, 2, 0};
  Bytes records = testing::make_records(source, std::size(raw_x));
  for (std::size_t i = 0; i < std::size(raw_x); ++i) {
    store<std::int32_t>(&records[i * 30], raw_x[i]);
    store<std::int32_t>(&records[i * 30 + 4], raw_x[i]);
    store<std::int32_t>(&records[i * 30 + 8], raw_x[i]);
  }
  write_file(dir.file("out.las"), header, source, records);

  const Bytes out = testing::read_all(dir.file("out.las"));
  ASSERT_EQ(out.size(), records.size());
  // x: 0.5 -> 1, -0.5 -> -1, 1.5 -> 2, -1.5 -> -2, 1 -> 1, 0 -> 0; z: (v + 0.125) / 0.25.
  const std::int32_t expected_x[] = {1, -1, 2, -2, 1, 0};
  const std::int32_t expected_z[] = {1, 0, 2, -1, 2, 1};
  for (std::size_t i = 0; i < std::size(raw_x); ++i) {
    const std::uint8_t* r = &out[i * 30];
    EXPECT_EQ(load<std::int32_t>(r), expected_x[i]) << i;
    EXPECT_EQ(load<std::int32_t>(r + 4), expected_x[i]) << i;
    EXPECT_EQ(load<std::int32_t>(r + 8), expected_z[i]) << i;
    EXPECT_TRUE(std::equal(r + 12, r + 30, &records[i * 30 + 12])) << "attributes of record " << i;
  }
}

TEST(Writer, CoordinateOutsideInt32FailsAndKeepsEarlierRecords) {
  testing::TempDir dir;
  const Header header = testing::make_header({1, 2}, 0);  // x: scale 0.01, offset 1000.5
  const RecordLayout source{{0, 0}, {1.0, 0.0}, header.transforms().y, header.transforms().z};
  Bytes records = testing::make_records(source, 3);
  store<std::int32_t>(&records[2 * 20], 30000000);
  {
    auto writer = Writer::create(dir.file("out.las"), header, false);
    ASSERT_TRUE(writer.has_value());
    auto written = writer->write_records(source, records);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().message(),
              "the transform {scale: 0.01, offset: 1000.5} cannot be inversely applied to 30000000");
    ASSERT_TRUE(writer->close().has_value());
  }
  auto reader = Reader::open(dir.file("out.las"));
  ASSERT_TRUE(reader.has_value());
  EXPECT_EQ(reader->header().number_of_points(), 2u);
}

// A point with every attribute set to a value both formats of a pair can hold.
Point sample_point(const PointFormat& format, int i) {
  Point p;
  p.position = {1000.5 + i, -2000.25 + 2 * i, 12.125 + 0.5 * i};
  p.intensity = static_cast<std::uint16_t>(1000 + i);
  p.return_number = static_cast<std::uint8_t>(1 + i % 5);
  p.number_of_returns = 5;
  p.scan_direction = i % 2;
  p.edge_of_flight_line = i % 3 == 0;
  p.classification = static_cast<std::uint8_t>(i % 32);
  p.synthetic = i % 4 == 1;
  p.key_point = i % 4 == 2;
  p.withheld = i % 4 == 3;
  p.scan_angle = (i % 181) - 90;
  p.user_data = static_cast<std::uint8_t>(i);
  p.point_source_id = static_cast<std::uint16_t>(7 * i);
  if (format.has_gps_time()) p.gps_time = 1e9 + i * 0.25;
  if (format.has_rgb()) p.color = Color{static_cast<std::uint16_t>(i), 2, 65535};
  if (format.has_nir()) p.nir = static_cast<std::uint16_t>(3 * i);
  if (format.has_waveform()) p.wave_packet = WavePacket{3, 1ull << 40, 512, 1.5f, 0.25f, -0.5f, 2.0f};
  return p;
}

TEST(Writer, ConvertsBetweenCompatibleFormats) {
  testing::TempDir dir;
  const std::pair<std::uint8_t, std::uint8_t> pairs[] = {{1, 6}, {6, 1}, {3, 7}, {7, 3}, {4, 9}, {9, 4}};
  for (const auto& [from, to] : pairs) {
    const Header header = testing::make_header({1, 4}, to, 2);
    const RecordLayout source{{from, 2}, {0.001, 0}, {0.001, 0}, {0.001, 0}};
    const std::size_t count = 400;
    Bytes records(count * source.record_length());
    const std::uint8_t extra[] = {0xAB, 0xCD};
    for (std::size_t i = 0; i < count; ++i) {
      Point p = sample_point(source.format, static_cast<int>(i));
      p.extra_bytes = extra;
      ASSERT_TRUE(encode_point(p, source, &records[i * source.record_length()]).has_value());
    }
    write_file(dir.file("out.las"), header, source, records);

    auto reader = Reader::open(dir.file("out.las"));
    ASSERT_TRUE(reader.has_value());
    const Bytes out = testing::read_all(dir.file("out.las"));
    ASSERT_EQ(out.size(), count * reader->layout().record_length());
    for (std::size_t i = 0; i < count; ++i) {
      const Point in = decode_point(source, &records[i * source.record_length()]);
      const Point back = decode_point(reader->layout(), &out[i * reader->layout().record_length()]);
      SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to) + ", point " + std::to_string(i));
      EXPECT_EQ(back.position, in.position);
      EXPECT_EQ(back.intensity, in.intensity);
      EXPECT_EQ(back.return_number, in.return_number);
      EXPECT_EQ(back.number_of_returns, in.number_of_returns);
      EXPECT_EQ(back.scan_direction, in.scan_direction);
      EXPECT_EQ(back.edge_of_flight_line, in.edge_of_flight_line);
      EXPECT_EQ(back.classification, in.classification);
      EXPECT_EQ(back.synthetic, in.synthetic);
      EXPECT_EQ(back.key_point, in.key_point);
      EXPECT_EQ(back.withheld, in.withheld);
      EXPECT_NEAR(back.scan_angle, in.scan_angle, 0.003);
      EXPECT_EQ(back.user_data, in.user_data);
      EXPECT_EQ(back.point_source_id, in.point_source_id);
      EXPECT_EQ(back.gps_time, in.gps_time);
      EXPECT_EQ(back.color, in.color);
      EXPECT_EQ(back.wave_packet, in.wave_packet);
      EXPECT_TRUE(std::equal(back.extra_bytes.begin(), back.extra_bytes.end(), extra, extra + 2));
    }
  }
}

TEST(Writer, RefusesRecordsOfAnotherKind) {
  testing::TempDir dir;
  struct Case {
    PointFormat from;
    PointFormat to;
  };
  const Case cases[] = {{{0, 0}, {1, 0}}, {{2, 0}, {3, 0}}, {{3, 0}, {8, 0}}, {{6, 0}, {7, 0}},
                        {{10, 0}, {5, 0}}, {{1, 2}, {1, 0}}, {{1, 0}, {6, 4}}};
  for (const Case& c : cases) {
    const Header header = testing::make_header({1, 4}, c.to.id, c.to.extra_bytes);
    const RecordLayout source{c.from, {0.01, 0}, {0.01, 0}, {0.01, 0}};
    Bytes records(source.record_length(), 0);
    store<std::int32_t>(&records[0], 150);
    auto writer = Writer::create(dir.file("out.las"), header, false);
    ASSERT_TRUE(writer.has_value());
    auto written = writer->write_records(source, records);
    ASSERT_FALSE(written.has_value()) << int{c.from.id} << " -> " << int{c.to.id};
    EXPECT_EQ(written.error().message(), "the attributes of the point format (" + describe(c.to) +
                                             ") do not match the point: " +
                                             describe(decode_point(source, records.data())));
  }
  EXPECT_EQ(describe(PointFormat{10, 3}), "format 10 [gps time, rgb, nir, waveform, 3 extra bytes]");
}

TEST(Writer, RefusesPartialRecordsAndUnknownFormats) {
  testing::TempDir dir;
  const Header header = testing::make_header({1, 2}, 0);
  auto writer = Writer::create(dir.file("out.las"), header, false);
  ASSERT_TRUE(writer.has_value());
  auto written = writer->write_records(writer->layout(), Bytes(30));
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().message(), "the records (30 bytes) are not a whole number of 20-byte records");
  written = writer->write_records(RecordLayout{{11, 0}, {}, {}, {}}, Bytes(100));
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().message(), "point format 11 is not supported");
}

TEST(Writer, BuffersWritesIn8KiB) {
  testing::TempDir dir;
  const Header header = testing::make_header({1, 2}, 0);  // 288 bytes before the points
  const RecordLayout layout = RecordLayout::of(header);
  auto writer = Writer::create(dir.file("out.las"), header, false);
  ASSERT_TRUE(writer.has_value());
  EXPECT_EQ(fs::file_size(dir.file("out.las")), 0u);
  ASSERT_TRUE(writer->write_records(layout, testing::make_records(layout, 395)).has_value());
  EXPECT_EQ(fs::file_size(dir.file("out.las")), 0u);
  ASSERT_TRUE(writer->write_records(layout, testing::make_records(layout, 1)).has_value());
  EXPECT_EQ(fs::file_size(dir.file("out.las")), 8188u);
}

TEST(Writer, DiscardedWriterFinishesTheFile) {
  testing::TempDir dir;
  const Header header = testing::make_header({1, 4}, 7, 1);
  const RecordLayout layout = RecordLayout::of(header);
  const Bytes records = testing::make_records(layout, 321);
  {
    auto writer = Writer::create(dir.file("out.las"), header, false);
    ASSERT_TRUE(writer.has_value());
    ASSERT_TRUE(writer->write_records(layout, records).has_value());
  }
  auto reader = Reader::open(dir.file("out.las"));
  ASSERT_TRUE(reader.has_value()) << reader.error().message();
  EXPECT_EQ(reader->header().number_of_points(), 321u);
  EXPECT_EQ(reader->header().evlrs(), header.evlrs());
  EXPECT_EQ(testing::read_all(dir.file("out.las")), records);
}

TEST(Writer, WriterReplacedByAnotherFinishesItsFile) {
  testing::TempDir dir;
  const Header header = testing::make_header({1, 2}, 1);
  const RecordLayout layout = RecordLayout::of(header);
  const Bytes records = testing::make_records(layout, 50);
  auto first = Writer::create(dir.file("first.las"), header, false);
  auto second = Writer::create(dir.file("second.las"), header, false);
  ASSERT_TRUE(first.has_value() && second.has_value());
  ASSERT_TRUE(first->write_records(layout, records).has_value());
  *first = std::move(*second);
  EXPECT_EQ(testing::read_all(dir.file("first.las")), records);
}

TEST(Writer, FailingToFinishIsReportedAndNeverEndsTheProcess) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const Header header = testing::make_header({1, 2}, 0);
  const RecordLayout layout = RecordLayout::of(header);
  auto writer = Writer::create("/dev/full", header, false);
  ASSERT_TRUE(writer.has_value());
  auto written = writer->write_records(layout, testing::make_records(layout, 1000));
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().io_code(), std::errc::no_space_on_device);
  auto closed = writer->close();
  ASSERT_FALSE(closed.has_value());
  EXPECT_EQ(closed.error().io_code(), std::errc::no_space_on_device);
  // Still open: dropping it tries once more and swallows the failure.
}

TEST(Writer, ClosedWriterTakesNoMoreRecords) {
  testing::TempDir dir;
  const Header header = testing::make_header({1, 2}, 0);
  auto writer = Writer::create(dir.file("out.las"), header, false);
  ASSERT_TRUE(writer.has_value());
  ASSERT_TRUE(writer->close().has_value());
  EXPECT_TRUE(writer->close().has_value());
  auto written = writer->write_records(writer->layout(), testing::make_records(writer->layout(), 1));
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().message(), "the writer is closed");
}

TEST(Writer, CreateReplacesAFileAndRefusesBadHeadersWithoutCreatingOne) {
  testing::TempDir dir;
  testing::write_bytes(dir.file("old.las"), Bytes(100000, 1));
  const Header header = testing::make_header({1, 2}, 0);
  write_file(dir.file("old.las"), header, RecordLayout::of(header), {});
  EXPECT_EQ(fs::file_size(dir.file("old.las")), 288u);

  HeaderBuilder builder(testing::make_header({1, 4}, 6));
  builder.version = {1, 2};
  const Header refused = Header::as_read(builder);
  auto writer = Writer::create(dir.file("new.las"), refused, false);
  ASSERT_FALSE(writer.has_value());
  EXPECT_EQ(writer.error().message(), "version 1.2 does not support format 6");
  EXPECT_FALSE(fs::exists(dir.file("new.las")));
}

}  // namespace
}  // namespace las

namespace las {
namespace {

// Records written after a mark and then rewound leave no trace: the file is
// byte for byte the one written without them, LAS or LAZ, whether the mark
// came before any record, inside a chunk or on a chunk's boundary, and
// however many chunks the dropped records began.
TEST(Writer, RewindDropsEverythingWrittenAfterTheMark) {
  testing::TempDir dir;
  const Header header = testing::make_header({1, 4}, 6, 0);
  const RecordLayout layout = RecordLayout::of(header);
  const Bytes records = testing::make_records(layout, 300'000);
  const auto part = [&](std::size_t from, std::size_t to) {
    return std::span<const std::uint8_t>(records).subspan(from * layout.record_length(),
                                                          (to - from) * layout.record_length());
  };
  struct Case {
    std::size_t kept_before, dropped, kept_after;
  };
  const Case cases[] = {{0, 1000, 70'000}, {30'000, 140'000, 60'000}, {50'000, 3, 1}, {120'000, 0, 9}};
  for (const bool compressed : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(compressed) + " " + std::to_string(c.kept_before) + " " + std::to_string(c.dropped));
      const std::string direct = dir.file(compressed ? "direct.laz" : "direct.las");
      const std::string rewound = dir.file(compressed ? "rewound.laz" : "rewound.las");
      {
        auto writer = Writer::create(direct, header, compressed);
        ASSERT_TRUE(writer.has_value());
        ASSERT_TRUE(writer->write_records(layout, part(0, c.kept_before)).has_value());
        ASSERT_TRUE(writer->write_records(layout, part(200'000, 200'000 + c.kept_after)).has_value());
        ASSERT_TRUE(writer->close().has_value());
      }
      {
        auto writer = Writer::create(rewound, header, compressed);
        ASSERT_TRUE(writer.has_value());
        ASSERT_TRUE(writer->can_rewind());
        ASSERT_TRUE(writer->write_records(layout, part(0, c.kept_before)).has_value());
        const Writer::Mark mark = writer->mark();
        ASSERT_TRUE(writer->write_records(layout, part(c.kept_before, c.kept_before + c.dropped)).has_value());
        ASSERT_TRUE(writer->rewind(mark).has_value());
        ASSERT_TRUE(writer->write_records(layout, part(200'000, 200'000 + c.kept_after)).has_value());
        ASSERT_TRUE(writer->close().has_value());
      }
      EXPECT_TRUE(testing::read_bytes(direct) == testing::read_bytes(rewound));
    }
  }
}

TEST(Writer, NoRewindIntoAPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    auto writer =
        Writer::create(io::OutputFile::adopt(io::Descriptor(fds[1]), "pipe"), testing::make_header({1, 2}, 1), false);
    ASSERT_TRUE(writer.has_value());
    EXPECT_FALSE(writer->can_rewind());
  }
  close(fds[0]);
}

}  // namespace
}  // namespace las
