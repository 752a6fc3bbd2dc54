#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "commands.hpp"
#include "index/crs.hpp"
#include "json.hpp"
#include "las/laz/laszip_vlr.hpp"
#include "pointcloud/reader.hpp"
#include "text/number.hpp"
#include "text/utf8.hpp"

namespace karvik_cli {
namespace {

using karvik_core::render_number;
using karvik_core::to_utf8_lossy;

// What `info` shows of one file.
struct FileInfo {
  std::string path;
  las::Header header;
  std::optional<std::size_t> chunk_count;
  std::optional<las::laz::LaszipVlr> laszip;
  std::optional<karvik_core::index::CoordinateSystem> crs;
};

// "EPSG:2994 (NAD83(HARN) / Oregon GIC Lambert (ft))", "EPSG:4326", or the WKT's name alone.
std::string crs_text(const std::optional<karvik_core::index::CoordinateSystem>& crs) {
  if (!crs) return "none";
  const std::string name = karvik_core::index::wkt_name(crs->wkt);
  if (!crs->epsg) return name.empty() ? "a WKT without a name" : name;
  const std::string code = "EPSG:" + std::to_string(*crs->epsg);
  return name.empty() ? code : code + " (" + name + ")";
}

std::optional<las::laz::LaszipVlr> laszip_of(const las::Header& header) {
  if (!header.is_compressed()) return std::nullopt;
  for (const las::Vlr& vlr : header.vlrs()) {
    if (!vlr.is_laszip()) continue;
    if (auto parsed = las::laz::LaszipVlr::parse(vlr.data)) return *parsed;
  }
  return std::nullopt;
}

const char* compressor_name(las::laz::Compressor compressor) {
  switch (compressor) {
    case las::laz::Compressor::none:
      return "none";
    case las::laz::Compressor::pointwise:
      return "pointwise";
    case las::laz::Compressor::pointwise_chunked:
      return "pointwise chunked";
    default:
      return "layered chunked";
  }
}

std::size_t return_count(const las::Header& header) { return header.version() >= las::Version{1, 4} ? 15 : 5; }

std::string joined(std::initializer_list<double> values, const char* separator) {
  std::string out;
  for (const double v : values) out += (out.empty() ? "" : separator) + render_number(v);
  return out;
}

// "  label              value"
void field(const char* label, const std::string& value) { std::printf("  %-19s %s\n", label, value.c_str()); }

void print_text(const FileInfo& info) {
  const las::Header& h = info.header;
  const auto& f = h.fields();
  const las::Transforms& t = h.transforms();
  std::printf("%s\n", to_utf8_lossy(info.path).c_str());
  field("LAS version", h.version().text());
  field("point format", std::to_string(h.point_format().id) + " (" + std::to_string(h.point_format().record_length()) +
                            "-byte records)");
  field("points", std::to_string(h.number_of_points()));
  std::string by_return;
  for (std::size_t i = 0; i < return_count(h); ++i) {
    by_return += (i ? " " : "") + std::to_string(f.number_of_points_by_return[i]);
  }
  field("points by return", by_return);
  field("scale x y z", joined({t.x.scale, t.y.scale, t.z.scale}, " "));
  field("offset x y z", joined({t.x.offset, t.y.offset, t.z.offset}, " "));
  const las::Bounds& b = h.bounds();
  field("min x y z", joined({b.min.x, b.min.y, b.min.z}, " "));
  field("max x y z", joined({b.max.x, b.max.y, b.max.z}, " "));
  field("system identifier", to_utf8_lossy(f.system_identifier));
  field("generating software", to_utf8_lossy(f.generating_software));
  field("coordinate system", to_utf8_lossy(crs_text(info.crs)));
  if (info.laszip) {
    const auto& z = *info.laszip;
    const std::size_t chunks = info.chunk_count.value_or(0);
    field("compression", std::string("LAZ ") + compressor_name(z.compressor) + ", " +
                             (z.variable_chunks() ? "variable chunks" : "chunks of " + std::to_string(z.chunk_size)) +
                             ", " + std::to_string(chunks) + (chunks == 1 ? " chunk" : " chunks"));
    std::string items;
    for (const auto& item : z.items) {
      items += (items.empty() ? "" : ", ") + std::string(las::laz::item_type_name(item.type)) + " v" +
               std::to_string(item.version) + " (" + std::to_string(item.size) + " bytes)";
    }
    field("LAZ items", items);
  } else {
    field("compression", "none");
  }
  for (const auto* records : {&h.vlrs(), &h.evlrs()}) {
    field(records == &h.vlrs() ? "VLRs" : "EVLRs", std::to_string(records->size()));
    for (const las::Vlr& v : *records) {
      std::printf("    %s/%u, %zu bytes: %s\n", to_utf8_lossy(v.user_id).c_str(), unsigned{v.record_id}, v.data.size(),
                  to_utf8_lossy(v.description).c_str());
    }
  }
}

std::string json_records(const std::vector<las::Vlr>& records) {
  std::string out = "[";
  for (const las::Vlr& v : records) {
    out += (out.size() > 1 ? "," : "") + std::string("{\"user_id\":") + json::string(v.user_id) +
           ",\"record_id\":" + std::to_string(v.record_id) + ",\"size\":" + std::to_string(v.data.size()) +
           ",\"description\":" + json::string(v.description) + "}";
  }
  return out + "]";
}

std::string json_triple(double x, double y, double z) {
  return "[" + json::number(x) + "," + json::number(y) + "," + json::number(z) + "]";
}

void print_json(const FileInfo& info) {
  const las::Header& h = info.header;
  const auto& f = h.fields();
  const las::Transforms& t = h.transforms();
  std::string by_return = "[";
  for (std::size_t i = 0; i < return_count(h); ++i) {
    by_return += (i ? "," : "") + json::number(f.number_of_points_by_return[i]);
  }
  std::string laz = "null";
  if (info.laszip) {
    const auto& z = *info.laszip;
    std::string items = "[";
    for (const auto& item : z.items) {
      items += (items.size() > 1 ? "," : "") + std::string("{\"type\":") +
               json::string(las::laz::item_type_name(item.type)) + ",\"size\":" + std::to_string(item.size) +
               ",\"version\":" + std::to_string(item.version) + "}";
    }
    laz = std::string("{\"compressor\":") + json::string(compressor_name(z.compressor)) + ",\"chunk_size\":" +
          (z.variable_chunks() ? std::string("null") : std::to_string(z.chunk_size)) +
          ",\"chunk_count\":" + std::to_string(info.chunk_count.value_or(0)) + ",\"items\":" + items + "]}";
  }
  std::string crs = "null";
  if (info.crs) {
    const std::string name = karvik_core::index::wkt_name(info.crs->wkt);
    crs = "{\"epsg\":" + (info.crs->epsg ? std::to_string(*info.crs->epsg) : "null") +
          ",\"name\":" + (name.empty() ? "null" : json::string(name)) +
          ",\"wkt\":" + (info.crs->wkt.empty() ? "null" : json::string(info.crs->wkt)) + "}";
  }
  const las::Bounds& b = h.bounds();
  std::printf(
      "{\"path\":%s,\"las_version\":%s,\"point_format\":%u,\"record_length\":%u,\"point_count\":%llu,"
      "\"points_by_return\":%s],\"scale\":%s,\"offset\":%s,\"min\":%s,\"max\":%s,\"system_identifier\":%s,"
      "\"generating_software\":%s,\"crs\":%s,\"laz\":%s,\"vlrs\":%s,\"evlrs\":%s}\n",
      json::string(info.path).c_str(), json::string(h.version().text()).c_str(), unsigned{h.point_format().id},
      unsigned{h.point_format().record_length()}, static_cast<unsigned long long>(h.number_of_points()), by_return.c_str(),
      json_triple(t.x.scale, t.y.scale, t.z.scale).c_str(), json_triple(t.x.offset, t.y.offset, t.z.offset).c_str(),
      json_triple(b.min.x, b.min.y, b.min.z).c_str(), json_triple(b.max.x, b.max.y, b.max.z).c_str(),
      json::string(f.system_identifier).c_str(), json::string(f.generating_software).c_str(), crs.c_str(), laz.c_str(),
      json_records(h.vlrs()).c_str(), json_records(h.evlrs()).c_str());
}

}  // namespace

int run_info(std::vector<std::string> words) {
  Arguments arguments(std::move(words));
  const bool as_json = arguments.flag("json");
  const auto paths = arguments.positionals();
  if (!paths) return usage_error("info", paths.error());
  if (paths->empty()) return usage_error("info", "give at least one LAS or LAZ file");
  int status = 0;
  bool described = false;  // text descriptions are separated by an empty line
  for (const std::string& path : *paths) {
    auto reader = karvik_core::pointcloud::PointCloudReader::open(path);
    if (!reader) {
      std::fflush(stdout);
      std::fprintf(stderr, "karvik: %s: %s\n", to_utf8_lossy(path).c_str(), reader.error().to_string().c_str());
      status = kFailure;
      continue;
    }
    const FileInfo info{path, reader->header(), reader->chunk_count(), laszip_of(reader->header()),
                        karvik_core::index::coordinate_system_of(reader->header())};
    if (as_json) {
      print_json(info);
    } else {
      if (described) std::printf("\n");
      print_text(info);
    }
    described = true;
  }
  return status;
}

}  // namespace karvik_cli
