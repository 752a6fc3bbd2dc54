#include "tile_generator.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "las/header.hpp"
#include "las/writer.hpp"

namespace bench {
namespace {

constexpr double kStripWidth = 450;
constexpr double kStripOverlap = 0.25;
constexpr double kTurnSeconds = 90;
constexpr unsigned kSortCellBits = 10;  // a 1024 x 1024 grid of cells

double terrain(double x, double y) {
  return 20 + 8 * std::sin(x / 170.0) * std::cos(y / 230.0) + 3 * std::sin((x + y) / 55.0);
}

// Makes records at given positions: pulses of one to three returns over the
// terrain, GPS time advancing by pulse.
class RecordMaker {
 public:
  RecordMaker(const las::RecordLayout& layout, std::mt19937_64& rng, std::uint32_t seed)
      : layout_(layout), rng_(rng), gps_time_(3.0e8 + seed * 1e4) {}

  void pause(double seconds) { gps_time_ += seconds; }

  void make(double x, double y, std::uint8_t* r) {
    const las::PointFormat& format = layout_.format;
    if (returns_left_ == 0) {
      const double vegetation = unit_(rng_);
      pulse_returns_ = vegetation < 0.7 ? 1 : vegetation < 0.9 ? 2 : 3;
      returns_left_ = pulse_returns_;
      gps_time_ += 1e-5;
    }
    const std::uint8_t return_number = static_cast<std::uint8_t>(pulse_returns_ - returns_left_ + 1);
    --returns_left_;
    const double ground = terrain(x, y);
    const double z = return_number < pulse_returns_ ? ground + 2 + 15 * unit_(rng_) : ground + 0.05 * jitter_(rng_);

    std::memset(r, 0, format.record_length());
    const std::int32_t raw[3] = {*layout_.x.inverse(x), *layout_.y.inverse(y), *layout_.z.inverse(z)};
    std::memcpy(r, raw, sizeof raw);
    const auto intensity = static_cast<std::uint16_t>(200 + 1800 * unit_(rng_));
    std::memcpy(r + 12, &intensity, 2);
    const std::uint8_t classification = return_number < pulse_returns_ ? 5 : 2;
    if (format.is_extended()) {
      r[14] = static_cast<std::uint8_t>(return_number | pulse_returns_ << 4);
      r[16] = classification;
    } else {
      r[14] = static_cast<std::uint8_t>(return_number | pulse_returns_ << 3);
      r[15] = classification;
    }
    std::memcpy(r + format.gps_time_offset(), &gps_time_, 8);
    if (format.has_rgb()) {
      const auto shade = static_cast<std::uint16_t>(20000 + 10000 * std::sin(x / 30.0));
      const std::uint16_t rgb[3] = {shade, static_cast<std::uint16_t>(shade + 3000), 18000};
      std::memcpy(r + format.rgb_offset(), rgb, sizeof rgb);
    }
  }

 private:
  const las::RecordLayout& layout_;
  std::mt19937_64& rng_;
  std::uniform_real_distribution<double> jitter_{-0.4, 0.4};
  std::uniform_real_distribution<double> unit_{0, 1};
  double gps_time_;
  std::uint8_t returns_left_ = 0, pulse_returns_ = 0;
};

// Calls place(x, y) for each point of the jittered grid, row by row.
template <typename Place>
void grid_positions(const TileParams& params, std::mt19937_64& rng, Place place) {
  std::uniform_real_distribution<double> jitter(-0.4, 0.4);
  const auto side = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(params.points))));
  const double step = params.size / static_cast<double>(side);
  for (std::uint64_t i = 0; i < params.points; ++i) {
    const std::uint64_t row = i / side, col = i % side;
    const double x = params.min_x + (static_cast<double>(col) + 0.5 + jitter(rng)) * step;
    const double y = params.min_y + (static_cast<double>(row) + 0.5 + jitter(rng)) * step;
    place(x, y);
  }
}

// The part of a strip that lies in the tile, across track.
struct StripSpan {
  double from, to;
};

std::vector<StripSpan> strip_spans(const TileParams& params) {
  const double spacing = kStripWidth * (1 - kStripOverlap);
  std::vector<StripSpan> spans;
  // Strips of a larger block: the tile's edges fall anywhere within them.
  for (double centre = params.min_x - 0.3 * kStripWidth; centre - kStripWidth / 2 < params.min_x + params.size;
       centre += spacing) {
    spans.push_back({std::max(params.min_x, centre - kStripWidth / 2),
                     std::min(params.min_x + params.size, centre + kStripWidth / 2)});
  }
  return spans;
}

// Calls place(x, y) for params.points points in acquisition order and
// pause() at each turn between strips. The spacing is chosen so that the
// strips hold at least that many points; the last strip may end a few scan
// lines short of the tile's edge.
template <typename Place, typename Pause>
void flight_line_positions(const TileParams& params, std::mt19937_64& rng, Place place, Pause pause) {
  std::uniform_real_distribution<double> jitter(-0.4, 0.4);
  const std::vector<StripSpan> spans = strip_spans(params);
  double covered = 0;
  for (const auto& s : spans) covered += s.to - s.from;
  double spacing = std::sqrt(covered * params.size / static_cast<double>(params.points));
  const auto capacity = [&](double d, std::uint64_t lines) {
    std::uint64_t per_line = 0;
    for (const auto& s : spans) per_line += static_cast<std::uint64_t>((s.to - s.from) / d);
    return per_line * lines;
  };
  std::uint64_t lines = 0;
  for (;; spacing *= 0.999) {
    lines = static_cast<std::uint64_t>(std::ceil(params.size / spacing));
    if (capacity(spacing, lines) >= params.points) break;
  }
  const double line_step = params.size / static_cast<double>(lines);
  std::uint64_t placed = 0;
  for (std::size_t strip = 0; strip < spans.size() && placed < params.points; ++strip) {
    if (strip != 0) pause();
    const auto across = static_cast<std::uint64_t>((spans[strip].to - spans[strip].from) / spacing);
    const bool northward = strip % 2 == 0;
    for (std::uint64_t line = 0; line < lines && placed < params.points; ++line) {
      const double along = static_cast<double>(northward ? line : lines - 1 - line);
      const bool eastward = line % 2 == 0;
      for (std::uint64_t k = 0; k < across && placed < params.points; ++k, ++placed) {
        const double i = static_cast<double>(eastward ? k : across - 1 - k);
        // The aircraft moves on while the mirror sweeps: each line slants.
        const double progress = (static_cast<double>(k) + 0.5) / static_cast<double>(across);
        const double x = spans[strip].from + (i + 0.5 + jitter(rng)) * spacing;
        const double sweep = northward ? progress : -progress;
        const double y = params.min_y + (along + 0.5 + 0.5 * sweep + jitter(rng) * 0.5) * line_step;
        place(std::clamp(x, params.min_x, params.min_x + params.size),
              std::clamp(y, params.min_y, params.min_y + params.size));
      }
    }
  }
}

// The cell's position along a Hilbert curve over the grid: consecutive cells
// are neighbours, so any run of records covers a compact area.
std::uint64_t hilbert_index(std::uint32_t x, std::uint32_t y) {
  std::uint64_t index = 0;
  for (std::uint32_t half = 1u << (kSortCellBits - 1); half > 0; half /= 2) {
    const std::uint32_t rx = (x & half) ? 1 : 0;
    const std::uint32_t ry = (y & half) ? 1 : 0;
    index += std::uint64_t{half} * half * ((3 * rx) ^ ry);
    if (ry == 0) {
      if (rx == 1) {
        x = half - 1 - (x & (half - 1));
        y = half - 1 - (y & (half - 1));
      }
      std::swap(x, y);
    }
  }
  return index;
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
  const std::size_t length = layout.format.record_length();

  std::mt19937_64 rng(params.seed);
  RecordMaker maker(layout, rng, params.seed);
  const auto pause = [&] { maker.pause(kTurnSeconds); };

  if (params.order == PointOrder::sorted) {
    // All records in memory, then written in the order of their cells' indexes
    // (upper bits) and their own index (lower 32 bits).
    if (params.points > 0xFFFFFFFFu) return std::unexpected(las::Error("a sorted tile holds at most 2^32 - 1 points"));
    std::vector<std::uint8_t> records(params.points * length);
    std::vector<std::uint64_t> keys(params.points);
    const double cells = static_cast<double>(1u << kSortCellBits);
    const auto cell = [&](double v, double min) {
      return static_cast<std::uint32_t>(std::clamp((v - min) / params.size * cells, 0.0, cells - 1));
    };
    std::uint64_t made = 0;
    flight_line_positions(
        params, rng,
        [&](double x, double y) {
          maker.make(x, y, records.data() + made * length);
          keys[made] = hilbert_index(cell(x, params.min_x), cell(y, params.min_y)) << 32 | made;
          ++made;
        },
        pause);
    std::sort(keys.begin(), keys.end());
    constexpr std::size_t kBatch = 65536;
    std::vector<std::uint8_t> batch;
    batch.reserve(kBatch * length);
    for (std::size_t first = 0; first < keys.size(); first += kBatch) {
      batch.clear();
      for (std::size_t i = first; i < std::min(keys.size(), first + kBatch); ++i) {
        const std::uint8_t* r = records.data() + (keys[i] & 0xFFFFFFFFu) * length;
        batch.insert(batch.end(), r, r + length);
      }
      if (auto ok = writer->write_records(layout, batch); !ok) return ok;
    }
    return writer->close();
  }

  constexpr std::size_t kBatch = 65536;
  std::vector<std::uint8_t> batch;
  batch.reserve(kBatch * length);
  std::expected<void, las::Error> written;
  const auto place = [&](double x, double y) {
    batch.resize(batch.size() + length);
    maker.make(x, y, batch.data() + batch.size() - length);
    if (batch.size() == kBatch * length) {
      if (written) written = writer->write_records(layout, batch);
      batch.clear();
    }
  };
  if (params.order == PointOrder::flight_lines) {
    flight_line_positions(params, rng, place, pause);
  } else {
    grid_positions(params, rng, place);
  }
  if (!written) return written;
  if (!batch.empty()) {
    if (auto ok = writer->write_records(layout, batch); !ok) return ok;
  }
  return writer->close();
}

}  // namespace bench
