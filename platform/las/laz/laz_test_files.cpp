#include "las/laz/laz_test_files.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "las/io/file.hpp"
#include "las/writer.hpp"

namespace las::testing {

LazSample open_sample(const std::string& name) {
  LazSample s;
  s.bytes = read_bytes(sample(name));
  auto file = io::InputFile::open(sample(name));
  EXPECT_TRUE(file.has_value()) << name;
  auto header = read_header(*file);
  EXPECT_TRUE(header.has_value()) << name;
  s.header = *header;
  const auto& vlrs = s.header.header.vlrs();
  const auto found = std::find_if(vlrs.begin(), vlrs.end(), [](const Vlr& v) { return v.is_laszip(); });
  EXPECT_NE(found, vlrs.end()) << name;
  auto vlr = laz::LaszipVlr::parse(found->data);
  EXPECT_TRUE(vlr.has_value()) << name;
  s.vlr = *vlr;
  const auto& format = s.header.header.point_format();
  auto layout = laz::locate_chunks(
      [&](std::uint64_t offset, std::span<std::uint8_t> out) { return file->read_at(offset, out); },
      s.header.point_data_offset, s.header.point_data_limit, s.vlr, s.header.header.number_of_points(),
      static_cast<std::uint16_t>(format.record_length()));
  EXPECT_TRUE(layout.has_value()) << name << ": " << layout.error().message();
  s.layout = *layout;
  return s;
}

void write_laz(const std::string& path, const Header& header, const Bytes& records) {
  auto writer = Writer::create(path, header, true);
  ASSERT_TRUE(writer.has_value()) << writer.error().message();
  // In uneven pieces, so that chunks fill across calls.
  std::size_t done = 0;
  const std::size_t length = writer->layout().record_length();
  for (std::size_t piece = 777; done < records.size(); piece *= 3) {
    const std::size_t bytes = std::min(records.size() - done, piece * length);
    ASSERT_TRUE(writer->write_records(writer->layout(), std::span(records).subspan(done, bytes)).has_value());
    done += bytes;
  }
  auto closed = writer->close();
  ASSERT_TRUE(closed.has_value()) << closed.error().message();
}

}  // namespace las::testing
