#include "las/point_fields.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace las {
namespace {

// An Extra Bytes descriptor: data type, options (the size for type 0) and name.
std::vector<std::uint8_t> descriptor(std::uint8_t type, std::uint8_t options, const std::string& name) {
  std::vector<std::uint8_t> d(192, 0);
  d[2] = type;
  d[3] = options;
  std::memcpy(d.data() + 4, name.data(), std::min<std::size_t>(name.size(), 32));
  return d;
}

Vlr extra_bytes_vlr(const std::vector<std::vector<std::uint8_t>>& descriptors) {
  Vlr vlr{0, "LASF_Spec", 4, "", {}};
  for (const auto& d : descriptors) vlr.data.insert(vlr.data.end(), d.begin(), d.end());
  return vlr;
}

std::vector<std::string> extra_names(std::uint16_t extra_bytes, const std::vector<Vlr>& vlrs) {
  const PointFormat format{1, extra_bytes};
  std::vector<std::string> names;
  for (const PointField& field : point_fields(format, vlrs)) {
    if (field.offset >= format.base_length()) names.push_back(field.name);
  }
  return names;
}

TEST(PointFields, ExtraBytesAreNamedOnlyWhenTheDescriptorsAccountForEachByte) {
  const std::vector<std::string> fallback = {"extra_bytes"};
  // i2 + u1 + 3 x u2 (deprecated array type) + 2 undocumented bytes = 11 bytes.
  const Vlr good = extra_bytes_vlr({descriptor(4, 0, "height"), descriptor(1, 0, "count"),
                                    descriptor(23, 0, "colour"), descriptor(0, 2, "spare")});
  EXPECT_EQ(extra_names(11, {good}), (std::vector<std::string>{"height", "count", "colour", "spare"}));
  // Split over two VLRs, in their order.
  EXPECT_EQ(extra_names(3, {extra_bytes_vlr({descriptor(4, 0, "a")}), extra_bytes_vlr({descriptor(1, 0, "b")})}),
            (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(extra_names(4, {}), fallback);                                              // no VLR
  EXPECT_EQ(extra_names(12, {good}), fallback);                                         // a byte left over
  EXPECT_EQ(extra_names(10, {good}), fallback);                                         // more described than held
  EXPECT_EQ(extra_names(3, {extra_bytes_vlr({descriptor(4, 0, "a"), descriptor(1, 0, "a")})}), fallback);
  EXPECT_EQ(extra_names(2, {extra_bytes_vlr({descriptor(4, 0, "gps_time")})}), fallback);  // a field's name
  EXPECT_EQ(extra_names(2, {extra_bytes_vlr({descriptor(4, 0, "")})}), fallback);
  EXPECT_EQ(extra_names(2, {extra_bytes_vlr({descriptor(31, 0, "x")})}), fallback);    // unknown type
  EXPECT_EQ(extra_names(2, {extra_bytes_vlr({descriptor(0, 0, "x")})}), fallback);     // undocumented, no size
  Vlr torn = extra_bytes_vlr({descriptor(4, 0, "a")});
  torn.data.pop_back();
  EXPECT_EQ(extra_names(2, {torn}), fallback);
  // The fallback holds every extra byte.
  const auto fields = point_fields(PointFormat{1, 4}, {});
  EXPECT_EQ(fields.back().unpacked_size(), 4u);
  EXPECT_EQ(fields.back().offset, 28u);
}

TEST(PointFields, UnpackingSplitsBitFieldsAndCopiesTheRest) {
  const PointFormat format{6, 1};
  const std::vector<PointField> fields = point_fields(format, {});
  std::vector<std::uint8_t> record(format.record_length(), 0);
  record[0] = 0x78;                  // X = 0x12345678
  record[1] = 0x56;
  record[2] = 0x34;
  record[3] = 0x12;
  record[14] = 0x32;                 // return 2 of 3
  record[15] = 0b1010'0110;          // key point, withheld, scanner channel 2, edge of flight line
  record[16] = 200;                  // classification
  record[30] = 0xAB;                 // the extra byte
  const FieldUnpacker unpacker(fields, record.size());
  std::vector<std::uint8_t> row(unpacker.row_size());
  unpacker.unpack(record, row.data());
  auto value = [&](const std::string& name) {
    std::size_t offset = 0;
    for (const PointField& f : fields) {
      if (f.name == name) {
        return std::vector<std::uint8_t>(row.begin() + offset, row.begin() + offset + f.unpacked_size());
      }
      offset += f.unpacked_size();
    }
    ADD_FAILURE() << name;
    return std::vector<std::uint8_t>{};
  };
  EXPECT_EQ(value("X"), (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(value("return_number"), std::vector<std::uint8_t>{2});
  EXPECT_EQ(value("number_of_returns"), std::vector<std::uint8_t>{3});
  EXPECT_EQ(value("synthetic"), std::vector<std::uint8_t>{0});
  EXPECT_EQ(value("key_point"), std::vector<std::uint8_t>{1});
  EXPECT_EQ(value("withheld"), std::vector<std::uint8_t>{1});
  EXPECT_EQ(value("scanner_channel"), std::vector<std::uint8_t>{2});
  EXPECT_EQ(value("edge_of_flight_line"), std::vector<std::uint8_t>{1});
  EXPECT_EQ(value("classification"), std::vector<std::uint8_t>{200});
  EXPECT_EQ(value("extra_bytes"), std::vector<std::uint8_t>{0xAB});
}

}  // namespace
}  // namespace las
