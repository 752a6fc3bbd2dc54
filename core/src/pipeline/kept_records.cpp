#include "pipeline/kept_records.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace karvik_core::pipeline {
namespace {

TileIndexError spill_error(const std::string& dir) {
  return TileIndexError::output_error(std::string(std::strerror(errno)) + ": spilling kept points in " + dir);
}

// An anonymous file in `dir`, gone once closed.
int open_anonymous(const std::string& dir) {
  const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  std::string name = dir + "/.karvik-spill-XXXXXX";
  const int named = mkostemp(name.data(), O_CLOEXEC);
  if (named >= 0) unlink(name.c_str());
  return named;
}

}  // namespace

SpillFile::~SpillFile() {
  if (fd_ >= 0) close(fd_);
}

bool SpillFile::open_in(const std::string& dir) {
  if (fd_ < 0) fd_ = open_anonymous(dir);
  return fd_ >= 0;
}

std::expected<void, TileIndexError> KeptRecords::append(const std::vector<std::uint8_t>& records) {
  count_ += records.size() / layout_.record_length();
  const std::size_t room = spilled_ == 0 && memory_.size() < budget_ ? budget_ - memory_.size() : 0;
  const std::size_t in_memory = std::min(room, records.size()) / layout_.record_length() * layout_.record_length();
  memory_.insert(memory_.end(), records.begin(), records.begin() + static_cast<std::ptrdiff_t>(in_memory));
  if (in_memory == records.size()) return {};
  return spill(records.data() + in_memory, records.size() - in_memory);
}

std::expected<void, TileIndexError> KeptRecords::spill(const std::uint8_t* data, std::size_t size) {
  if (!spill_.open_in(spill_dir_)) return std::unexpected(spill_error(spill_dir_));
  while (size > 0) {
    const ssize_t n = write(spill_.fd(), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::unexpected(spill_error(spill_dir_));
    data += n;
    size -= static_cast<std::size_t>(n);
    spilled_ += static_cast<std::uint64_t>(n);
  }
  return {};
}

std::expected<void, TileIndexError> KeptRecords::drain(const Write& write_slice, std::size_t slice_records) {
  const std::size_t slice_bytes = slice_records * layout_.record_length();
  const std::span<const std::uint8_t> memory(memory_);
  for (std::size_t at = 0; at < memory.size(); at += slice_bytes) {
    if (auto ok = write_slice(layout_, memory.subspan(at, std::min(slice_bytes, memory.size() - at))); !ok) return ok;
  }
  std::vector<std::uint8_t>().swap(memory_);
  std::vector<std::uint8_t> slice;
  for (std::uint64_t at = 0; at < spilled_;) {
    slice.resize(static_cast<std::size_t>(std::min<std::uint64_t>(slice_bytes, spilled_ - at)));
    const ssize_t n = pread(spill_.fd(), slice.data(), slice.size(), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(slice.size())) return std::unexpected(spill_error(spill_dir_));
    if (auto ok = write_slice(layout_, slice); !ok) return ok;
    at += static_cast<std::uint64_t>(n);
  }
  return {};
}

}  // namespace karvik_core::pipeline
