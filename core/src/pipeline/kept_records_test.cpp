#include "pipeline/kept_records.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "testing/gpkg_fixture.hpp"

namespace karvik_core::pipeline {
namespace {

TEST(KeptRecords, SpillsBeyondTheBudgetAndDrainsInOrder) {
  testing::TempDir dir;
  const las::RecordLayout layout{las::PointFormat{0, 0}, {}, {}, {}};  // 20-byte records
  KeptRecords kept(layout, dir.path().string(), 100);                  // five records in memory
  std::vector<std::uint8_t> all;
  for (int batch = 0; batch < 7; ++batch) {
    std::vector<std::uint8_t> records(20 * 3);
    for (std::size_t i = 0; i < records.size(); ++i) records[i] = static_cast<std::uint8_t>(batch * 60 + i);
    ASSERT_TRUE(kept.append(records));
    all.insert(all.end(), records.begin(), records.end());
  }
  EXPECT_EQ(kept.size(), 21u);
  std::vector<std::uint8_t> drained;
  std::vector<std::size_t> slices;
  auto ok = kept.drain(
      [&](const las::RecordLayout& l, std::span<const std::uint8_t> r) -> std::expected<void, TileIndexError> {
        EXPECT_EQ(l, layout);
        slices.push_back(r.size() / 20);
        drained.insert(drained.end(), r.begin(), r.end());
        return {};
      },
      4);
  ASSERT_TRUE(ok);
  EXPECT_EQ(drained, all);
  EXPECT_EQ(slices, (std::vector<std::size_t>{4, 1, 4, 4, 4, 4}));  // memory, then the spill file
  // The spill file is anonymous: nothing is left in the folder.
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(KeptRecords, SpillsPastTwoGiB) {
  testing::TempDir dir;
  const las::RecordLayout layout{las::PointFormat{0, 0}, {}, {}, {}};  // 20-byte records
  KeptRecords kept(layout, dir.path().string(), 0);
  // One block of records numbered by their place in it, appended until past 2 GiB.
  constexpr std::uint32_t kBlockRecords = 3'000'000;
  constexpr std::uint32_t kBlocks = 37;  // 2.07 GiB
  std::vector<std::uint8_t> block(std::size_t{kBlockRecords} * 20);
  for (std::uint32_t i = 0; i < kBlockRecords; ++i) std::memcpy(&block[std::size_t{i} * 20], &i, 4);
  for (std::uint32_t b = 0; b < kBlocks; ++b) ASSERT_TRUE(kept.append(block));
  ASSERT_GT(kept.size() * 20, 2ull << 30);

  // Each slice starts and ends with the records the numbering predicts.
  std::uint64_t drained = 0;
  const auto number = [](const std::uint8_t* record) {
    std::uint32_t n;
    std::memcpy(&n, record, 4);
    return n;
  };
  auto ok = kept.drain([&](const las::RecordLayout&, std::span<const std::uint8_t> r) -> std::expected<void, TileIndexError> {
    const std::uint64_t count = r.size() / 20;
    EXPECT_EQ(number(r.data()), drained % kBlockRecords);
    EXPECT_EQ(number(r.data() + r.size() - 20), (drained + count - 1) % kBlockRecords);
    drained += count;
    return {};
  });
  ASSERT_TRUE(ok) << ok.error().to_string();
  EXPECT_EQ(drained, std::uint64_t{kBlockRecords} * kBlocks);
}

TEST(KeptRecords, FailuresAreOutputErrors) {
  const las::RecordLayout layout{las::PointFormat{0, 0}, {}, {}, {}};
  KeptRecords kept(layout, "/nonexistent/dir", 20);
  auto held = kept.append(std::vector<std::uint8_t>(60, 1));
  ASSERT_FALSE(held);
  EXPECT_EQ(held.error().kind(), TileIndexError::Kind::OutputError);

  testing::TempDir dir;
  KeptRecords fine(layout, dir.path().string(), 20);
  ASSERT_TRUE(fine.append(std::vector<std::uint8_t>(60, 1)));
  auto stopped = fine.drain(
      [](const las::RecordLayout&, std::span<const std::uint8_t>) -> std::expected<void, TileIndexError> {
        return std::unexpected(TileIndexError::output_error("disk full"));
      });
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().to_string(), "Output file error: disk full");
}

}  // namespace
}  // namespace karvik_core::pipeline
