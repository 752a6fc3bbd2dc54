#include "las/io/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace las::io {

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
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd_.get(), out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::from_errno(errno, path_));
    }
    if (n == 0) return std::unexpected(Error("the file was shortened while it was read: " + path_));
    done += static_cast<std::size_t>(n);
  }
  return {};
}

std::expected<OutputFile, Error> OutputFile::create(const std::string& path) {
  Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) return std::unexpected(Error::from_errno(errno, path));
  return OutputFile(std::move(fd), path);
}

std::expected<void, Error> OutputFile::write(std::span<const std::uint8_t> bytes) {
  if (buffer_.size() + bytes.size() > kBufferSize) {
    if (auto flushed = flush(); !flushed) return flushed;
  }
  position_ += bytes.size();
  if (bytes.size() >= kBufferSize) return write_all(bytes, std::nullopt);
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return {};
}

std::expected<void, Error> OutputFile::write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (auto flushed = flush(); !flushed) return flushed;
  return write_all(bytes, offset);
}

std::expected<void, Error> OutputFile::flush() {
  if (buffer_.empty()) return {};
  auto written = write_all(buffer_, std::nullopt);
  buffer_.clear();
  return written;
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
  if (regular) ::unlink(path_.c_str());
}

std::expected<void, Error> OutputFile::write_all(std::span<const std::uint8_t> bytes,
                                                std::optional<std::uint64_t> offset) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const void* from = bytes.data() + done;
    const std::size_t count = bytes.size() - done;
    const ssize_t n = offset ? ::pwrite(fd_.get(), from, count, static_cast<off_t>(*offset + done))
                             : ::write(fd_.get(), from, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::from_errno(errno, path_));
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace las::io
