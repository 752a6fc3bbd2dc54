#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "las/bytes.hpp"
#include "las/header_codec.hpp"
#include "las/io/file.hpp"
#include "las/laz/laszip_vlr.hpp"
#include "las/laz/laz_test_files.hpp"
#include "las/laz/lazperf_decoder.hpp"
#include "las/reader.hpp"
#include "las/test_files.hpp"
#include "las/writer.hpp"

namespace las {
namespace {

using testing::Bytes;
using testing::write_laz;

// Records of formats 0-5 with what a codec trips over: returns changing
// within and between pulses (and invalid combinations), intensities and
// classes that change or not, coordinate jumps across the int32 range, GPS
// times that repeat, step regularly, jump far and return to an earlier
// sequence, grey and coloured RGB, waveform offsets of every kind.
Bytes odd_records(const PointFormat& format, std::size_t count) {
  std::mt19937_64 rng(count * 7 + format.id);
  const std::size_t length = format.record_length();
  Bytes bytes(count * length);
  // Coordinates wrap around the int32 range, as the codec's differences do.
  std::uint32_t x = 1000, y = static_cast<std::uint32_t>(-2000), z = 0;
  double times[3] = {1000.0, 2.5e8, -77.0};
  std::uint64_t wave_offset = 100;
  std::uint32_t wave_size = 64;
  unsigned r = 1, n = 1;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* p = &bytes[i * length];
    const unsigned pick = rng() % 100;
    if (pick < 2) {
      x = static_cast<std::uint32_t>(rng());
    } else if (pick == 2) {
      x = i % 2 ? 0x7FFFFFFFu : 0x80000000u;
    } else {
      x += static_cast<std::uint32_t>(rng() % 200) - 90;
    }
    y += pick < 5 ? static_cast<std::uint32_t>(rng()) : static_cast<std::uint32_t>(rng() % 50) - 20;
    z = pick < 3 ? static_cast<std::uint32_t>(rng()) : z + static_cast<std::uint32_t>(rng() % 30) - 15;
    store(p, x);
    store(p + 4, y);
    store(p + 8, z);
    store<std::uint16_t>(p + 12, pick < 40 ? 300 : static_cast<std::uint16_t>(rng()));
    if (r >= n) {
      n = pick < 5 ? static_cast<unsigned>(rng() % 8) : 1 + static_cast<unsigned>(rng() % 5);
      r = pick < 3 ? 0 : 1;
    } else {
      ++r;
    }
    const bool edge = pick > 97;
    p[14] = static_cast<std::uint8_t>((r & 7) | ((n & 7) << 3) | ((i / 700) % 2 << 6) | (edge << 7));
    p[15] = pick < 90 ? 2 : static_cast<std::uint8_t>(rng());
    p[16] = static_cast<std::uint8_t>(static_cast<int>(rng() % 181) - 90);
    p[17] = pick < 95 ? 7 : static_cast<std::uint8_t>(rng());
    store<std::uint16_t>(p + 18, static_cast<std::uint16_t>(i / 5000 + (pick == 50 ? 9000 : 0)));
    if (format.has_gps_time()) {
      double& t = times[(i / 300) % 3];
      if (pick < 10) {
      } else if (pick < 12) {
        t += 1e9;
      } else if (pick == 12) {
        t = std::nan("");
      } else {
        t += 0.00001 * static_cast<double>(1 + rng() % 3);
      }
      store(p + format.gps_time_offset(), t);
    }
    if (format.has_rgb()) {
      std::uint8_t* c = p + format.rgb_offset();
      const auto grey = static_cast<std::uint16_t>(rng());
      for (int k = 0; k < 3; ++k) {
        const auto value =
            pick < 30 ? grey
                      : (pick < 60 ? static_cast<std::uint16_t>(rng() & 0xFF) : static_cast<std::uint16_t>(rng()));
        store(c + 2 * k, value);
      }
    }
    if (format.has_waveform()) {
      std::uint8_t* w = p + format.waveform_offset();
      w[0] = static_cast<std::uint8_t>(1 + pick % 3);
      if (pick < 30) {
        wave_offset += wave_size;
      } else if (pick < 40) {
        wave_offset += rng() % 100000;
      } else if (pick < 42) {
        wave_offset = rng();
      }
      if (pick > 80) wave_size = static_cast<std::uint32_t>(rng() % 4096);
      store(w + 1, wave_offset);
      store(w + 9, wave_size);
      for (int k = 0; k < 4; ++k) store(w + 13 + 4 * k, static_cast<float>(rng() % 1000) / 7.0f);
    }
    for (std::size_t e = length - format.extra_bytes; e < length; ++e) {
      p[e] = pick < 50 ? static_cast<std::uint8_t>(i) : static_cast<std::uint8_t>(rng());
    }
  }
  return bytes;
}

struct RoundTrip {
  Version version;
  std::uint8_t format;
  std::uint16_t extra_bytes;
  std::size_t count;
};

TEST(CompressedStream, RoundTripsThroughOurDecoderAndLazPerf) {
  const RoundTrip cases[] = {
      {{1, 2}, 0, 0, 3000},  {{1, 2}, 1, 0, 3000},  {{1, 2}, 2, 5, 3000},  {{1, 2}, 3, 0, 3000},
      {{1, 3}, 4, 0, 3000},  {{1, 3}, 5, 2, 3000},  {{1, 0}, 1, 0, 0},     {{1, 2}, 3, 3, 1},
      {{1, 2}, 3, 3, 49999}, {{1, 2}, 3, 3, 50000}, {{1, 4}, 1, 0, 50001}, {{1, 2}, 0, 1, 100001},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    const std::string name = std::string("v") + c.version.text() + std::string("-f") + std::to_string(c.format) +
                             std::string("-e") + std::to_string(c.extra_bytes) + std::string("-n") +
                             std::to_string(c.count);
    const Header header = testing::make_header(c.version, c.format, c.extra_bytes);
    const Bytes records = odd_records(header.point_format(), c.count);
    const std::string path = dir.file(name + ".laz");
    write_laz(path, header, records);
    EXPECT_TRUE(testing::read_all(path) == records) << name;
    // laz-perf decodes formats 0-3.
    if (c.format <= 3) {
      EXPECT_TRUE(testing::lazperf_decode(path, path + ".lazperf") == records) << name;
    }

    auto reader = Reader::open(path);
    ASSERT_TRUE(reader.has_value()) << name;
    EXPECT_TRUE(reader->header().is_compressed());
    EXPECT_EQ(reader->header().number_of_points(), c.count);
    std::size_t batches = 0;
    Bytes batch;
    for (auto read = reader->read_batch(batch); read && *read != 0; read = reader->read_batch(batch)) {
      EXPECT_LE(*read, laz::LaszipVlr::default_chunk_size) << name;
      ++batches;
    }
    EXPECT_EQ(batches, (c.count + 49999) / 50000) << name << ": one batch per chunk";
  }
}

// Rewrites a LAZ file we wrote, to show how the reader copes.
struct Damage {
  const char* what;
  void (*apply)(Bytes& bytes, std::uint64_t data_start);
  const char* error;  // nullptr: the file still reads completely
};

std::uint64_t table_offset(const Bytes& b, std::uint64_t data_start) {
  return load<std::uint64_t>(b.data() + data_start);
}

TEST(CompressedStream, DamagedFilesFailCleanlyOrRecover) {
  const Damage damages[] = {
      {"the table offset still points at itself, the table is gone",
       [](Bytes& b, std::uint64_t start) {
         b.resize(table_offset(b, start));
         store<std::uint64_t>(b.data() + start, start);
       },
       nullptr},
      {"a zero table offset", [](Bytes& b, std::uint64_t start) { store<std::uint64_t>(b.data() + start, 0); },
       nullptr},
      {"the table offset stored at the end",
       [](Bytes& b, std::uint64_t start) {
         const std::uint64_t offset = table_offset(b, start);
         store<std::int64_t>(b.data() + start, -1);
         b.resize(b.size() + 8);
         store(b.data() + b.size() - 8, offset);
       },
       nullptr},
      {"the table offset beyond the file",
       [](Bytes& b, std::uint64_t start) { store<std::uint64_t>(b.data() + start, b.size() + 100); },
       "laszip error: the chunk table offset"},
      {"truncated in the second chunk",
       [](Bytes& b, std::uint64_t start) { b.resize(start + (table_offset(b, start) - start) / 2); },
       "laszip error: the chunk table offset"},
      {"a corrupt second chunk",
       [](Bytes& b, std::uint64_t start) {
         for (std::uint64_t i = 0; i < 64; ++i) b[start + (table_offset(b, start) - start) / 2 + i] ^= 0x5A;
       },
       "laszip error:"},
      {"a table that lists too many chunks",
       [](Bytes& b, std::uint64_t start) { store<std::uint32_t>(b.data() + table_offset(b, start) + 4, 0xFFFFFFF0u); },
       "laszip error: the chunk table lists 4294967280 chunks, more than the point data can hold"},
      {"a table version we do not know",
       [](Bytes& b, std::uint64_t start) { store<std::uint32_t>(b.data() + table_offset(b, start), 7); },
       "laszip error: unknown chunk table version 7"},
  };
  testing::TempDir dir;
  const Header header = testing::make_header({1, 2}, 3, 0);
  const Bytes records = odd_records(header.point_format(), 120000);
  const std::string good = dir.file("good.laz");
  write_laz(good, header, records);
  const Bytes original = testing::read_bytes(good);
  auto file = io::InputFile::open(good);
  ASSERT_TRUE(file.has_value());
  const std::uint64_t data_start = read_header(*file)->point_data_offset;

  for (const auto& damage : damages) {
    Bytes bytes = original;
    damage.apply(bytes, data_start);
    const std::string path = dir.file("damaged.laz");
    testing::write_bytes(path, bytes);
    auto reader = Reader::open(path);
    std::string error;
    Bytes read;
    if (!reader) {
      error = reader.error().message();
    } else {
      for (;;) {
        auto batch = reader->read_batch(read);
        if (!batch) {
          error = batch.error().message();
          break;
        }
        if (*batch == 0) break;
      }
    }
    if (damage.error == nullptr) {
      EXPECT_EQ(error, "") << damage.what;
      EXPECT_TRUE(read == records) << damage.what;
    } else {
      EXPECT_TRUE(error.starts_with(damage.error)) << damage.what << ": " << error;
    }
  }
}

// Real files that are broken: clear errors when opened or read.
TEST(CompressedStream, BrokenSamplesFailWithTheirReason) {
  const std::pair<const char*, const char*> cases[] = {
      {"laszip__broken_coder.laz", "laszip error: unknown coder 15"},
      {"laszip__broken_compressor.laz", "laszip error: unknown compressor 16"},
      {"laszip__broken_type.laz", "laszip error: item type 22 version 1 is not supported"},
      {"laszip__broken_version.laz", "laszip error: item type 6 version 6 is not supported"},
  };
  for (const auto& [name, message] : cases) {
    auto reader = Reader::open(testing::sample(name));
    ASSERT_FALSE(reader.has_value()) << name;
    EXPECT_EQ(reader.error().message(), message);
  }
}

TEST(CompressedStream, TruncatedPointwiseFileFailsWhileReading) {
  // 213093 points announced in a file of 1000 bytes.
  testing::TempDir dir;
  const Bytes broken = testing::read_bytes(testing::sample("laszip__broken_coder.laz"));
  Bytes fixed = broken;
  const auto vlr_data =
      read_header(*io::InputFile::open(testing::sample("laszip__broken_coder.laz")))->header.vlrs().back().data;
  const auto at = std::search(fixed.begin(), fixed.end(), vlr_data.begin(), vlr_data.end()) - fixed.begin();
  store<std::uint16_t>(fixed.data() + at + 2, 0);  // coder 0
  testing::write_bytes(dir.file("truncated.laz"), fixed);
  auto reader = Reader::open(dir.file("truncated.laz"));
  ASSERT_TRUE(reader.has_value()) << reader.error().message();
  Bytes read;
  auto batch = reader->read_batch(read);
  ASSERT_FALSE(batch.has_value());
  EXPECT_EQ(batch.error().message(), "laszip error: the compressed points end early (truncated or corrupt chunk)");
  EXPECT_TRUE(read.empty());
}

TEST(CompressedStream, VlrThatDoesNotMatchTheFormatIsRefused) {
  testing::TempDir dir;
  const Header header = testing::make_header({1, 2}, 1, 0);
  write_laz(dir.file("f1.laz"), header, odd_records(header.point_format(), 10));
  Bytes bytes = testing::read_bytes(dir.file("f1.laz"));
  // Point format 1 -> 3: the VLR's items lack RGB12.
  bytes[104] = 0x83;
  store<std::uint16_t>(bytes.data() + 105, 34);
  testing::write_bytes(dir.file("f3.laz"), bytes);
  auto reader = Reader::open(dir.file("f3.laz"));
  ASSERT_FALSE(reader.has_value());
  EXPECT_EQ(reader.error().message(),
            "laszip error: the LASzip VLR does not match point format 3 with record length 34: item 3 should be "
            "RGB12");
}

}  // namespace
}  // namespace las
