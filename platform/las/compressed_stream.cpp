#include "las/compressed_stream.hpp"

namespace las {

std::expected<std::unique_ptr<PointStreamReader>, Error> open_compressed_stream(std::shared_ptr<const io::InputFile>,
                                                                                const FileHeader&) {
  return std::unexpected(Error("LAZ is not supported yet (compressed point data)"));
}

std::expected<std::unique_ptr<PointStreamWriter>, Error> create_compressed_stream(io::OutputFile&, HeaderBuilder&) {
  return std::unexpected(Error("LAZ output is not supported yet"));
}

}  // namespace las
