#pragma once

#include <expected>
#include <optional>
#include <string>

#include "error.hpp"
#include "las/io/file.hpp"

namespace karvik_core::pipeline {

// Where the output is written while it is produced: a file without a name
// (O_TMPFILE) in the destination's folder, which commit() names under a
// temporary name and renames over the destination. A failed extraction leaves
// an existing file untouched and, even when the process is killed, nothing
// behind. Where the file system has no unnamed files, a named temporary file
// `.NAME.karvik-XXXXXX.EXT` stands in, removed on failure. A destination that
// exists and is not a regular file (/dev/null, a FIFO) is written directly.
class StagedOutput {
 public:
  static std::expected<StagedOutput, TileIndexError> create(const std::string& destination);
  // Always the named temporary file, for writers that open the file by its
  // name (SQLite); a destination that exists must be a regular file.
  static std::expected<StagedOutput, TileIndexError> create_named(const std::string& destination);
  // Whether create() writes the destination itself: it exists and is not a regular file.
  static bool writes_destination(const std::string& destination);
  StagedOutput(StagedOutput&& other) noexcept;
  StagedOutput& operator=(StagedOutput&&) = delete;
  ~StagedOutput();  // removes a named temporary file unless committed

  // The file to write, once; its path() is the destination, for its extension and errors.
  las::io::OutputFile take_file();
  // The named temporary file's path; empty for the other kinds.
  const std::string& temporary_path() const { return temporary_; }
  // Names the written file as the destination, with the permissions of a newly created file.
  std::expected<void, TileIndexError> commit();

 private:
  enum class Kind { unnamed, named_temporary, destination };
  StagedOutput(Kind kind, std::string destination, las::io::Descriptor unnamed, las::io::Descriptor writing,
               std::string temporary);
  static std::expected<StagedOutput, TileIndexError> named_temporary(const std::string& destination);

  Kind kind_;
  std::string destination_;
  las::io::Descriptor unnamed_;  // the unnamed file, to name it at commit
  std::optional<las::io::OutputFile> file_;
  std::string temporary_;  // the named temporary file, until committed
};

}  // namespace karvik_core::pipeline
