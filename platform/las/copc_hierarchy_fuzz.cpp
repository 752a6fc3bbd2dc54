// libFuzzer target: the octree hierarchy reader. The input is a whole file;
// its info record is the payload of the first "copc" VLR in it (as in the COPC
// samples of the seed corpus), or else its first bytes. Whatever the hierarchy
// reads must map one to one onto chunks laid out exactly at its nodes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "las/bytes.hpp"
#include "las/copc.hpp"

namespace {

constexpr std::uint64_t max_nodes = 4096;

std::span<const std::uint8_t> info_payload(std::span<const std::uint8_t> input) {
  constexpr std::string_view user = las::copc::Info::user_id;
  constexpr std::size_t header_size = 54;
  const auto found = std::search(input.begin(), input.end(), user.begin(), user.end());
  const std::size_t user_at = static_cast<std::size_t>(found - input.begin());
  if (found == input.end() || user_at < 2 || input.size() - (user_at - 2) < header_size) return input;
  const std::size_t start = user_at - 2;
  return input.subspan(start + header_size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const auto payload = info_payload(input);
  auto info = las::copc::Info::parse(payload);
  if (!info) return 0;
  const las::laz::ReadAt read_at = [input](std::uint64_t offset,
                                           std::span<std::uint8_t> out) -> std::expected<void, las::Error> {
    if (offset > input.size() || input.size() - offset < out.size()) std::abort();  // the reader checks first
    std::memcpy(out.data(), input.data() + offset, out.size());
    return {};
  };
  auto nodes = las::copc::read_hierarchy(*info, read_at, input.size(), max_nodes);
  if (!nodes) return 0;

  las::laz::ChunkLayout layout;
  for (const auto& node : *nodes) layout.chunks.push_back({node.offset, node.byte_count, node.point_count});
  std::sort(layout.chunks.begin(), layout.chunks.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
  const bool distinct = std::adjacent_find(layout.chunks.begin(), layout.chunks.end(), [](const auto& a, const auto& b) {
                          return a.offset == b.offset;
                        }) == layout.chunks.end();
  las::HeaderFields fields;
  fields.vlrs.push_back({0, std::string(las::copc::Info::user_id), las::copc::Info::record_id, "",
                         std::vector<std::uint8_t>(payload.begin(), payload.end())});
  auto cubes = las::copc::chunk_cubes(las::Header::as_read(fields), read_at, input.size(), layout);
  if (cubes.has_value() != distinct || (cubes && !cubes->has_value())) std::abort();
  if (!cubes) return 0;
  for (const auto& node : *nodes) {
    const auto chunk = std::find_if(layout.chunks.begin(), layout.chunks.end(),
                                    [&](const auto& c) { return c.offset == node.offset; });
    const las::Bounds& padded = (**cubes)[static_cast<std::size_t>(chunk - layout.chunks.begin())];
    const las::Bounds exact = las::copc::cube_of(*info, node.key);
    if (!(padded.min.x <= exact.min.x && padded.max.z >= exact.max.z)) std::abort();
  }
  return 0;
}
