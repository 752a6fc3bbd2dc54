#pragma once

// For fuzz targets: the input as a file the reader opens by path, without
// touching the disk.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace las::fuzzing {

class MemoryFile {
 public:
  // Nothing when the memory file could not be made or filled.
  static std::optional<MemoryFile> holding(std::span<const std::uint8_t> bytes) {
    const int fd = memfd_create("karvik-fuzz", 0);
    if (fd < 0) return std::nullopt;
    MemoryFile file(fd);
    std::size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
      if (n <= 0) return std::nullopt;
      written += static_cast<std::size_t>(n);
    }
    return file;
  }
  MemoryFile(MemoryFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  MemoryFile& operator=(MemoryFile&&) = delete;
  ~MemoryFile() {
    if (fd_ >= 0) close(fd_);
  }

  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  explicit MemoryFile(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace las::fuzzing
