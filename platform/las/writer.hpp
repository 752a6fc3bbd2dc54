#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include "las/error.hpp"
#include "las/header.hpp"
#include "las/io/file.hpp"
#include "las/point_stream.hpp"
#include "las/record_layout.hpp"

namespace las {

// Writes one LAS or LAZ file through an 8 KiB buffer. The header and VLRs are
// written at creation with zero counts and empty bounds; the records are
// counted by return and widen the bounds as they come; close() writes the
// EVLRs and rewrites the header with what was counted.
class Writer {
 public:
  // Creates (or replaces) the file. The header's counts and bounds are reset;
  // its compression flag is replaced by `compressed`.
  static std::expected<Writer, Error> create(const std::string& path, const Header& header, bool compressed);
  // The same over a file opened elsewhere; a failure removes it (OutputFile::remove).
  static std::expected<Writer, Error> create(io::OutputFile file, const Header& header, bool compressed);

  Writer(Writer&&) noexcept;
  Writer& operator=(Writer&&) noexcept;
  // An open writer is finished as close() would finish it; a failure there is dropped.
  ~Writer();

  RecordLayout layout() const;
  // Records in the writer's layout are written as they are; records of the
  // same format with another scale or offset get their coordinates re-encoded;
  // records of a compatible format are converted through the generic point.
  // On failure the records before the failing one stay written.
  std::expected<void, Error> write_records(const RecordLayout& layout, std::span<const std::uint8_t> records);

  // A point to return to: rewind() drops every record written after it, and
  // with them their counts and bounds. Only where can_rewind() (a regular
  // file, not a device or a pipe); a later mark replaces an earlier one.
  struct Mark {
    std::uint64_t number_of_points = 0;
    std::array<std::uint64_t, 15> number_of_points_by_return{};
    Bounds bounds;
    StreamMark stream;
  };
  bool can_rewind() const;
  Mark mark();
  std::expected<void, Error> rewind(const Mark& mark);

  // Finishes the file. After a failure the writer is still open and may be closed again.
  std::expected<void, Error> close();

 private:
  struct State;
  explicit Writer(std::unique_ptr<State> state);
  void finish_unclosed() noexcept;

  std::unique_ptr<State> state_;
};

}  // namespace las
