#pragma once

#include <expected>
#include <memory>

#include "las/header.hpp"
#include "las/header_codec.hpp"
#include "las/io/file.hpp"
#include "las/point_stream.hpp"

namespace las {

// The LASzip point stream of a file whose header has the compression bit and a LASzip VLR.
std::expected<std::unique_ptr<PointStreamReader>, Error> open_compressed_stream(
    std::shared_ptr<const io::InputFile> file, const FileHeader& file_header);

// A LASzip point stream into `file`, whose header is still to be written:
// replaces the LASzip VLRs of `header` by the one that describes the stream.
std::expected<std::unique_ptr<PointStreamWriter>, Error> create_compressed_stream(io::OutputFile& file,
                                                                                  HeaderBuilder& header);

}  // namespace las
