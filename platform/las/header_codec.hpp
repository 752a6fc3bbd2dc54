#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "las/error.hpp"
#include "las/header.hpp"
#include "las/io/file.hpp"

namespace las {

// A header as read from a file, with where its point data lies.
struct FileHeader {
  Header header;
  std::uint64_t point_data_offset = 0;
  // End of the bytes that may hold point data: the first EVLR, or the end of the file.
  std::uint64_t point_data_limit = 0;
};

// Reads and checks the header, the VLRs and the EVLRs. Sizes that the header
// states are checked against the file before anything is read by them.
std::expected<FileHeader, Error> read_header(const io::InputFile& file);

// Byte offset of the point data when the header is written.
std::uint64_t point_data_offset(const Header& header);

// The header as stored (the version's size plus the kept padding), with the
// derived fields computed and the EVLRs placed at `evlr_start`.
std::vector<std::uint8_t> encode_header(const Header& header, std::uint64_t evlr_start);
// The VLRs and the padding after them: the bytes between header and points.
std::vector<std::uint8_t> encode_vlrs(const Header& header);
std::vector<std::uint8_t> encode_evlrs(const Header& header);

}  // namespace las
