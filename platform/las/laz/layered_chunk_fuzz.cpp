// libFuzzer target: one layered chunk. The first input byte picks the point
// format (6-10), the item version and the extra bytes; the rest is the chunk,
// decoded for the point count it states (capped). Every chunk that decodes
// must decode the same with a filter: the kept records of a full decode.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "las/bytes.hpp"
#include "las/laz/layered_chunk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace las::laz;
  if (size < 1) return 0;
  const unsigned format = 6 + data[0] % 5;
  const std::uint16_t version = (data[0] & 0x08) ? 4 : 3;
  const auto extra = static_cast<std::uint16_t>((data[0] >> 4) % 4);
  LaszipVlr vlr;
  vlr.compressor = Compressor::layered_chunked;
  vlr.items = {{ItemType::point14, 30, version}};
  if (format == 7) vlr.items.push_back({ItemType::rgb14, 6, version});
  if (format == 8 || format == 10) vlr.items.push_back({ItemType::rgbnir14, 8, version});
  if (format == 9 || format == 10) vlr.items.push_back({ItemType::wavepacket14, 29, version});
  if (extra) vlr.items.push_back({ItemType::byte14, extra, version});
  auto decoder = LayeredChunkDecoder::create(vlr);
  if (!decoder) std::abort();
  const std::span<const std::uint8_t> chunk(data + 1, size - 1);
  const std::size_t length = decoder->record_length();
  if (chunk.size() < length + 4) return 0;
  const std::size_t count = std::min<std::size_t>(las::load<std::uint32_t>(chunk.data() + length), 20000);

  std::vector<std::uint8_t> all;
  auto full = decoder->decode(chunk, count, all);
  const las::RecordFilter even_x = [](std::span<const std::uint8_t> r, std::size_t len, std::span<std::uint8_t> keep) {
    for (std::size_t i = 0; i < keep.size(); ++i) keep[i] = (r[i * len] & 1) == 0;
  };
  std::vector<std::uint8_t> kept;
  auto filtered = decoder->decode(chunk, count, kept, &even_x);
  if (!full) return 0;
  if (!filtered) std::abort();
  std::vector<std::uint8_t> expected;
  for (std::size_t i = 0; i < all.size(); i += length) {
    if ((all[i] & 1) == 0) expected.insert(expected.end(), all.begin() + i, all.begin() + i + length);
  }
  if (expected != kept) std::abort();
  return 0;
}
