#include "las/test_files.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "las/bytes.hpp"
#include "las/reader.hpp"

namespace las::testing {

std::string sample(const std::string& name) { return std::string(KARVIK_SAMPLES_DIR) + "/" + name; }

Bytes read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TempDir::TempDir() {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = "las-test-" + std::to_string(::getpid()) + "-" + test->test_suite_name() + "." + test->name();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  path_ = std::filesystem::temp_directory_path() / name;
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() { std::filesystem::remove_all(path_); }

Header make_header(Version version, std::uint8_t format, std::uint16_t extra_bytes) {
  HeaderBuilder builder;
  builder.version = version;
  builder.point_format = {format, extra_bytes};
  builder.transforms = {{0.01, 1000.5}, {0.001, -2000.25}, {0.0025, 12.125}};
  builder.system_identifier = "karvik test";
  builder.generating_software = "las_tests";
  builder.creation_day_of_year = 40;
  builder.creation_year = 2024;
  builder.guid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  builder.vlrs.push_back({0, "karvik", 7, "a test record", {1, 2, 3, 4, 5}});
  builder.vlr_padding = {0xAA, 0xBB};
  if (version >= Version{1, 4}) builder.evlrs.push_back({0, "karvik", 8, "an extended record", Bytes(70000, 9)});
  auto header = builder.build();
  EXPECT_TRUE(header.has_value()) << header.error().message();
  return *header;
}

Bytes make_records(const RecordLayout& layout, std::size_t count) {
  std::mt19937 random(static_cast<unsigned>(count * 31 + layout.format.id));
  const std::size_t length = layout.record_length();
  Bytes bytes(count * length);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* r = &bytes[i * length];
    for (std::size_t b = 12; b < length; ++b) r[b] = static_cast<std::uint8_t>(random());
    store<std::int32_t>(r, static_cast<std::int32_t>(i % 1000) - 500);
    store<std::int32_t>(r + 4, static_cast<std::int32_t>(i / 1000) * 3 - 70);
    store<std::int32_t>(r + 8, static_cast<std::int32_t>(random() % 20001) - 10000);
  }
  return bytes;
}

laz::ReadAt read_at_of(const Bytes& bytes) {
  return [&bytes](std::uint64_t offset, std::span<std::uint8_t> out) -> std::expected<void, Error> {
    if (offset > bytes.size() || bytes.size() - offset < out.size()) return std::unexpected(Error("read past the end"));
    std::memcpy(out.data(), bytes.data() + offset, out.size());
    return {};
  };
}

Bytes read_all(const std::string& path) {
  auto reader = Reader::open(path);
  EXPECT_TRUE(reader.has_value()) << reader.error().message();
  Bytes records;
  if (!reader) return records;
  for (;;) {
    auto read = reader->read_batch(records);
    EXPECT_TRUE(read.has_value()) << read.error().message();
    if (!read || *read == 0) return records;
  }
}

}  // namespace las::testing
