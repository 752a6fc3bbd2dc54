#include "index/crs.hpp"

#include <cctype>
#include <charconv>
#include <cstring>
#include <vector>

#include "text/utf8.hpp"

namespace karvik_core::index {
namespace {

constexpr std::string_view kProjection = "LASF_Projection";
constexpr std::uint16_t kWktRecord = 2112;
constexpr std::uint16_t kGeoKeyDirectoryRecord = 34735;
constexpr std::uint16_t kGeographicTypeKey = 2048;
constexpr std::uint16_t kProjectedTypeKey = 3072;
constexpr std::uint16_t kUserDefined = 32767;
// Deeper nesting than any real WKT: a bound against hostile input.
constexpr int kMaxDepth = 32;

// One WKT element: KEYWORD[value, value, CHILD[...], ...].
struct Element {
  std::string keyword;
  std::vector<std::string> values;  // quoted texts (unquoted) and bare tokens, in order
  std::vector<Element> children;
};

class WktParser {
 public:
  explicit WktParser(std::string_view text) : text_(text) {}

  std::optional<Element> parse() {
    skip_spaces();
    auto element = parse_element(0);
    return element;
  }

 private:
  void skip_spaces() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
  }
  bool at_end() const { return at_ >= text_.size(); }

  std::optional<std::string> parse_quoted() {
    std::string out;
    for (++at_; at_ < text_.size(); ++at_) {
      if (text_[at_] == '"') {
        if (at_ + 1 < text_.size() && text_[at_ + 1] == '"') {
          out += '"';
          ++at_;
        } else {
          ++at_;
          return out;
        }
      } else {
        out += text_[at_];
      }
    }
    return std::nullopt;
  }

  std::string parse_token() {
    const std::size_t begin = at_;
    while (at_ < text_.size() && text_[at_] != ',' && text_[at_] != ']' && text_[at_] != ')' &&
           text_[at_] != '[' && text_[at_] != '(' && !std::isspace(static_cast<unsigned char>(text_[at_]))) {
      ++at_;
    }
    return std::string(text_.substr(begin, at_ - begin));
  }

  std::optional<Element> parse_element(int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    Element element;
    element.keyword = parse_token();
    skip_spaces();
    if (element.keyword.empty() || at_end() || (text_[at_] != '[' && text_[at_] != '(')) return std::nullopt;
    const char close = text_[at_] == '[' ? ']' : ')';
    ++at_;
    for (;;) {
      skip_spaces();
      if (at_end()) return std::nullopt;
      if (text_[at_] == close) {
        ++at_;
        return element;
      }
      if (text_[at_] == '"') {
        auto quoted = parse_quoted();
        if (!quoted) return std::nullopt;
        element.values.push_back(std::move(*quoted));
      } else {
        const std::size_t mark = at_;
        std::string token = parse_token();
        skip_spaces();
        if (!at_end() && (text_[at_] == '[' || text_[at_] == '(')) {
          at_ = mark;
          auto child = parse_element(depth + 1);
          if (!child) return std::nullopt;
          element.children.push_back(std::move(*child));
        } else if (!token.empty()) {
          element.values.push_back(std::move(token));
        } else {
          return std::nullopt;
        }
      }
      skip_spaces();
      if (!at_end() && text_[at_] == ',') ++at_;
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::optional<int> positive_code(std::string_view text) {
  int code = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), code);
  if (error != std::errc() || end != text.data() + text.size() || code <= 0) return std::nullopt;
  return code;
}

bool is_identifier(const Element& e) {
  return equals_ignoring_case(e.keyword, "AUTHORITY") || equals_ignoring_case(e.keyword, "ID");
}

// The last EPSG identifier among the element's own children.
std::optional<int> own_epsg(const Element& element) {
  std::optional<int> code;
  for (const Element& child : element.children) {
    if (is_identifier(child) && child.values.size() >= 2 && equals_ignoring_case(child.values[0], "EPSG")) {
      if (auto found = positive_code(child.values[1])) code = found;
    }
  }
  return code;
}

// The payload as text: up to the first NUL, surrounding spaces removed.
std::string vlr_text(const std::vector<std::uint8_t>& data) {
  std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  text = text.substr(0, text.find('\0'));
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  return to_utf8_lossy(text);
}

const las::Vlr* find_record(const las::Header& header, std::uint16_t record_id) {
  for (const auto* records : {&header.vlrs(), &header.evlrs()}) {
    for (const las::Vlr& vlr : *records) {
      if (vlr.user_id == kProjection && vlr.record_id == record_id && !vlr.data.empty()) return &vlr;
    }
  }
  return nullptr;
}

}  // namespace

std::string CoordinateSystem::identity() const { return epsg ? "EPSG:" + std::to_string(*epsg) : "WKT:" + wkt; }

std::string CoordinateSystem::name() const {
  if (epsg) return "EPSG:" + std::to_string(*epsg);
  std::string own = wkt_name(wkt);
  return own.empty() ? "an unnamed WKT coordinate system" : "\"" + own + "\"";
}

std::optional<int> wkt_epsg(std::string_view wkt) {
  const auto root = WktParser(wkt).parse();
  if (!root) return std::nullopt;
  if (auto code = own_epsg(*root)) return code;
  if (equals_ignoring_case(root->keyword, "COMPD_CS") || equals_ignoring_case(root->keyword, "COMPOUNDCRS")) {
    for (const Element& child : root->children) {
      if (!is_identifier(child)) return own_epsg(child);
    }
  }
  return std::nullopt;
}

std::string wkt_name(std::string_view wkt) {
  const auto root = WktParser(wkt).parse();
  return root && !root->values.empty() ? root->values.front() : std::string();
}

std::optional<int> geotiff_epsg(std::span<const std::uint8_t> directory) {
  const auto word = [&](std::size_t i) {
    std::uint16_t value;
    std::memcpy(&value, directory.data() + 2 * i, 2);
    return value;
  };
  const std::size_t words = directory.size() / 2;
  if (words < 4) return std::nullopt;
  const std::size_t keys = std::min<std::size_t>(word(3), (words - 4) / 4);
  std::optional<int> geographic, projected;
  for (std::size_t k = 0; k < keys; ++k) {
    const std::size_t at = 4 + 4 * k;
    // Location 0: the value is the entry's own last word.
    if (word(at + 1) != 0) continue;
    const std::uint16_t value = word(at + 3);
    // 32767 is user-defined; higher values are private, no EPSG codes.
    if (value == 0 || value >= kUserDefined) continue;
    if (word(at) == kProjectedTypeKey) projected = value;
    if (word(at) == kGeographicTypeKey) geographic = value;
  }
  return projected ? projected : geographic;
}

std::optional<CoordinateSystem> coordinate_system_of(const las::Header& header) {
  CoordinateSystem crs;
  if (const las::Vlr* wkt = find_record(header, kWktRecord)) {
    crs.wkt = vlr_text(wkt->data);
    if (!crs.wkt.empty()) crs.epsg = wkt_epsg(crs.wkt);
  }
  if (const las::Vlr* keys = find_record(header, kGeoKeyDirectoryRecord); keys && !crs.epsg) {
    crs.epsg = geotiff_epsg(keys->data);
  }
  if (!crs.epsg && crs.wkt.empty()) return std::nullopt;
  return crs;
}

}  // namespace karvik_core::index
