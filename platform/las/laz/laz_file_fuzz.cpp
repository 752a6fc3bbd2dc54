// libFuzzer target: a whole LAZ file through the reader, from its header and
// LASzip VLR to the chunk table and every chunk. Seeded with the LAZ samples.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "las/reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("laz-fuzz", 0);
  if (fd < 0) return 0;
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd, data + written, size - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  if (written == size) {
    if (auto reader = las::Reader::open("/proc/self/fd/" + std::to_string(fd))) {
      std::vector<std::uint8_t> records;
      for (auto batch = reader->read_batch(records); batch && *batch != 0; batch = reader->read_batch(records)) {
        records.clear();
      }
    }
  }
  close(fd);
  return 0;
}
