#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "las/io/file.hpp"
#include "pointcloud/records.hpp"

namespace karvik_core::pipeline {

// The records a tile keeps, held until every earlier tile is written. Up to
// a memory budget they stay in memory; beyond it they go to an unlinked file
// in the output's folder, so that memory does not grow with the kept points.
class KeptRecords {
 public:
  static constexpr std::size_t kMemoryBudget = 8u << 20;

  KeptRecords(las::RecordLayout layout, std::string spill_dir, std::size_t budget = kMemoryBudget)
      : layout_(layout), spill_dir_(std::move(spill_dir)), budget_(budget) {}

  const las::RecordLayout& layout() const { return layout_; }
  std::uint64_t size() const { return count_; }

  // Appends whole records of this layout.
  std::expected<void, TileIndexError> append(const std::vector<std::uint8_t>& records);

  // Hands the records, in order, to `write` in slices of at most `slice_records`.
  using Write = std::function<std::expected<void, TileIndexError>(const las::RecordLayout&,
                                                                  std::span<const std::uint8_t>)>;
  std::expected<void, TileIndexError> drain(const Write& write, std::size_t slice_records = 50'000);

 private:
  std::expected<void, TileIndexError> spill(std::span<const std::uint8_t> records);

  las::RecordLayout layout_;
  std::string spill_dir_;
  std::size_t budget_;
  std::uint64_t count_ = 0;
  std::vector<std::uint8_t> memory_;  // the first records
  std::optional<las::io::ScratchFile> spill_;  // the rest, in order; made on first use
};

}  // namespace karvik_core::pipeline
