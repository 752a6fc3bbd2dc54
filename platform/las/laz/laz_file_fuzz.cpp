// libFuzzer target: a whole LAZ file through the reader, from its header and
// LASzip VLR to the chunk table and every chunk. Seeded with the LAZ samples.
#include <cstdint>
#include <vector>

#include "las/fuzz_file.hpp"
#include "las/reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto file = las::fuzzing::MemoryFile::holding({data, size});
  if (!file) return 0;
  if (auto reader = las::Reader::open(file->path())) {
    std::vector<std::uint8_t> records;
    for (auto batch = reader->read_batch(records); batch && *batch != 0; batch = reader->read_batch(records)) {
      records.clear();
    }
  }
  return 0;
}
