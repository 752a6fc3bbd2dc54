#include "las/plain_stream.hpp"

#include <algorithm>

#include "las/header_codec.hpp"

namespace las {

std::expected<void, Error> PlainStreamReader::read_records(std::uint64_t first, std::size_t count,
                                                           std::vector<std::uint8_t>& out, const RecordFilter* keep,
                                                           std::vector<std::uint8_t>& scratch) const {
  const std::uint64_t at = offset_ + first * record_length_;
  const std::size_t bytes = count * record_length_;
  if (limit_ < at + bytes) return std::unexpected(short_point_data(count_, record_length_, limit_ - offset_));
  const std::size_t start = out.size();
  out.resize(start + bytes);
  if (auto read = file_->read_at(at, std::span(out).subspan(start)); !read) {
    out.resize(start);
    return std::unexpected(read.error());
  }
  if (keep) filter_records(out, start, record_length_, *keep, scratch);
  return {};
}

std::expected<std::size_t, Error> PlainStreamReader::read_batch(std::vector<std::uint8_t>& out,
                                                                const RecordFilter* keep) {
  const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, kBatchRecords));
  if (count == 0) return 0;
  if (auto read = read_records(count_ - remaining_, count, out, keep, keep_); !read) {
    return std::unexpected(read.error());
  }
  remaining_ -= count;
  return count;
}

std::expected<std::size_t, Error> PlainStreamReader::read_unit(std::size_t index, std::vector<std::uint8_t>& out,
                                                               const RecordFilter* keep) const {
  const PointUnit unit = this->unit(index);
  const auto count = static_cast<std::size_t>(unit.point_count);
  std::vector<std::uint8_t> scratch;
  if (auto read = read_records(unit.first_point, count, out, keep, scratch); !read) {
    return std::unexpected(read.error());
  }
  return count;
}

}  // namespace las
