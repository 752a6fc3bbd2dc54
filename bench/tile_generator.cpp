#include "tile_generator.hpp"

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "las/header.hpp"
#include "las/writer.hpp"

namespace bench {
namespace {

double terrain(double x, double y) {
  return 20 + 8 * std::sin(x / 170.0) * std::cos(y / 230.0) + 3 * std::sin((x + y) / 55.0);
}

}  // namespace

std::expected<void, las::Error> generate_tile(const std::string& path, const TileParams& params) {
  las::HeaderBuilder builder;
  builder.version = params.format >= 6 ? las::Version{1, 4} : las::Version{1, 2};
  builder.point_format = las::PointFormat{params.format, 0};
  builder.transforms = {{0.001, params.min_x}, {0.001, params.min_y}, {0.001, 0}};
  builder.system_identifier = "karvik bench";
  builder.generating_software = "karvik tile generator";
  if (!params.wkt.empty()) {
    std::vector<std::uint8_t> wkt(params.wkt.begin(), params.wkt.end());
    wkt.push_back(0);
    builder.vlrs.push_back(las::Vlr{0, "LASF_Projection", 2112, "OGC coordinate system WKT", std::move(wkt)});
    if (builder.version.minor >= 4) builder.global_encoding |= las::global_encoding::kWkt;
  }
  auto header = builder.build();
  if (!header) return std::unexpected(header.error());
  auto writer = las::Writer::create(path, *header, params.compressed);
  if (!writer) return std::unexpected(writer.error());
  const las::RecordLayout layout = writer->layout();
  const las::PointFormat format = layout.format;
  const std::size_t length = format.record_length();

  std::mt19937_64 rng(params.seed);
  std::uniform_real_distribution<double> jitter(-0.4, 0.4);
  std::uniform_real_distribution<double> unit(0, 1);
  const auto side = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(params.points))));
  const double step = params.size / static_cast<double>(side);

  constexpr std::size_t kBatch = 65536;
  std::vector<std::uint8_t> batch;
  batch.reserve(kBatch * length);
  double gps_time = 3.0e8 + params.seed * 1e4;
  std::uint64_t written = 0;
  std::uint8_t returns_left = 0, pulse_returns = 0;
  while (written < params.points) {
    const std::uint64_t row = written / side, col = written % side;
    const double x = params.min_x + (static_cast<double>(col) + 0.5 + jitter(rng)) * step;
    const double y = params.min_y + (static_cast<double>(row) + 0.5 + jitter(rng)) * step;
    if (returns_left == 0) {
      const double vegetation = unit(rng);
      pulse_returns = vegetation < 0.7 ? 1 : vegetation < 0.9 ? 2 : 3;
      returns_left = pulse_returns;
      gps_time += 1e-5;
    }
    const std::uint8_t return_number = static_cast<std::uint8_t>(pulse_returns - returns_left + 1);
    --returns_left;
    const double ground = terrain(x, y);
    const double z = return_number < pulse_returns ? ground + 2 + 15 * unit(rng) : ground + 0.05 * jitter(rng);

    std::uint8_t* r = batch.data() + batch.size();
    batch.resize(batch.size() + length);
    std::memset(r, 0, length);
    const std::int32_t raw[3] = {*layout.x.inverse(x), *layout.y.inverse(y), *layout.z.inverse(z)};
    std::memcpy(r, raw, sizeof raw);
    const auto intensity = static_cast<std::uint16_t>(200 + 1800 * unit(rng));
    std::memcpy(r + 12, &intensity, 2);
    const std::uint8_t classification = return_number < pulse_returns ? 5 : 2;
    if (format.is_extended()) {
      r[14] = static_cast<std::uint8_t>(return_number | pulse_returns << 4);
      r[16] = classification;
    } else {
      r[14] = static_cast<std::uint8_t>(return_number | pulse_returns << 3);
      r[15] = classification;
    }
    std::memcpy(r + format.gps_time_offset(), &gps_time, 8);
    if (format.has_rgb()) {
      const auto shade = static_cast<std::uint16_t>(20000 + 10000 * std::sin(x / 30.0));
      const std::uint16_t rgb[3] = {shade, static_cast<std::uint16_t>(shade + 3000), 18000};
      std::memcpy(r + format.rgb_offset(), rgb, sizeof rgb);
    }
    ++written;
    if (batch.size() == kBatch * length || written == params.points) {
      if (auto ok = writer->write_records(layout, batch); !ok) return ok;
      batch.clear();
    }
  }
  return writer->close();
}

}  // namespace bench
