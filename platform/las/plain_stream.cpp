#include "las/plain_stream.hpp"

#include <algorithm>

#include "las/header_codec.hpp"

namespace las {

std::expected<std::size_t, Error> PlainStreamReader::read_batch(std::vector<std::uint8_t>& out,
                                                                const RecordFilter* keep) {
  const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, kBatchRecords));
  if (count == 0) return 0;
  const std::size_t bytes = count * record_length_;
  if (limit_ < next_ + bytes) return std::unexpected(short_point_data(count_, record_length_, limit_ - offset_));
  const std::size_t start = out.size();
  out.resize(start + bytes);
  if (auto read = file_->read_at(next_, std::span(out).subspan(start)); !read) {
    out.resize(start);
    return std::unexpected(read.error());
  }
  next_ += bytes;
  remaining_ -= count;
  if (keep) filter_records(out, start, record_length_, *keep, keep_);
  return count;
}

}  // namespace las
