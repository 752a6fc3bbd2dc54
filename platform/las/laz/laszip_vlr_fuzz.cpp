// libFuzzer target: the LASzip VLR parser. An input holding a LASzip VLR
// record (as the LAZ samples of the seed corpus do) is cut to that record's
// payload, so that mutations land on the fields; any other input is taken as
// a payload whole.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "las/bytes.hpp"
#include "las/laz/chunk_codec.hpp"
#include "las/laz/laszip_vlr.hpp"

namespace {

std::span<const std::uint8_t> payload_of(std::span<const std::uint8_t> input) {
  constexpr std::string_view user = las::laz::LaszipVlr::user_id;
  constexpr std::size_t header_size = 54;
  const auto found = std::search(input.begin(), input.end(), user.begin(), user.end());
  const std::size_t user_at = static_cast<std::size_t>(found - input.begin());
  if (found == input.end() || user_at < 2 || input.size() - (user_at - 2) < header_size) return input;
  const std::size_t start = user_at - 2;
  const std::size_t length = las::load<std::uint16_t>(input.data() + start + 20);
  return input.subspan(start + header_size, std::min(length, input.size() - start - header_size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto payload = payload_of({data, size});
  auto vlr = las::laz::LaszipVlr::parse(payload);
  if (!vlr) return 0;
  // What parses writes back as it was.
  const auto written = vlr->serialize();
  if (!std::equal(written.begin(), written.end(), payload.begin(), payload.end())) std::abort();
  for (std::uint8_t format = 0; format <= 10; ++format) {
    (void)vlr->check_point_format(format, static_cast<std::uint16_t>(vlr->record_length()));
  }
  (void)las::laz::ChunkDecoder::create(*vlr);
  (void)las::laz::ChunkEncoder::create(*vlr);
  return 0;
}
