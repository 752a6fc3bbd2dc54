#include "pipeline/staged_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <utility>

namespace karvik_core::pipeline {
namespace {

namespace fs = std::filesystem;
using las::io::Descriptor;

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

// `.NAME.karvik-` and `EXT` around six random characters, in the destination's folder.
struct TemporaryName {
  std::string prefix, extension;

  explicit TemporaryName(const std::string& destination) {
    const fs::path dest(destination);
    extension = dest.extension().string();
    prefix = (dest.parent_path() / ("." + dest.filename().string() + ".karvik-")).string();
  }
  std::string pattern() const { return prefix + "XXXXXX" + extension; }
  std::string random() const {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device device;
    std::string name = prefix;
    for (int i = 0; i < 6; ++i) name += kChars[device() % (sizeof kChars - 1)];
    return name + extension;
  }
};

std::string folder_of(const std::string& destination) {
  const fs::path parent = fs::path(destination).parent_path();
  return parent.empty() ? "." : parent.string();
}

// Gives an unnamed file the name `path`: through /proc where it is mounted,
// else by the descriptor itself (which needs CAP_DAC_READ_SEARCH).
int link_unnamed(int fd, const std::string& path) {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT) return -1;
  return linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH);
}

}  // namespace

StagedOutput::StagedOutput(Kind kind, std::string destination, Descriptor unnamed, Descriptor writing,
                           std::string temporary)
    : kind_(kind),
      destination_(std::move(destination)),
      unnamed_(std::move(unnamed)),
      file_(las::io::OutputFile::adopt(std::move(writing), destination_)),
      temporary_(std::move(temporary)) {}

bool StagedOutput::writes_destination(const std::string& destination) {
  struct stat st;
  return stat(destination.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

std::expected<StagedOutput, TileIndexError> StagedOutput::create(const std::string& destination) {
  if (writes_destination(destination)) {
    Descriptor fd(open(destination.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0) return std::unexpected(os_error(destination));
    return StagedOutput(Kind::destination, destination, Descriptor(), std::move(fd), "");
  }
  // The mode of a newly created file: 0666 less the umask, applied by open().
  Descriptor unnamed(open(folder_of(destination).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (unnamed.get() >= 0) {
    // The writer closes its own descriptor; ours names the file at commit.
    Descriptor writing(fcntl(unnamed.get(), F_DUPFD_CLOEXEC, 0));
    if (writing.get() < 0) return std::unexpected(os_error(destination));
    return StagedOutput(Kind::unnamed, destination, std::move(unnamed), std::move(writing), "");
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return std::unexpected(os_error(destination));

  return named_temporary(destination);
}

std::expected<StagedOutput, TileIndexError> StagedOutput::create_named(const std::string& destination) {
  if (writes_destination(destination)) {
    return std::unexpected(TileIndexError::output_error("not a regular file: " + destination));
  }
  return named_temporary(destination);
}

std::expected<StagedOutput, TileIndexError> StagedOutput::named_temporary(const std::string& destination) {
  const TemporaryName name(destination);
  std::string pattern = name.pattern();
  Descriptor named(mkstemps(pattern.data(), static_cast<int>(name.extension.size())));
  if (named.get() < 0) return std::unexpected(os_error(destination));
  return StagedOutput(Kind::named_temporary, destination, Descriptor(), std::move(named), pattern);
}

StagedOutput::StagedOutput(StagedOutput&& other) noexcept
    : kind_(other.kind_),
      destination_(std::move(other.destination_)),
      unnamed_(std::move(other.unnamed_)),
      file_(std::move(other.file_)),
      temporary_(std::exchange(other.temporary_, {})) {}

StagedOutput::~StagedOutput() {
  if (!temporary_.empty()) unlink(temporary_.c_str());
}

las::io::OutputFile StagedOutput::take_file() {
  las::io::OutputFile file = std::move(*file_);
  file_.reset();
  return file;
}

std::expected<void, TileIndexError> StagedOutput::commit() {
  if (kind_ == Kind::destination) return {};
  if (kind_ == Kind::unnamed) {
    // linkat cannot replace a file: a fresh temporary name first, then rename.
    const TemporaryName name(destination_);
    for (int attempt = 0; temporary_.empty(); ++attempt) {
      std::string candidate = name.random();
      if (link_unnamed(unnamed_.get(), candidate) == 0) {
        temporary_ = std::move(candidate);
      } else if (errno != EEXIST || attempt == 100) {
        return std::unexpected(os_error(destination_));
      }
    }
  } else if (chmod(temporary_.c_str(), 0666 & ~current_umask()) != 0) {
    return std::unexpected(os_error(temporary_));
  }
  if (std::rename(temporary_.c_str(), destination_.c_str()) != 0) return std::unexpected(os_error(destination_));
  temporary_.clear();
  unnamed_ = Descriptor();
  return {};
}

}  // namespace karvik_core::pipeline
