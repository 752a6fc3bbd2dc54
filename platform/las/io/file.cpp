#include "las/io/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "las/io/fault.hpp"

namespace las::io {
namespace {

using Operation = FaultPlan::Operation;

// Fills `out` from `offset`; the end of the file before it is full is an error.
std::expected<void, Error> read_fully(int fd, const std::string& name, std::uint64_t offset,
                                      std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t count = allowed_bytes(Operation::read, name, out.size() - done);
    if (count == 0) return std::unexpected(Error::from_errno(errno, name));
    const ssize_t n = ::pread(fd, out.data() + done, count, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::from_errno(errno, name));
    }
    if (n == 0) return std::unexpected(Error("the file was shortened while it was read: " + name));
    done += static_cast<std::size_t>(n);
  }
  return {};
}

// Writes all of `bytes` at `offset`, or at the descriptor's position (so that pipes work too).
std::expected<void, Error> write_fully(int fd, const std::string& name, std::span<const std::uint8_t> bytes,
                                       std::optional<std::uint64_t> offset) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t count = allowed_bytes(Operation::write, name, bytes.size() - done);
    if (count == 0) return std::unexpected(Error::from_errno(errno, name));
    const void* from = bytes.data() + done;
    const ssize_t n = offset ? ::pwrite(fd, from, count, static_cast<off_t>(*offset + done)) : ::write(fd, from, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::from_errno(errno, name));
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

Descriptor::~Descriptor() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<InputFile, Error> InputFile::open(const std::string& path) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::unexpected(Error::from_errno(errno, path));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return std::unexpected(Error::from_errno(errno, path));
  if (S_ISDIR(info.st_mode)) return std::unexpected(Error::from_errno(EISDIR, path));
  return InputFile(std::move(fd), path, static_cast<std::uint64_t>(info.st_size));
}

std::expected<void, Error> InputFile::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (offset > size_ || out.size() > size_ - offset) {
    return std::unexpected(Error("the file ends at byte " + std::to_string(size_) + ", before byte " +
                                 std::to_string(offset + out.size()) + ": " + path_));
  }
  return read_fully(fd_.get(), path_, offset, out);
}

std::expected<OutputFile, Error> OutputFile::create(const std::string& path) {
  Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) return std::unexpected(Error::from_errno(errno, path));
  return OutputFile(std::move(fd), path, true);
}

std::expected<void, Error> OutputFile::write(std::span<const std::uint8_t> bytes) {
  if (buffer_.size() + bytes.size() > kBufferSize) {
    if (auto flushed = flush(); !flushed) return flushed;
  }
  position_ += bytes.size();
  if (bytes.size() >= kBufferSize) return write_fully(fd_.get(), path_, bytes, std::nullopt);
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return {};
}

std::expected<void, Error> OutputFile::write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (auto flushed = flush(); !flushed) return flushed;
  return write_fully(fd_.get(), path_, bytes, offset);
}

std::expected<void, Error> OutputFile::flush() {
  if (buffer_.empty()) return {};
  auto written = write_fully(fd_.get(), path_, buffer_, std::nullopt);
  buffer_.clear();
  return written;
}

bool OutputFile::truncatable() const {
  struct stat info {};
  return ::fstat(fd_.get(), &info) == 0 && S_ISREG(info.st_mode);
}

std::expected<void, Error> OutputFile::truncate(std::uint64_t size) {
  if (auto flushed = flush(); !flushed) return flushed;
  if (::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0 ||
      ::lseek(fd_.get(), static_cast<off_t>(size), SEEK_SET) < 0) {
    return std::unexpected(Error::from_errno(errno, path_));
  }
  position_ = size;
  return {};
}

std::expected<void, Error> OutputFile::close() {
  if (fd_.get() < 0) return {};
  if (auto flushed = flush(); !flushed) return flushed;
  if (::close(fd_.release()) != 0) return std::unexpected(Error::from_errno(errno, path_));
  return {};
}

void OutputFile::remove() {
  struct stat info {};
  const bool regular = fd_.get() >= 0 && ::fstat(fd_.get(), &info) == 0 && S_ISREG(info.st_mode);
  buffer_.clear();
  fd_ = Descriptor();
  if (created_ && regular) ::unlink(path_.c_str());
}

std::expected<ScratchFile, Error> ScratchFile::create_in(const std::string& dir) {
  const std::string name = dir + "/(scratch)";
  Descriptor fd(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (fd.get() < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string path = dir + "/.karvik-scratch-XXXXXX";
    fd = Descriptor(::mkostemp(path.data(), O_CLOEXEC));
    if (fd.get() >= 0) ::unlink(path.c_str());
  }
  if (fd.get() < 0) return std::unexpected(Error::from_errno(errno, name));
  return ScratchFile(std::move(fd), name);
}

std::expected<void, Error> ScratchFile::append(std::span<const std::uint8_t> bytes) {
  if (auto written = write_fully(fd_.get(), name_, bytes, size_); !written) return written;
  size_ += bytes.size();
  return {};
}

std::expected<void, Error> ScratchFile::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
  return read_fully(fd_.get(), name_, offset, out);
}

}  // namespace las::io
