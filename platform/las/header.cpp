#include "las/header.hpp"

#include <algorithm>

namespace las {
namespace {

constexpr std::uint64_t kMaxLegacyCount = std::numeric_limits<std::uint32_t>::max();

Error unsupported_feature(const char* feature, const Version& version) {
  return Error(std::string("feature ") + feature + " is not supported by version " + version.text());
}

Error too_long(const char* what, const std::string& text, std::size_t limit) {
  return Error(std::string(what) + " is longer than " + std::to_string(limit) + " bytes: " + text);
}

std::expected<void, Error> check_vlr(const Vlr& vlr, bool extended) {
  if (vlr.user_id.size() > 16) return std::unexpected(too_long("the VLR user id", vlr.user_id, 16));
  if (vlr.description.size() > 32) return std::unexpected(too_long("the VLR description", vlr.description, 32));
  if (!extended && vlr.data.size() > std::numeric_limits<std::uint16_t>::max()) {
    return std::unexpected(Error("the VLR " + vlr.user_id + "/" + std::to_string(vlr.record_id) + " holds " +
                                 std::to_string(vlr.data.size()) + " bytes, more than a VLR can hold (65535)"));
  }
  return {};
}

}  // namespace

std::string Version::text() const { return std::to_string(major) + "." + std::to_string(minor); }

bool Version::supports(const PointFormat& format) const {
  if (!is_supported() || format.id > PointFormat::kMaxId) return false;
  if (minor <= 1) return format.id <= 1;
  if (minor == 2) return format.id <= 3;
  if (minor == 3) return format.id <= 5;
  return true;
}

std::uint16_t Version::header_size() const {
  if (minor <= 2) return 227;
  if (minor == 3) return 235;
  return 375;
}

const char* HeaderBuilder::unsupported_global_encoding() const {
  struct Feature {
    std::uint16_t bit;
    Version since;
    const char* name;
  };
  static constexpr Feature kFeatures[] = {
      {global_encoding::kGpsStandardTime, {1, 2}, "GpsStandardTime"},
      {global_encoding::kSyntheticReturnNumbers, {1, 3}, "SyntheticReturnNumbers"},
  };
  for (const Feature& feature : kFeatures) {
    if ((global_encoding & feature.bit) && version < feature.since) return feature.name;
  }
  return nullptr;
}

std::expected<Header, Error> HeaderBuilder::build() const {
  if (!version.is_supported()) return std::unexpected(Error("version " + version.text() + " is not supported"));
  if (!version.supports(point_format)) {
    return std::unexpected(
        Error("version " + version.text() + " does not support format " + std::to_string(point_format.id)));
  }
  if (point_format.record_length() > std::numeric_limits<std::uint16_t>::max()) {
    return std::unexpected(Error("the point record length " + std::to_string(point_format.record_length()) +
                                 " is longer than 65535 bytes"));
  }
  if (file_source_id != 0 && version < Version{1, 1}) return std::unexpected(unsupported_feature("FileSourceId", version));
  if (const char* feature = unsupported_global_encoding(); feature && !pass_global_encoding) {
    return std::unexpected(unsupported_feature(feature, version));
  }
  if (!evlrs.empty() && version < Version{1, 4}) return std::unexpected(unsupported_feature("Evlrs", version));
  if (version < Version{1, 4}) {
    const std::uint64_t largest =
        std::max(number_of_points, *std::max_element(number_of_points_by_return.begin(), number_of_points_by_return.end()));
    if (largest > kMaxLegacyCount) {
      return std::unexpected(Error("too many points for version " + version.text() + ": " + std::to_string(largest)));
    }
  }
  if (system_identifier.size() > 32) return std::unexpected(too_long("the system identifier", system_identifier, 32));
  if (generating_software.size() > 32) {
    return std::unexpected(too_long("the generating software", generating_software, 32));
  }
  const std::uint64_t header_size = version.header_size() + header_padding.size();
  if (header_size > std::numeric_limits<std::uint16_t>::max()) {
    return std::unexpected(Error("the header padding makes the header larger than 65535 bytes"));
  }
  std::uint64_t point_data_offset = header_size + vlr_padding.size();
  for (const Vlr& vlr : vlrs) {
    if (auto checked = check_vlr(vlr, false); !checked) return std::unexpected(checked.error());
    point_data_offset += 54 + vlr.data.size();
  }
  if (point_data_offset > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(Error("the VLRs do not fit before the point data (" + std::to_string(point_data_offset) +
                                 " bytes)"));
  }
  for (const Vlr& evlr : evlrs) {
    if (auto checked = check_vlr(evlr, true); !checked) return std::unexpected(checked.error());
  }
  return Header(*this);
}

}  // namespace las
