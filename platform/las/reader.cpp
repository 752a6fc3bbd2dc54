#include "las/reader.hpp"

#include <algorithm>

#include "las/compressed_stream.hpp"
#include "las/header_codec.hpp"
#include "las/io/file.hpp"
#include "las/plain_stream.hpp"

namespace las {

std::expected<Reader, Error> Reader::open(const std::string& path) {
  auto opened = io::InputFile::open(path);
  if (!opened) return std::unexpected(opened.error());
  auto file = std::make_shared<const io::InputFile>(std::move(*opened));
  auto file_header = read_header(*file);
  if (!file_header) return std::unexpected(file_header.error());
  const Header& header = file_header->header;
  if (!header.is_compressed()) {
    auto stream = std::make_unique<PlainStreamReader>(file, file_header->point_data_offset,
                                                      file_header->point_data_limit, header.number_of_points(),
                                                      header.point_format().record_length());
    return Reader(std::move(file_header->header), std::move(stream));
  }
  if (std::none_of(header.vlrs().begin(), header.vlrs().end(), [](const Vlr& vlr) { return vlr.is_laszip(); })) {
    return std::unexpected(Error("laszip vlr not found"));
  }
  auto stream = open_compressed_stream(file, *file_header);
  if (!stream) return std::unexpected(stream.error());
  return Reader(std::move(file_header->header), std::move(*stream));
}

Reader::Reader(Header header, std::unique_ptr<PointStreamReader> stream)
    : header_(std::move(header)), stream_(std::move(stream)) {}
Reader::Reader(Reader&&) noexcept = default;
Reader& Reader::operator=(Reader&&) noexcept = default;
Reader::~Reader() = default;

std::optional<std::size_t> Reader::chunk_count() const { return stream_->chunk_count(); }
std::optional<std::size_t> Reader::unit_count() const { return stream_->unit_count(); }
PointUnit Reader::unit(std::size_t index) const { return stream_->unit(index); }

std::expected<std::optional<std::vector<Bounds>>, Error> Reader::unit_cubes() const {
  return stream_->unit_cubes(header_);
}

std::expected<std::size_t, Error> Reader::read_unit(std::size_t index, std::vector<std::uint8_t>& out) const {
  return stream_->read_unit(index, out, nullptr);
}

std::expected<std::size_t, Error> Reader::read_unit(std::size_t index, std::vector<std::uint8_t>& out,
                                                    const RecordFilter& keep) const {
  return stream_->read_unit(index, out, &keep);
}

std::expected<std::size_t, Error> Reader::read_batch(std::vector<std::uint8_t>& out) {
  return stream_->read_batch(out, nullptr);
}

std::expected<std::size_t, Error> Reader::read_batch(std::vector<std::uint8_t>& out, const RecordFilter& keep) {
  return stream_->read_batch(out, &keep);
}

}  // namespace las
