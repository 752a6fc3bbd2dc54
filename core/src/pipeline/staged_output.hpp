#pragma once

#include <expected>
#include <string>

#include "error.hpp"

namespace karvik_core::pipeline {

// Where the output is written while it is produced: a temporary file beside
// the destination, renamed over it by commit(), so that a failed extraction
// leaves an existing file untouched and no partial one behind. A destination
// that exists and is not a regular file (/dev/null, a FIFO) is written directly.
class StagedOutput {
 public:
  static std::expected<StagedOutput, TileIndexError> create(const std::string& destination);
  StagedOutput(StagedOutput&& other) noexcept;
  StagedOutput& operator=(StagedOutput&&) = delete;
  ~StagedOutput();  // removes the temporary file unless committed

  // The path to write to. A temporary name keeps the destination's extension.
  const std::string& write_path() const { return write_path_; }
  // Gives the file the permissions of a newly created one and renames it over the destination.
  std::expected<void, TileIndexError> commit();

 private:
  StagedOutput(std::string destination, std::string write_path, bool staged)
      : destination_(std::move(destination)), write_path_(std::move(write_path)), staged_(staged) {}

  std::string destination_;
  std::string write_path_;
  bool staged_;  // false: writing the destination itself
};

}  // namespace karvik_core::pipeline
