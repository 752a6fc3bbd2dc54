#include "las/header_codec.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "las/bytes.hpp"

namespace las {
namespace {

constexpr std::size_t kVlrHeaderSize = 54;
constexpr std::size_t kEvlrHeaderSize = 60;
constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

// Byte offsets of the header fields.
namespace at {
constexpr std::size_t kFileSourceId = 4;
constexpr std::size_t kGlobalEncoding = 6;
constexpr std::size_t kGuid = 8;
constexpr std::size_t kVersion = 24;
constexpr std::size_t kSystemIdentifier = 26;
constexpr std::size_t kGeneratingSoftware = 58;
constexpr std::size_t kCreationDay = 90;
constexpr std::size_t kCreationYear = 92;
constexpr std::size_t kHeaderSize = 94;
constexpr std::size_t kPointDataOffset = 96;
constexpr std::size_t kNumberOfVlrs = 100;
constexpr std::size_t kPointFormat = 104;
constexpr std::size_t kRecordLength = 105;
constexpr std::size_t kLegacyCount = 107;
constexpr std::size_t kLegacyByReturn = 111;
constexpr std::size_t kScale = 131;
constexpr std::size_t kOffset = 155;
constexpr std::size_t kMaxX = 179;
constexpr std::size_t kWaveformStart = 227;
constexpr std::size_t kEvlrStart = 235;
constexpr std::size_t kEvlrCount = 243;
constexpr std::size_t kCount = 247;
constexpr std::size_t kByReturn = 255;
}  // namespace at

// Fixed-size text fields keep their bytes up to the trailing NULs.
std::string read_text(const std::uint8_t* at, std::size_t size) {
  std::size_t length = size;
  while (length > 0 && at[length - 1] == 0) --length;
  return std::string(reinterpret_cast<const char*>(at), length);
}

void write_text(std::uint8_t* at, const std::string& text, std::size_t size) {
  std::memcpy(at, text.data(), std::min(text.size(), size));
}

std::string signature_text(const std::uint8_t* bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t c = bytes[i];
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '\'') {
      text += static_cast<char>(c);
    } else {
      text += "\\x";
      text += kHex[c >> 4];
      text += kHex[c & 15];
    }
  }
  return text;
}

// The VLRs fill [begin, end); what follows the last one is kept as padding.
std::expected<std::uint64_t, Error> read_vlrs(const io::InputFile& file, std::uint32_t count, std::uint64_t begin,
                                              std::uint64_t end, std::vector<Vlr>& vlrs) {
  std::uint64_t position = begin;
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto runs_past = [&] {
      return Error("VLR " + std::to_string(i + 1) + " of " + std::to_string(count) +
                   " runs past the start of the point data at byte " + std::to_string(end));
    };
    if (end - position < kVlrHeaderSize) return std::unexpected(runs_past());
    std::uint8_t head[kVlrHeaderSize];
    if (auto read = file.read_at(position, head); !read) return std::unexpected(read.error());
    const std::uint16_t length = load<std::uint16_t>(head + 20);
    if (end - position - kVlrHeaderSize < length) return std::unexpected(runs_past());
    Vlr vlr{load<std::uint16_t>(head), read_text(head + 2, 16), load<std::uint16_t>(head + 18),
            read_text(head + 22, 32), std::vector<std::uint8_t>(length)};
    if (auto read = file.read_at(position + kVlrHeaderSize, vlr.data); !read) return std::unexpected(read.error());
    vlrs.push_back(std::move(vlr));
    position += kVlrHeaderSize + length;
  }
  return position;
}

std::expected<void, Error> read_evlrs(const io::InputFile& file, std::uint32_t count, std::uint64_t begin,
                                      std::vector<Vlr>& evlrs) {
  const std::uint64_t end = file.size();
  std::uint64_t position = begin;
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto runs_past = [&] {
      return Error("EVLR " + std::to_string(i + 1) + " of " + std::to_string(count) +
                   " runs past the end of the file at byte " + std::to_string(end));
    };
    if (position > end || end - position < kEvlrHeaderSize) return std::unexpected(runs_past());
    std::uint8_t head[kEvlrHeaderSize];
    if (auto read = file.read_at(position, head); !read) return std::unexpected(read.error());
    const std::uint64_t length = load<std::uint64_t>(head + 20);
    if (end - position - kEvlrHeaderSize < length) return std::unexpected(runs_past());
    const auto held = memory_size(length);
    if (!held) {
      return std::unexpected(Error("EVLR " + std::to_string(i + 1) + " of " + std::to_string(count) + " holds " +
                                   std::to_string(length) + " bytes, more than this machine can hold in memory"));
    }
    Vlr evlr{load<std::uint16_t>(head), read_text(head + 2, 16), load<std::uint16_t>(head + 18),
             read_text(head + 28, 32), std::vector<std::uint8_t>(*held)};
    if (auto read = file.read_at(position + kEvlrHeaderSize, evlr.data); !read) return std::unexpected(read.error());
    evlrs.push_back(std::move(evlr));
    position += kEvlrHeaderSize + length;
  }
  return {};
}

std::uint64_t vlrs_size(const Header& header) {
  std::uint64_t size = 0;
  for (const Vlr& vlr : header.vlrs()) size += kVlrHeaderSize + vlr.data.size();
  return size;
}

}  // namespace

std::expected<FileHeader, Error> read_header(const io::InputFile& file) {
  std::uint8_t start[4];
  if (file.size() < sizeof start) {
    return std::unexpected(Error("the file is too short to be a LAS file (" + std::to_string(file.size()) + " bytes)"));
  }
  if (auto read = file.read_at(0, start); !read) return std::unexpected(read.error());
  if (std::memcmp(start, "LASF", 4) != 0) {
    return std::unexpected(Error("the file signature is not 'LASF': '" + signature_text(start) + "'"));
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min<std::uint64_t>(file.size(), 375)));
  if (bytes.size() < 227) {
    return std::unexpected(Error("the header is truncated: the file has " + std::to_string(file.size()) + " bytes"));
  }
  if (auto read = file.read_at(0, bytes); !read) return std::unexpected(read.error());

  HeaderFields f;
  f.version = {bytes[at::kVersion], bytes[at::kVersion + 1]};
  if (!f.version.is_supported()) return std::unexpected(Error("version " + f.version.text() + " is not supported"));
  const std::uint16_t header_size = load<std::uint16_t>(&bytes[at::kHeaderSize]);
  if (header_size < f.version.header_size()) {
    return std::unexpected(Error("the header is too small (" + std::to_string(header_size) + " bytes)"));
  }
  if (header_size > bytes.size()) {
    bytes.resize(header_size);
    if (auto read = file.read_at(0, bytes); !read) return std::unexpected(read.error());
  }

  const std::uint8_t format_byte = bytes[at::kPointFormat];
  f.compressed = (format_byte & 0xC0) != 0;
  f.point_format.id = format_byte & 0x3F;
  if (!f.version.supports(f.point_format)) {
    return std::unexpected(
        Error("version " + f.version.text() + " does not support format " + std::to_string(f.point_format.id)));
  }
  const std::uint16_t record_length = load<std::uint16_t>(&bytes[at::kRecordLength]);
  if (record_length < f.point_format.base_length()) {
    return std::unexpected(Error("the point record length " + std::to_string(record_length) + " is shorter than format " +
                                 std::to_string(f.point_format.id) + " needs (" +
                                 std::to_string(f.point_format.base_length()) + " bytes)"));
  }
  f.point_format.extra_bytes = record_length - f.point_format.base_length();

  f.file_source_id = load<std::uint16_t>(&bytes[at::kFileSourceId]);
  f.global_encoding = load<std::uint16_t>(&bytes[at::kGlobalEncoding]);
  std::memcpy(f.guid.data(), &bytes[at::kGuid], f.guid.size());
  f.system_identifier = read_text(&bytes[at::kSystemIdentifier], 32);
  f.generating_software = read_text(&bytes[at::kGeneratingSoftware], 32);
  f.creation_day_of_year = load<std::uint16_t>(&bytes[at::kCreationDay]);
  f.creation_year = load<std::uint16_t>(&bytes[at::kCreationYear]);
  f.transforms = {{load<double>(&bytes[at::kScale]), load<double>(&bytes[at::kOffset])},
                  {load<double>(&bytes[at::kScale + 8]), load<double>(&bytes[at::kOffset + 8])},
                  {load<double>(&bytes[at::kScale + 16]), load<double>(&bytes[at::kOffset + 16])}};
  f.bounds.max = {load<double>(&bytes[at::kMaxX]), load<double>(&bytes[at::kMaxX + 16]),
                  load<double>(&bytes[at::kMaxX + 32])};
  f.bounds.min = {load<double>(&bytes[at::kMaxX + 8]), load<double>(&bytes[at::kMaxX + 24]),
                  load<double>(&bytes[at::kMaxX + 40])};

  f.number_of_points = load<std::uint32_t>(&bytes[at::kLegacyCount]);
  for (int i = 0; i < 5; ++i) f.number_of_points_by_return[i] = load<std::uint32_t>(&bytes[at::kLegacyByReturn + 4 * i]);
  std::uint64_t evlr_start = 0;
  std::uint32_t evlr_count = 0;
  if (f.version.minor >= 3) f.waveform_start = load<std::uint64_t>(&bytes[at::kWaveformStart]);
  if (f.version.minor >= 4) {
    evlr_start = load<std::uint64_t>(&bytes[at::kEvlrStart]);
    evlr_count = load<std::uint32_t>(&bytes[at::kEvlrCount]);
    // Legacy fields are zero for the formats and counts they cannot hold.
    if (const auto count = load<std::uint64_t>(&bytes[at::kCount]); count != 0) f.number_of_points = count;
    std::array<std::uint64_t, 15> by_return{};
    for (int i = 0; i < 15; ++i) by_return[i] = load<std::uint64_t>(&bytes[at::kByReturn + 8 * i]);
    if (std::any_of(by_return.begin(), by_return.end(), [](std::uint64_t n) { return n != 0; })) {
      f.number_of_points_by_return = by_return;
    }
  }
  f.header_padding.assign(bytes.begin() + f.version.header_size(), bytes.begin() + header_size);

  const std::uint64_t offset = load<std::uint32_t>(&bytes[at::kPointDataOffset]);
  if (offset < header_size) {
    return std::unexpected(Error("the point data starts at byte " + std::to_string(offset) + ", inside the header (" +
                                 std::to_string(header_size) + " bytes)"));
  }
  if (offset > file.size()) {
    return std::unexpected(Error("the point data starts at byte " + std::to_string(offset) +
                                 ", past the end of the file (" + std::to_string(file.size()) + " bytes)"));
  }
  const auto vlrs_end = read_vlrs(file, load<std::uint32_t>(&bytes[at::kNumberOfVlrs]), header_size, offset, f.vlrs);
  if (!vlrs_end) return std::unexpected(vlrs_end.error());
  f.vlr_padding.resize(static_cast<std::uint32_t>(offset - *vlrs_end));  // below the 32-bit point data offset
  if (auto read = file.read_at(*vlrs_end, f.vlr_padding); !read) return std::unexpected(read.error());

  std::uint64_t limit = file.size();
  if (evlr_count > 0) {
    if (evlr_start < offset || evlr_start > file.size()) {
      return std::unexpected(Error("the EVLRs start at byte " + std::to_string(evlr_start) +
                                   ", outside the file after the point data (" + std::to_string(offset) + " to " +
                                   std::to_string(file.size()) + ")"));
    }
    limit = evlr_start;
  }
  // Points running into the EVLRs are a broken header; points running past the
  // end of the file are a truncated file, which fails when the reading gets there.
  if (!f.compressed && evlr_count > 0 && f.number_of_points > (limit - offset) / record_length) {
    return std::unexpected(short_point_data(f.number_of_points, record_length, limit - offset));
  }
  if (auto read = read_evlrs(file, evlr_count, evlr_start, f.evlrs); !read) return std::unexpected(read.error());
  return FileHeader{Header::as_read(std::move(f)), offset, limit};
}

Error short_point_data(std::uint64_t points, std::size_t record_length, std::uint64_t available) {
  return Error("the header announces " + std::to_string(points) + " points of " + std::to_string(record_length) +
               " bytes, but the file holds " + std::to_string(available) + " bytes of point data");
}

std::uint64_t point_data_offset(const Header& header) {
  const HeaderFields& f = header.fields();
  return f.version.header_size() + f.header_padding.size() + vlrs_size(header) + f.vlr_padding.size();
}

std::vector<std::uint8_t> encode_header(const Header& header, std::uint64_t evlr_start) {
  const HeaderFields& f = header.fields();
  std::vector<std::uint8_t> bytes(f.version.header_size(), 0);
  std::memcpy(bytes.data(), "LASF", 4);
  store<std::uint16_t>(&bytes[at::kFileSourceId], f.file_source_id);
  store<std::uint16_t>(&bytes[at::kGlobalEncoding], f.global_encoding);
  std::memcpy(&bytes[at::kGuid], f.guid.data(), f.guid.size());
  bytes[at::kVersion] = f.version.major;
  bytes[at::kVersion + 1] = f.version.minor;
  write_text(&bytes[at::kSystemIdentifier], f.system_identifier, 32);
  write_text(&bytes[at::kGeneratingSoftware], f.generating_software, 32);
  store<std::uint16_t>(&bytes[at::kCreationDay], f.creation_day_of_year);
  store<std::uint16_t>(&bytes[at::kCreationYear], f.creation_year);
  store<std::uint16_t>(&bytes[at::kHeaderSize], static_cast<std::uint16_t>(bytes.size() + f.header_padding.size()));
  store<std::uint32_t>(&bytes[at::kPointDataOffset], static_cast<std::uint32_t>(point_data_offset(header)));
  store<std::uint32_t>(&bytes[at::kNumberOfVlrs], static_cast<std::uint32_t>(f.vlrs.size()));
  bytes[at::kPointFormat] = f.point_format.id | (f.compressed ? 0x80 : 0);
  store<std::uint16_t>(&bytes[at::kRecordLength], static_cast<std::uint16_t>(f.point_format.record_length()));

  // Legacy counts: what fits, and nothing for the extended formats of 1.4.
  const bool legacy = !f.point_format.is_extended() && f.number_of_points <= kMaxU32;
  store<std::uint32_t>(&bytes[at::kLegacyCount], legacy ? static_cast<std::uint32_t>(f.number_of_points) : 0);
  for (int i = 0; i < 5; ++i) {
    const std::uint64_t n = f.number_of_points_by_return[i];
    store<std::uint32_t>(&bytes[at::kLegacyByReturn + 4 * i], legacy && n <= kMaxU32 ? static_cast<std::uint32_t>(n) : 0);
  }
  const Transform* transforms[] = {&f.transforms.x, &f.transforms.y, &f.transforms.z};
  for (int i = 0; i < 3; ++i) {
    store<double>(&bytes[at::kScale + 8 * i], transforms[i]->scale);
    store<double>(&bytes[at::kOffset + 8 * i], transforms[i]->offset);
  }
  const double bounds[] = {f.bounds.max.x, f.bounds.min.x, f.bounds.max.y, f.bounds.min.y, f.bounds.max.z, f.bounds.min.z};
  for (int i = 0; i < 6; ++i) store<double>(&bytes[at::kMaxX + 8 * i], bounds[i]);
  if (f.version.minor >= 3) store<std::uint64_t>(&bytes[at::kWaveformStart], f.waveform_start);
  if (f.version.minor >= 4) {
    store<std::uint64_t>(&bytes[at::kEvlrStart], f.evlrs.empty() ? 0 : evlr_start);
    store<std::uint32_t>(&bytes[at::kEvlrCount], static_cast<std::uint32_t>(f.evlrs.size()));
    store<std::uint64_t>(&bytes[at::kCount], f.number_of_points);
    for (int i = 0; i < 15; ++i) store<std::uint64_t>(&bytes[at::kByReturn + 8 * i], f.number_of_points_by_return[i]);
  }
  bytes.insert(bytes.end(), f.header_padding.begin(), f.header_padding.end());
  return bytes;
}

std::vector<std::uint8_t> encode_vlrs(const Header& header) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(vlrs_size(header)) + header.fields().vlr_padding.size());
  for (const Vlr& vlr : header.vlrs()) {
    std::uint8_t head[kVlrHeaderSize] = {};
    store<std::uint16_t>(head, vlr.reserved);
    write_text(head + 2, vlr.user_id, 16);
    store<std::uint16_t>(head + 18, vlr.record_id);
    store<std::uint16_t>(head + 20, static_cast<std::uint16_t>(vlr.data.size()));
    write_text(head + 22, vlr.description, 32);
    bytes.insert(bytes.end(), head, head + kVlrHeaderSize);
    bytes.insert(bytes.end(), vlr.data.begin(), vlr.data.end());
  }
  const auto& padding = header.fields().vlr_padding;
  bytes.insert(bytes.end(), padding.begin(), padding.end());
  return bytes;
}

std::vector<std::uint8_t> encode_evlrs(const Header& header) {
  std::vector<std::uint8_t> bytes;
  for (const Vlr& evlr : header.evlrs()) {
    std::uint8_t head[kEvlrHeaderSize] = {};
    store<std::uint16_t>(head, evlr.reserved);
    write_text(head + 2, evlr.user_id, 16);
    store<std::uint16_t>(head + 18, evlr.record_id);
    store<std::uint64_t>(head + 20, evlr.data.size());
    write_text(head + 28, evlr.description, 32);
    bytes.insert(bytes.end(), head, head + kEvlrHeaderSize);
    bytes.insert(bytes.end(), evlr.data.begin(), evlr.data.end());
  }
  return bytes;
}

}  // namespace las
