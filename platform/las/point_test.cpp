#include "las/point.hpp"

#include <gtest/gtest.h>

#include "las/bytes.hpp"
#include "las/test_files.hpp"

namespace las {
namespace {

using testing::Bytes;

const RecordLayout kLegacy{{1, 0}, {1, 0}, {1, 0}, {1, 0}};
const RecordLayout kExtended{{6, 0}, {1, 0}, {1, 0}, {1, 0}};

// A format 1 record laid out by hand from the LAS tables.
Bytes legacy_record() {
  Bytes r(28, 0);
  store<std::int32_t>(&r[0], 1);
  store<std::int32_t>(&r[4], -2);
  store<std::int32_t>(&r[8], 3);
  store<std::uint16_t>(&r[12], 0x1234);
  r[14] = 3 | (5 << 3) | 0x40 | 0x80;  // return 3 of 5, scan direction, edge
  r[15] = 9 | 0x20 | 0x80;             // class 9, synthetic, withheld
  r[16] = static_cast<std::uint8_t>(-12);
  r[17] = 0x55;
  store<std::uint16_t>(&r[18], 0x0102);
  store<double>(&r[20], 12.5);
  return r;
}

Bytes extended_record() {
  Bytes r(30, 0);
  store<std::int32_t>(&r[0], 4);
  r[14] = 11 | (13 << 4);                    // return 11 of 13
  r[15] = 0x02 | 0x08 | (2 << 4) | 0x80;     // key point, overlap, channel 2, edge
  r[16] = 200;
  r[17] = 7;
  store<std::int16_t>(&r[18], -15000);
  store<std::uint16_t>(&r[20], 99);
  store<double>(&r[22], -1.0);
  return r;
}

TEST(Point, DecodesLegacyFields) {
  const Bytes r = legacy_record();
  const Point p = decode_point(kLegacy, r.data());
  EXPECT_EQ(p.position, (Vector3{1, -2, 3}));
  EXPECT_EQ(p.intensity, 0x1234);
  EXPECT_EQ(p.return_number, 3);
  EXPECT_EQ(p.number_of_returns, 5);
  EXPECT_TRUE(p.scan_direction);
  EXPECT_TRUE(p.edge_of_flight_line);
  EXPECT_EQ(p.classification, 9);
  EXPECT_TRUE(p.synthetic);
  EXPECT_FALSE(p.key_point);
  EXPECT_TRUE(p.withheld);
  EXPECT_EQ(p.scan_angle, -12);
  EXPECT_EQ(p.user_data, 0x55);
  EXPECT_EQ(p.point_source_id, 0x0102);
  EXPECT_EQ(p.gps_time, 12.5);
  EXPECT_FALSE(p.color || p.nir || p.wave_packet);
}

TEST(Point, DecodesExtendedFields) {
  const Bytes r = extended_record();
  const Point p = decode_point(kExtended, r.data());
  EXPECT_EQ(p.return_number, 11);
  EXPECT_EQ(p.number_of_returns, 13);
  EXPECT_FALSE(p.synthetic);
  EXPECT_TRUE(p.key_point);
  EXPECT_TRUE(p.overlap);
  EXPECT_EQ(p.scanner_channel, 2);
  EXPECT_FALSE(p.scan_direction);
  EXPECT_TRUE(p.edge_of_flight_line);
  EXPECT_EQ(p.classification, 200);
  EXPECT_EQ(p.user_data, 7);
  EXPECT_DOUBLE_EQ(p.scan_angle, -90);
  EXPECT_EQ(p.point_source_id, 99);
  EXPECT_EQ(p.gps_time, -1.0);
}

TEST(Point, LegacyToExtendedAndBack) {
  const Bytes legacy = legacy_record();
  Bytes extended(30);
  ASSERT_TRUE(encode_point(decode_point(kLegacy, legacy.data()), kExtended, extended.data()).has_value());
  EXPECT_EQ(extended[14], 3 | (5 << 4));
  EXPECT_EQ(extended[15], 0x01 | 0x04 | 0x40 | 0x80);
  EXPECT_EQ(extended[16], 9);
  EXPECT_EQ(load<std::int16_t>(&extended[18]), -2000);  // -12 degrees in 0.006 degree steps
  Bytes back(28);
  ASSERT_TRUE(encode_point(decode_point(kExtended, extended.data()), kLegacy, back.data()).has_value());
  EXPECT_EQ(back, legacy);
}

TEST(Point, ExtendedValuesALegacyFormatCannotHold) {
  struct Case {
    const char* what;
    void (*change)(Point&);
    std::string message;
  };
  const Case cases[] = {
      {"return number", [](Point& p) { p.return_number = 9; }, "point format 1 cannot hold return number 9"},
      {"number of returns", [](Point& p) { p.number_of_returns = 8; }, "point format 1 cannot hold number of returns 8"},
      {"classification", [](Point& p) { p.classification = 40; }, "point format 1 cannot hold classification 40"},
      {"scan angle", [](Point& p) { p.scan_angle = -150; }, "point format 1 cannot hold scan angle -150"},
  };
  Bytes extended = extended_record();
  for (const Case& c : cases) {
    Point p = decode_point(kExtended, extended.data());
    p.return_number = 1;
    p.number_of_returns = 1;
    p.classification = 2;
    p.overlap = false;
    c.change(p);
    Bytes out(28);
    auto encoded = encode_point(p, kLegacy, out.data());
    ASSERT_FALSE(encoded.has_value()) << c.what;
    EXPECT_EQ(encoded.error().message(), c.message);
  }
}

TEST(Point, OverlapBecomesClassTwelveInLegacyFormats) {
  Point p = decode_point(kExtended, extended_record().data());
  p.return_number = 1;
  p.number_of_returns = 1;
  Bytes out(28);
  ASSERT_TRUE(encode_point(p, kLegacy, out.data()).has_value());
  EXPECT_EQ(out[15] & 0x1F, 12);
}

}  // namespace
}  // namespace las
