#include "las/record_filter.hpp"

#include <cstring>

namespace las {

void filter_records(std::vector<std::uint8_t>& out, std::size_t first, std::size_t record_length,
                    const RecordFilter& keep, std::vector<std::uint8_t>& scratch) {
  const std::size_t count = (out.size() - first) / record_length;
  scratch.assign(count, 0);
  keep(std::span<const std::uint8_t>(out).subspan(first), record_length, scratch);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (!scratch[i]) continue;
    if (kept != i) {
      std::memmove(out.data() + first + kept * record_length, out.data() + first + i * record_length, record_length);
    }
    ++kept;
  }
  out.resize(first + kept * record_length);
}

}  // namespace las
