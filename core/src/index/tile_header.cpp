#include "index/tile_header.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include "las/header_codec.hpp"
#include "las/io/file.hpp"
#include "las/laz/laszip_vlr.hpp"
#include "las/reader.hpp"

namespace karvik_core::index {
namespace {

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

std::expected<FileStamp, std::string> file_stamp(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::unexpected(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return std::unexpected("not a regular file");
  return FileStamp{static_cast<std::uint64_t>(st.st_size),
                   static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

std::string modified_text(const FileStamp& stamp) {
  // Floor division, so that times before 1970 keep their millisecond.
  std::int64_t seconds = stamp.modified_ns / 1'000'000'000, nanoseconds = stamp.modified_ns % 1'000'000'000;
  if (nanoseconds < 0) {
    --seconds;
    nanoseconds += 1'000'000'000;
  }
  std::tm utc{};
  const std::time_t time = seconds;
  gmtime_r(&time, &utc);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03ldZ", static_cast<long>(nanoseconds / 1'000'000));
  return text;
}

std::expected<TileHeader, std::string> read_tile_header(const std::string& path) {
  auto stamp = file_stamp(path);
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

std::expected<std::vector<ChunkBounds>, std::string> read_chunk_bounds(const std::string& path,
                                                                       const FileStamp& stamp) {
  auto reader = las::Reader::open(path);
  if (!reader) return std::unexpected(reader.error().message());
  const las::RecordLayout layout = reader->layout();
  ChunkBounds unit;
  std::uint64_t seen = 0;
  // Keeps no record: it only measures them, so layered chunks stop at their coordinates.
  const las::RecordFilter measure = [&](std::span<const std::uint8_t> records, std::size_t length,
                                        std::span<std::uint8_t>) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    unit.min_x = unit.min_y = unit.min_z = inf;
    unit.max_x = unit.max_y = unit.max_z = -inf;
    for (std::size_t at = 0; at + length <= records.size(); at += length) {
      const las::Vector3 p = layout.coordinates(records.data() + at);
      unit.min_x = std::min(unit.min_x, p.x), unit.max_x = std::max(unit.max_x, p.x);
      unit.min_y = std::min(unit.min_y, p.y), unit.max_y = std::max(unit.max_y, p.y);
      unit.min_z = std::min(unit.min_z, p.z), unit.max_z = std::max(unit.max_z, p.z);
      ++seen;
    }
  };
  std::vector<ChunkBounds> units;
  std::vector<std::uint8_t> none;
  std::uint64_t total = 0;
  for (;;) {
    seen = 0;
    auto count = reader->read_batch(none, measure);
    if (!count) return std::unexpected(count.error().message());
    if (*count == 0) break;
    const std::string name = "chunk " + std::to_string(units.size());
    if (seen != *count) return std::unexpected(name + " was not measured whole");
    for (double v : {unit.min_x, unit.max_x, unit.min_y, unit.max_y, unit.min_z, unit.max_z}) {
      if (!std::isfinite(v)) return std::unexpected(name + " has coordinates that are not finite numbers");
    }
    unit.first_point = total;
    unit.point_count = *count;
    total += *count;
    units.push_back(unit);
  }
  if (total != reader->header().number_of_points()) {
    return std::unexpected("the chunks hold " + std::to_string(total) + " points, the header announces " +
                           std::to_string(reader->header().number_of_points()));
  }
  auto after = file_stamp(path);
  if (!after) return std::unexpected(std::move(after.error()));
  if (*after != stamp) return std::unexpected("the file changed while it was read");
  return units;
}

}  // namespace karvik_core::index
