#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "las/header.hpp"
#include "las/laz/chunk_table.hpp"
#include "las/record_layout.hpp"

namespace las::testing {

using Bytes = std::vector<std::uint8_t>;

std::string sample(const std::string& name);
Bytes read_bytes(const std::filesystem::path& path);
void write_bytes(const std::filesystem::path& path, const Bytes& bytes);

// A directory of its own for one test, removed with it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// A header of the version and format with the given extra bytes, odd scales and offsets.
Header make_header(Version version, std::uint8_t format, std::uint16_t extra_bytes = 0);

// `count` records of the layout whose every byte after x, y, z depends on the
// index, with coordinates on a small grid around the offsets.
Bytes make_records(const RecordLayout& layout, std::size_t count);

// Reads from `bytes`, which must outlive it; reading past their end fails.
laz::ReadAt read_at_of(const Bytes& bytes);

// Every record of a file.
Bytes read_all(const std::string& path);

}  // namespace las::testing
