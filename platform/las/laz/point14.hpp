#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "las/laz/channel_contexts.hpp"
#include "las/laz/integer_compressor.hpp"
#include "las/laz/layer_coders.hpp"
#include "las/laz/layered_item.hpp"
#include "las/laz/item_tools.hpp"
#include "las/laz/symbol_models.hpp"

// The POINT14 item (the 30-byte base record of formats 6-10) in versions 3 and
// 4, which code it identically. Its nine layers split in two halves: the
// coordinates (returns, scanner channel, x and y in one layer, z in another)
// and the attributes (the other seven). Each half is decoded over a whole
// chunk by its own pass, so the attributes of a chunk can be skipped when no
// point of it is wanted.
namespace las::laz {

inline constexpr std::size_t point14_size = 30;
inline constexpr std::size_t point14_layers = 9;

// The channel of a base record (bits 4-5 of byte 15).
inline unsigned point14_channel(const std::uint8_t* record) { return (record[15] >> 4) & 3; }

struct Point14Geometry {
  std::int32_t x = 0, y = 0, z = 0;
  std::uint8_t return_number = 0, number_of_returns = 0;
  bool gps_time_change = false;
};

template <class Coder>
struct Point14GeometryState {
  Point14Geometry last;
  std::array<SymbolModel, 8> changed_values = symbol_models<8>(128);
  SymbolModel scanner_channel{3};
  std::array<std::optional<SymbolModel>, 16> number_of_returns;
  std::array<std::optional<SymbolModel>, 16> return_number;
  SymbolModel return_number_gps_same{13};
  Coder dx{32, 2};
  Coder dy{32, 22};
  Coder z{32, 20};
  std::array<StreamingMedian5, 12> x_median;
  std::array<StreamingMedian5, 12> y_median;
  std::array<std::int32_t, 8> last_z{};

  void reset(const Point14Geometry& from);
};

struct Point14Attributes {
  std::uint16_t intensity = 0;
  std::uint8_t flags = 0;  // edge << 5 | scan direction << 4 | classification flags
  std::uint8_t classification = 0;
  std::uint8_t user_data = 0;
  std::int16_t scan_angle = 0;
  std::uint16_t point_source = 0;
  std::uint64_t gps_time = 0;  // the double's bits
};

// Up to four interleaved GPS time sequences, each with its last time and
// last integer difference.
struct GpsSequences {
  unsigned last = 0, next = 0;
  std::array<std::uint64_t, 4> times{};
  std::array<std::int32_t, 4> diffs{};
  std::array<std::int32_t, 4> extreme_counts{};
};

template <class Coder>
struct Point14AttributeState {
  Point14Attributes last;
  std::array<std::optional<SymbolModel>, 64> classification;
  std::array<std::optional<SymbolModel>, 64> flags;
  std::array<std::optional<SymbolModel>, 64> user_data;
  Coder intensity{16, 4};
  Coder scan_angle{16, 2};
  Coder point_source{16, 1};
  std::array<std::uint16_t, 8> last_intensity{};
  SymbolModel gps_multi;
  SymbolModel gps_no_diff{5};
  Coder gps_time{32, 9};
  GpsSequences gps;

  Point14AttributeState();
  void reset(const Point14Attributes& from);
};

// The first pass: x, y, z, return counts and scanner channel of every point
// after the first, and what the other layers need to know of them.
class Point14GeometryDecoder {
 public:
  // layers: the x/y layer and the z layer. False when the data is corrupt.
  bool decode(ChunkRecords records, std::span<Point14Changes> changes, Layers layers);

 private:
  Point14Changes decode_point(std::uint8_t* record);

  ChannelContexts<Point14GeometryState<IntegerDecompressor>> contexts_;
  LayerDecoder xy_;
  LayerDecoder z_;
};

// The second pass: the seven attribute layers.
class Point14AttributeDecoder {
 public:
  bool decode(ChunkRecords records, std::span<const Point14Changes> changes, Layers layers);

 private:
  using State = Point14AttributeState<IntegerDecompressor>;
  void decode_point(const Point14Changes& changes, std::uint8_t* record);
  void decode_gps_time(State& state);

  enum Layer { classification, flags, intensity, scan_angle, user_data, point_source, gps_time, count };
  ChannelContexts<State> contexts_;
  std::array<LayerDecoder, Layer::count> layers_;
  bool corrupt_ = false;
};

// What the encoder compares a point with to set its change flags.
struct Point14ChangeBase {
  std::uint64_t gps_time = 0;
  std::int16_t scan_angle = 0;
  std::uint16_t point_source = 0;
};

struct Point14ChangeState {
  Point14ChangeBase last;
  void reset(const Point14ChangeBase& from) { last = from; }
};

class Point14Encoder {
 public:
  // Codes every point after the first into the nine layers, appended to
  // `layers` in file order, and tells the other items about each point.
  void encode(ConstChunkRecords records, std::span<Point14Changes> changes, LayerBytes& layers);

 private:
  using GeometryState = Point14GeometryState<IntegerCompressor>;
  using AttributeState = Point14AttributeState<IntegerCompressor>;
  void start(const std::uint8_t* first);
  Point14Changes encode_point(const std::uint8_t* record);
  void encode_attributes(const Point14Changes& changes, const std::uint8_t* record);
  void encode_gps_time(AttributeState& state, std::uint64_t time);

  enum Layer { xy, z, classification, flags, intensity, scan_angle, user_data, point_source, gps_time, count };
  ChannelContexts<Point14ChangeState> changes_;
  ChannelContexts<GeometryState> geometry_;
  ChannelContexts<AttributeState> attributes_;
  std::array<LayerEncoder, Layer::count> layers_;
  std::array<bool, Layer::count> changed_{};
};

}  // namespace las::laz
