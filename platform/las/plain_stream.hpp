#pragma once

#include <memory>

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
        next_(offset),
        remaining_(count),
        record_length_(record_length) {}

  std::expected<std::size_t, Error> read_batch(std::vector<std::uint8_t>& out, const RecordFilter* keep) override;

 private:
  std::shared_ptr<const io::InputFile> file_;
  std::uint64_t offset_;
  std::uint64_t limit_;
  std::uint64_t count_;
  std::uint64_t next_;
  std::uint64_t remaining_;
  std::size_t record_length_;
  std::vector<std::uint8_t> keep_;
};

class PlainStreamWriter final : public PointStreamWriter {
 public:
  explicit PlainStreamWriter(io::OutputFile& file) : file_(file) {}

  std::expected<void, Error> write(std::span<const std::uint8_t> records) override { return file_.write(records); }
  std::expected<void, Error> finish() override { return {}; }

 private:
  io::OutputFile& file_;
};

}  // namespace las
