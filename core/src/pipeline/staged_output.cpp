#include "pipeline/staged_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace karvik_core::pipeline {
namespace {

namespace fs = std::filesystem;

TileIndexError os_error(const std::string& path) {
  return TileIndexError::output_error(std::string(std::strerror(errno)) + ": " + path);
}

// The process umask, read without changing it where the kernel reports it.
mode_t current_umask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  }
  const mode_t mask = umask(022);
  umask(mask);
  return mask;
}

}  // namespace

std::expected<StagedOutput, TileIndexError> StagedOutput::create(const std::string& destination) {
  struct stat st;
  if (stat(destination.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return StagedOutput(destination, destination, false);

  const fs::path dest(destination);
  const std::string extension = dest.extension().string();
  const fs::path dir = dest.parent_path();
  std::string pattern = (dir / ("." + dest.filename().string() + ".karvik-XXXXXX" + extension)).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkstemps(name.data(), static_cast<int>(extension.size()));
  if (fd < 0) return std::unexpected(os_error(destination));
  close(fd);
  return StagedOutput(destination, std::string(name.data()), true);
}

StagedOutput::StagedOutput(StagedOutput&& other) noexcept
    : destination_(std::move(other.destination_)), write_path_(std::move(other.write_path_)), staged_(other.staged_) {
  other.staged_ = false;
  other.write_path_.clear();
}

StagedOutput::~StagedOutput() {
  if (staged_) unlink(write_path_.c_str());
}

std::expected<void, TileIndexError> StagedOutput::commit() {
  if (!staged_) return {};
  if (chmod(write_path_.c_str(), 0666 & ~current_umask()) != 0) return std::unexpected(os_error(write_path_));
  if (std::rename(write_path_.c_str(), destination_.c_str()) != 0) {
    return std::unexpected(os_error(destination_));
  }
  staged_ = false;
  return {};
}

}  // namespace karvik_core::pipeline
