#include "las/laz/laszip_vlr.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "las/bytes.hpp"

namespace las::laz {
namespace {

TEST(LaszipVlr, WhatWeWriteForEachFormat) {
  using enum ItemType;
  const std::pair<std::uint8_t, std::vector<LaszipItem>> cases[] = {
      {0, {{point10, 20, 2}}},
      {1, {{point10, 20, 2}, {gpstime11, 8, 2}}},
      {2, {{point10, 20, 2}, {rgb12, 6, 2}, {byte, 3, 2}}},
      {3, {{point10, 20, 2}, {gpstime11, 8, 2}, {rgb12, 6, 2}}},
      {4, {{point10, 20, 2}, {gpstime11, 8, 2}, {wavepacket13, 29, 1}}},
      {5, {{point10, 20, 2}, {gpstime11, 8, 2}, {rgb12, 6, 2}, {wavepacket13, 29, 1}, {byte, 3, 2}}},
  };
  for (const auto& [format, items] : cases) {
    const std::uint16_t extra = items.back().type == byte ? items.back().size : 0;
    auto vlr = LaszipVlr::for_point_format(format, extra);
    ASSERT_TRUE(vlr.has_value());
    EXPECT_EQ(vlr->compressor, Compressor::pointwise_chunked);
    EXPECT_EQ(vlr->chunk_size, 50000u);
    EXPECT_EQ(vlr->items, items) << "format " << int{format};
    EXPECT_TRUE(vlr->check_point_format(format, static_cast<std::uint16_t>(vlr->record_length())));
    auto back = LaszipVlr::parse(vlr->serialize());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, *vlr);
  }
}

TEST(LaszipVlr, MalformedPayloadsAreRefused) {
  const std::vector<std::uint8_t> good = LaszipVlr::for_point_format(3, 0).value().serialize();
  struct Case {
    const char* what;
    std::vector<std::uint8_t> payload;
    std::string message;
  };
  auto with = [&](std::size_t at, std::uint16_t value) {
    auto p = good;
    store(p.data() + at, value);
    return p;
  };
  const Case cases[] = {
      {"too short", std::vector<std::uint8_t>(good.begin(), good.begin() + 33),
       "laszip error: the LASzip VLR is too short (33 bytes)"},
      {"an item short", std::vector<std::uint8_t>(good.begin(), good.end() - 6),
       "laszip error: the LASzip VLR has 46 bytes but 3 items need 52"},
      {"compressor 0", with(0, 0), "laszip error: unknown compressor 0"},
      {"coder 1", with(2, 1), "laszip error: unknown coder 1"},
      {"RGB12 version 3", with(34 + 12 + 4, 3), "laszip error: item type 8 version 3 is not supported"},
      {"item type 5", with(34 + 6, 5), "laszip error: item type 5 version 2 is not supported"},
  };
  for (const auto& c : cases) {
    auto vlr = LaszipVlr::parse(c.payload);
    ASSERT_FALSE(vlr.has_value()) << c.what;
    EXPECT_EQ(vlr.error().message(), c.message) << c.what;
  }
}

TEST(LaszipVlr, ItemsMustMatchThePointFormat) {
  using enum ItemType;
  struct Case {
    std::uint8_t format;
    std::uint16_t record_length;
    std::vector<LaszipItem> items;
    std::string why;
  };
  const Case cases[] = {
      {1, 28, {{gpstime11, 8, 2}, {point10, 20, 2}}, "item 1 should be POINT10"},
      {3, 28, {{point10, 20, 2}, {gpstime11, 8, 2}}, "item 3 should be RGB12"},
      {1, 31, {{point10, 20, 2}, {gpstime11, 8, 2}, {byte, 2, 2}}, "the items make records of 30 bytes"},
      {0, 23, {{point10, 20, 2}, {rgb12, 3, 2}}, "unexpected items after the point's own"},
      {0, 20, {{point10, 19, 2}}, "item 1 should be POINT10"},
  };
  for (const auto& c : cases) {
    LaszipVlr vlr;
    vlr.items = c.items;
    auto checked = vlr.check_point_format(c.format, c.record_length);
    ASSERT_FALSE(checked.has_value()) << c.why;
    EXPECT_EQ(checked.error().message(), "laszip error: the LASzip VLR does not match point format " +
                                             std::to_string(c.format) + " with record length " +
                                             std::to_string(c.record_length) + ": " + c.why);
  }
  LaszipVlr layered = LaszipVlr::for_point_format(1, 0).value();
  layered.compressor = Compressor::layered_chunked;
  EXPECT_FALSE(layered.check_point_format(1, 28).has_value()) << "formats 0-5 are pointwise";
}

}  // namespace
}  // namespace las::laz
