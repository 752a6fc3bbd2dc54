#include "index/tile_header.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "las/header_codec.hpp"
#include "las/io/file.hpp"
#include "las/laz/laszip_vlr.hpp"

namespace karvik_core::index {
namespace {

std::string iso_8601(const timespec& time) {
  std::tm utc{};
  const std::time_t seconds = time.tv_sec;
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03ldZ", static_cast<long>(time.tv_nsec / 1'000'000));
  return text;
}

std::expected<void, std::string> check_point_data(const las::FileHeader& file) {
  const las::Header& header = file.header;
  const auto& format = header.point_format();
  if (header.is_compressed()) {
    const auto& vlrs = header.vlrs();
    const auto found = std::find_if(vlrs.begin(), vlrs.end(), [](const las::Vlr& v) { return v.is_laszip(); });
    if (found == vlrs.end()) return std::unexpected("laszip vlr not found");
    auto vlr = las::laz::LaszipVlr::parse(found->data);
    if (!vlr) return std::unexpected(vlr.error().message());
    auto fits = vlr->check_point_format(format.id, static_cast<std::uint16_t>(format.record_length()));
    if (!fits) return std::unexpected(fits.error().message());
    return {};
  }
  const std::uint64_t available = file.point_data_limit - file.point_data_offset;
  if (header.number_of_points() > available / format.record_length()) {
    return std::unexpected(
        las::short_point_data(header.number_of_points(), format.record_length(), available).message());
  }
  return {};
}

}  // namespace

std::expected<FileStamp, std::string> stamp_of(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::unexpected(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return std::unexpected("not a regular file");
  return FileStamp{static_cast<std::uint64_t>(st.st_size), iso_8601(st.st_mtim)};
}

std::expected<TileHeader, std::string> read_tile_header(const std::string& path) {
  auto stamp = stamp_of(path);
  if (!stamp) return std::unexpected(std::move(stamp.error()));
  auto file = las::io::InputFile::open(path);
  if (!file) return std::unexpected(file.error().message());
  auto file_header = las::read_header(*file);
  if (!file_header) return std::unexpected(file_header.error().message());
  if (auto ok = check_point_data(*file_header); !ok) return std::unexpected(std::move(ok.error()));

  const las::Header& header = file_header->header;
  const las::Bounds& b = header.bounds();
  for (double v : {b.min.x, b.max.x, b.min.y, b.max.y, b.min.z, b.max.z}) {
    if (!std::isfinite(v)) return std::unexpected("the header's bounds are not finite numbers");
  }
  return TileHeader{
      .location = path,
      .footprint = geometry::Rect::from_pairs(b.min.x, b.max.x, b.min.y, b.max.y),
      .min_z = std::min(b.min.z, b.max.z),
      .max_z = std::max(b.min.z, b.max.z),
      .point_count = header.number_of_points(),
      .point_format = header.point_format().id,
      .las_version = header.version().text(),
      .stamp = std::move(*stamp),
      .crs = coordinate_system_of(header),
  };
}

}  // namespace karvik_core::index
