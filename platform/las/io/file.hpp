#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "las/error.hpp"

namespace las::io {

// An owned file descriptor, closed when dropped.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept;
  ~Descriptor();

  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// A file opened for reading at explicit offsets, so that several streams can
// read one file without sharing a position.
class InputFile {
 public:
  static std::expected<InputFile, Error> open(const std::string& path);

  const std::string& path() const { return path_; }
  std::uint64_t size() const { return size_; }
  // Fills `out` from `offset`; running past the end of the file is an error.
  std::expected<void, Error> read_at(std::uint64_t offset, std::span<std::uint8_t> out) const;

 private:
  InputFile(Descriptor fd, std::string path, std::uint64_t size)
      : fd_(std::move(fd)), path_(std::move(path)), size_(size) {}

  Descriptor fd_;
  std::string path_;
  std::uint64_t size_;
};

// A file created for writing through an 8 KiB buffer; earlier bytes can be
// rewritten in place (the header, once the counts are known).
class OutputFile {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  // Creates the file, replacing one that exists.
  static std::expected<OutputFile, Error> create(const std::string& path);
  // Writes to a descriptor opened elsewhere; `name` names it in errors, and
  // remove() closes it without deleting anything.
  static OutputFile adopt(Descriptor fd, std::string name) { return OutputFile(std::move(fd), std::move(name), false); }

  const std::string& path() const { return path_; }
  // Bytes written so far, buffered or not.
  std::uint64_t position() const { return position_; }
  std::expected<void, Error> write(std::span<const std::uint8_t> bytes);
  // Overwrites bytes already written; the buffer is flushed first.
  std::expected<void, Error> write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  std::expected<void, Error> flush();
  // Whether the file can be cut short (a regular file, not a device or a pipe).
  bool truncatable() const;
  // Drops the bytes from `size` (at most position()) on; writing goes on there.
  std::expected<void, Error> truncate(std::uint64_t size);
  // Flushes and closes the descriptor, reporting what closing reports.
  std::expected<void, Error> close();
  // Closes and deletes the file, if this created it and it is a regular file
  // (never a device or a pipe).
  void remove();

 private:
  OutputFile(Descriptor fd, std::string path, bool created)
      : fd_(std::move(fd)), path_(std::move(path)), created_(created) {
    buffer_.reserve(kBufferSize);
  }

  Descriptor fd_;
  std::string path_;
  bool created_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t position_ = 0;
};

// An anonymous file for data that does not fit in memory: no name in its
// folder, gone once closed (a named file unlinked at once where the file
// system has no O_TMPFILE). Appended to, read back at offsets.
class ScratchFile {
 public:
  static std::expected<ScratchFile, Error> create_in(const std::string& dir);

  std::uint64_t size() const { return size_; }
  std::expected<void, Error> append(std::span<const std::uint8_t> bytes);
  // Fills `out` from `offset`, which with out.size() lies within size().
  std::expected<void, Error> read_at(std::uint64_t offset, std::span<std::uint8_t> out) const;

 private:
  ScratchFile(Descriptor fd, std::string name) : fd_(std::move(fd)), name_(std::move(name)) {}

  Descriptor fd_;
  std::string name_;  // for errors and planned faults: "DIR/(scratch)"
  std::uint64_t size_ = 0;
};

}  // namespace las::io
