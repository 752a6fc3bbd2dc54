#include "las/header.hpp"

#include <gtest/gtest.h>

#include <tuple>

#include "las/test_files.hpp"

namespace las {
namespace {

HeaderBuilder builder_for(Version version, std::uint8_t format) {
  HeaderBuilder builder;
  builder.version = version;
  builder.point_format.id = format;
  return builder;
}

TEST(HeaderBuilder, VersionsCarryTheirFormats) {
  const std::pair<Version, std::uint8_t> largest[] = {{{1, 0}, 1}, {{1, 1}, 1}, {{1, 2}, 3}, {{1, 3}, 5}, {{1, 4}, 10}};
  for (const auto& [version, last] : largest) {
    for (std::uint8_t format = 0; format <= 11; ++format) {
      auto header = builder_for(version, format).build();
      if (format <= last) {
        EXPECT_TRUE(header.has_value()) << version.text() << " " << int{format} << ": " << header.error().message();
      } else {
        ASSERT_FALSE(header.has_value()) << version.text() << " " << int{format};
        EXPECT_EQ(header.error().message(),
                  "version " + version.text() + " does not support format " + std::to_string(format));
      }
    }
  }
}

TEST(HeaderBuilder, RefusesWhatTheVersionCannotCarry) {
  struct Case {
    const char* what;
    HeaderBuilder builder;
    std::string message;
  };
  std::vector<Case> cases;
  const auto add = [&](const char* what, Version version, auto change, std::string message) {
    HeaderBuilder builder = builder_for(version, 0);
    change(builder);
    cases.push_back({what, std::move(builder), std::move(message)});
  };
  add("file source id", {1, 0}, [](HeaderBuilder& b) { b.file_source_id = 3; },
      "feature FileSourceId is not supported by version 1.0");
  add("gps standard time", {1, 1}, [](HeaderBuilder& b) { b.global_encoding = global_encoding::kGpsStandardTime; },
      "feature GpsStandardTime is not supported by version 1.1");
  add("synthetic return numbers", {1, 2},
      [](HeaderBuilder& b) { b.global_encoding = global_encoding::kSyntheticReturnNumbers; },
      "feature SyntheticReturnNumbers is not supported by version 1.2");
  add("evlrs", {1, 3}, [](HeaderBuilder& b) { b.evlrs.push_back({}); },
      "feature Evlrs is not supported by version 1.3");
  add("too many points", {1, 3}, [](HeaderBuilder& b) { b.number_of_points = 4294967296; },
      "too many points for version 1.3: 4294967296");
  add("too many points of one return", {1, 2}, [](HeaderBuilder& b) { b.number_of_points_by_return[2] = 5000000000; },
      "too many points for version 1.2: 5000000000");
  add("version 1.5", {1, 5}, [](HeaderBuilder&) {}, "version 1.5 is not supported");
  add("version 2.0", {2, 0}, [](HeaderBuilder&) {}, "version 2.0 is not supported");
  add("system identifier", {1, 2}, [](HeaderBuilder& b) { b.system_identifier = std::string(33, 's'); },
      "the system identifier is longer than 32 bytes: " + std::string(33, 's'));
  add("generating software", {1, 2}, [](HeaderBuilder& b) { b.generating_software = std::string(40, 'g'); },
      "the generating software is longer than 32 bytes: " + std::string(40, 'g'));
  add("vlr user id", {1, 2}, [](HeaderBuilder& b) { b.vlrs.push_back({0, std::string(17, 'u'), 1, "", {}}); },
      "the VLR user id is longer than 16 bytes: " + std::string(17, 'u'));
  add("vlr data", {1, 2}, [](HeaderBuilder& b) { b.vlrs.push_back({0, "big", 1, "", testing::Bytes(65536)}); },
      "the VLR big/1 holds 65536 bytes, more than a VLR can hold (65535)");
  add("record length", {1, 2}, [](HeaderBuilder& b) { b.point_format.extra_bytes = 65535 - 19; },
      "the point record length 65536 is longer than 65535 bytes");
  add("header padding", {1, 4}, [](HeaderBuilder& b) { b.header_padding.resize(65536 - 375); },
      "the header padding makes the header larger than 65535 bytes");
  for (const Case& c : cases) {
    auto header = c.builder.build();
    ASSERT_FALSE(header.has_value()) << c.what;
    EXPECT_EQ(header.error().message(), c.message) << c.what;
  }
}

TEST(HeaderBuilder, PassesGlobalEncodingOnRequest) {
  for (auto [version, bit, feature] : {std::tuple{Version{1, 1}, global_encoding::kGpsStandardTime, "GpsStandardTime"},
                                       {Version{1, 2}, global_encoding::kSyntheticReturnNumbers,
                                        "SyntheticReturnNumbers"}}) {
    HeaderBuilder builder = builder_for(version, 1);
    builder.global_encoding = bit;
    EXPECT_STREQ(builder.unsupported_global_encoding(), feature);
    builder.pass_global_encoding = true;
    auto header = builder.build();
    ASSERT_TRUE(header.has_value()) << header.error().message();
    EXPECT_EQ(header->fields().global_encoding, bit);
  }
  EXPECT_EQ(builder_for({1, 2}, 1).unsupported_global_encoding(), nullptr);
}

TEST(HeaderBuilder, AcceptsWhatTheVersionCarries) {
  HeaderBuilder builder = builder_for({1, 4}, 6);
  builder.file_source_id = 7;
  builder.global_encoding = global_encoding::kGpsStandardTime | global_encoding::kSyntheticReturnNumbers |
                            global_encoding::kWkt;
  builder.number_of_points = 1ull << 40;
  builder.evlrs.push_back({0, "big", 1, "", testing::Bytes(100000)});
  builder.vlrs.push_back({0, "full", 1, "", testing::Bytes(65535)});
  auto header = builder.build();
  ASSERT_TRUE(header.has_value()) << header.error().message();
  EXPECT_TRUE(header->has_gps_standard_time());
  EXPECT_TRUE(header->has_synthetic_return_numbers());
  EXPECT_TRUE(header->has_wkt());
  // Header -> builder -> header changes nothing.
  auto again = HeaderBuilder(*header).build();
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, *header);
}

}  // namespace
}  // namespace las
