#include "pointcloud/writer.hpp"

#include <cctype>
#include <filesystem>

namespace karvik_core::pointcloud {
namespace {

TileIndexError output_error(const las::Error& error) { return TileIndexError::output_error(error.message()); }

}  // namespace

bool PointCloudWriter::is_laz_path(std::string_view path) {
  std::string extension = std::filesystem::path(path).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".laz";
}

std::expected<PointCloudWriter, TileIndexError> PointCloudWriter::create(const std::string& output_path,
                                                                         const las::Header& header) {
  auto writer = las::Writer::create(output_path, header, is_laz_path(output_path));
  if (!writer) return std::unexpected(output_error(writer.error()));
  return PointCloudWriter(std::move(*writer));
}

std::expected<PointCloudWriter, TileIndexError> PointCloudWriter::create(las::io::OutputFile file,
                                                                         const las::Header& header) {
  const bool laz = is_laz_path(file.path());
  auto writer = las::Writer::create(std::move(file), header, laz);
  if (!writer) return std::unexpected(output_error(writer.error()));
  return PointCloudWriter(std::move(*writer));
}

std::expected<void, TileIndexError> PointCloudWriter::write_points(const PointRecords& records) {
  return write_records(records.layout, records.bytes);
}

std::expected<void, TileIndexError> PointCloudWriter::write_records(const las::RecordLayout& layout,
                                                                    std::span<const std::uint8_t> records) {
  if (auto written = writer_.write_records(layout, records); !written) {
    return std::unexpected(output_error(written.error()));
  }
  return {};
}

std::expected<void, TileIndexError> PointCloudWriter::rewind(const las::Writer::Mark& mark) {
  if (auto rewound = writer_.rewind(mark); !rewound) return std::unexpected(output_error(rewound.error()));
  return {};
}

std::expected<void, TileIndexError> PointCloudWriter::close() {
  if (auto closed = writer_.close(); !closed) return std::unexpected(output_error(closed.error()));
  return {};
}

}  // namespace karvik_core::pointcloud
