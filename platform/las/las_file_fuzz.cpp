// libFuzzer target: a plain LAS file through the reader: the header of every
// version, the VLRs, the padding, the EVLRs and the point records. The
// compression bits of the point format are cleared, so that every input
// exercises the plain path. Seeded with the samples.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "las/fuzz_file.hpp"
#include "las/reader.hpp"

namespace {

constexpr std::size_t kPointFormatByte = 104;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  if (bytes.size() > kPointFormatByte) bytes[kPointFormatByte] &= 0x3f;
  const auto file = las::fuzzing::MemoryFile::holding(bytes);
  if (!file) return 0;
  auto reader = las::Reader::open(file->path());
  if (!reader) return 0;
  if (reader->header().is_compressed()) std::abort();  // the bits were cleared
  const std::size_t length = reader->layout().record_length();
  // Every other record kept: the filtered path, and its count against the batch.
  const las::RecordFilter every_other = [](std::span<const std::uint8_t>, std::size_t, std::span<std::uint8_t> keep) {
    for (std::size_t i = 0; i < keep.size(); ++i) keep[i] = i % 2 == 0;
  };
  std::vector<std::uint8_t> kept;
  for (;;) {
    kept.clear();
    auto batch = reader->read_batch(kept, every_other);
    if (!batch || *batch == 0) break;
    if (kept.size() != (*batch + 1) / 2 * length) std::abort();
  }
  return 0;
}
