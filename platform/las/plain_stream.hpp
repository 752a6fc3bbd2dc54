#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "las/io/file.hpp"
#include "las/point_stream.hpp"

namespace las {

// Uncompressed records, read in batches of at most kBatchRecords.
class PlainStreamReader final : public PointStreamReader {
 public:
  // As many records as a LASzip chunk holds by default.
  static constexpr std::size_t kBatchRecords = 50000;

  // `count` records from `offset`; the file holds point data up to `limit`.
  // A truncated file fails at the batch that would run past it.
  PlainStreamReader(std::shared_ptr<const io::InputFile> file, std::uint64_t offset, std::uint64_t limit,
                    std::uint64_t count, std::size_t record_length)
      : file_(std::move(file)),
        offset_(offset),
        limit_(limit),
        count_(count),
        remaining_(count),
        record_length_(record_length) {}

  std::expected<std::size_t, Error> read_batch(std::vector<std::uint8_t>& out, const RecordFilter* keep) override;
  // Slices of kBatchRecords; those past the end of the file fail when read
  // (a count beyond size_t saturates, so that the last one read fails).
  std::optional<std::size_t> unit_count() const override {
    const std::uint64_t units = count_ / kBatchRecords + (count_ % kBatchRecords != 0);
    return static_cast<std::size_t>(std::min<std::uint64_t>(units, SIZE_MAX));
  }
  PointUnit unit(std::size_t index) const override {
    const std::uint64_t first = std::uint64_t{index} * kBatchRecords;
    return {first, std::min<std::uint64_t>(kBatchRecords, count_ - first)};
  }
  std::expected<std::size_t, Error> read_unit(std::size_t index, std::vector<std::uint8_t>& out,
                                              const RecordFilter* keep) const override;

 private:
  std::shared_ptr<const io::InputFile> file_;
  std::uint64_t offset_;
  std::uint64_t limit_;
  std::uint64_t count_;
  std::uint64_t remaining_;
  std::size_t record_length_;
  std::vector<std::uint8_t> keep_;

  // Appends `count` records from `first` on; a read past `limit_` fails.
  std::expected<void, Error> read_records(std::uint64_t first, std::size_t count, std::vector<std::uint8_t>& out,
                                          const RecordFilter* keep, std::vector<std::uint8_t>& scratch) const;
};

class PlainStreamWriter final : public PointStreamWriter {
 public:
  explicit PlainStreamWriter(io::OutputFile& file) : file_(file) {}

  std::expected<void, Error> write(std::span<const std::uint8_t> records) override { return file_.write(records); }
  StreamMark mark() override { return {true, file_.position(), 0}; }
  std::expected<void, Error> rewind(const StreamMark& mark) override { return file_.truncate(mark.position); }
  std::expected<void, Error> finish() override { return {}; }

 private:
  io::OutputFile& file_;
};

}  // namespace las
