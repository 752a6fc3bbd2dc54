#pragma once

#include <string>
#include <system_error>
#include <utility>

namespace las {

// The one error type of the LAS/LAZ platform: a message, and the operating
// system's error code when the failure came from the file system.
class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  Error(std::error_code io, std::string message) : message_(std::move(message)), io_(io) {}

  // An I/O failure: the operating system's text, with the path it concerns.
  static Error from_errno(int err, const std::string& path);

  const std::string& message() const { return message_; }
  std::error_code io_code() const { return io_; }

 private:
  std::string message_;
  std::error_code io_;
};

}  // namespace las
