// Files past the offsets that 32-bit types can hold: a sparse LAS file whose
// last records lie beyond 4 GiB is written and read back.

#include <gtest/gtest.h>

#include "las/bytes.hpp"
#include "las/header_codec.hpp"
#include "las/io/file.hpp"
#include "las/reader.hpp"
#include "las/test_files.hpp"

namespace las {
namespace {

TEST(LargeFiles, ReadsRecordsBeyondFourGiB) {
  testing::TempDir dir;
  const std::string path = dir.file("sparse.las");
  constexpr std::uint64_t kRecordLength = 20;  // format 0
  constexpr std::uint64_t kCount = ((4ull << 30) + (1u << 20)) / kRecordLength;
  HeaderBuilder builder;
  builder.point_format = {0, 0};
  builder.number_of_points = kCount;
  auto header = builder.build();
  ASSERT_TRUE(header) << header.error().message();

  // The header, zero records up to the last three (holes in the file), then those three.
  testing::Bytes tail(3 * kRecordLength, 0);
  for (std::uint32_t i = 0; i < 3; ++i) store<std::int32_t>(&tail[i * kRecordLength], 1000 + i);
  const std::uint64_t tail_offset = point_data_offset(*header) + (kCount - 3) * kRecordLength;
  ASSERT_GT(tail_offset, 4ull << 30);
  {
    auto file = io::OutputFile::create(path);
    ASSERT_TRUE(file) << file.error().message();
    ASSERT_TRUE(file->write(encode_header(*header, 0)));
    ASSERT_TRUE(file->write_at(tail_offset, tail));
    ASSERT_TRUE(file->close());
  }

  auto reader = Reader::open(path);
  ASSERT_TRUE(reader) << reader.error().message();
  EXPECT_EQ(reader->header().number_of_points(), kCount);
  std::uint64_t read = 0;
  std::vector<std::uint8_t> batch;
  for (;;) {
    batch.clear();
    auto n = reader->read_batch(batch);
    ASSERT_TRUE(n) << n.error().message();
    if (*n == 0) break;
    read += *n;
    if (read == kCount) {
      ASSERT_GE(batch.size(), tail.size());
      EXPECT_TRUE(std::equal(tail.begin(), tail.end(), batch.end() - static_cast<std::ptrdiff_t>(tail.size())));
    }
  }
  EXPECT_EQ(read, kCount);
}

}  // namespace
}  // namespace las
