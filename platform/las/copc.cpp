#include "las/copc.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <unordered_set>

#include "las/bytes.hpp"

namespace las::copc {

namespace {

constexpr std::size_t entry_size = 32;
// Pages are read this many entries at a time, whatever their size.
constexpr std::size_t entries_per_read = 1024;

struct Page {
  Key key;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

std::string text(const Key& key) {
  return std::to_string(key.depth) + "-" + std::to_string(key.x) + "-" + std::to_string(key.y) + "-" +
         std::to_string(key.z);
}

// 0 <= v < 2^depth.
bool fits_depth(std::int32_t v, std::int32_t depth) { return v >= 0 && (depth >= 31 || v < (1 << depth)); }

bool is_valid(const Key& key) {
  return key.depth >= 0 && fits_depth(key.x, key.depth) && fits_depth(key.y, key.depth) &&
         fits_depth(key.z, key.depth);
}

// `inner` is `outer` or lies in its subtree; both valid.
bool contains(const Key& outer, const Key& inner) {
  if (inner.depth < outer.depth) return false;
  const int shift = inner.depth - outer.depth;
  const auto ancestor = [shift](std::int32_t v) { return shift >= 31 ? 0 : v >> shift; };
  return ancestor(inner.x) == outer.x && ancestor(inner.y) == outer.y && ancestor(inner.z) == outer.z;
}

bool lies_within(std::uint64_t offset, std::uint64_t size, std::uint64_t file_size) {
  return offset <= file_size && size <= file_size - offset;
}

class HierarchyReader {
 public:
  HierarchyReader(const laz::ReadAt& read_at, std::uint64_t file_size, std::uint64_t max_nodes)
      : read_at_(read_at), file_size_(file_size), max_nodes_(max_nodes) {}

  std::expected<std::vector<Node>, Error> read(const Info& info) {
    if (auto ok = enqueue({Key{}, info.root_page_offset, info.root_page_size}); !ok) return std::unexpected(ok.error());
    while (!pending_.empty()) {
      const Page page = pending_.back();
      pending_.pop_back();
      if (auto ok = read_page(page); !ok) return std::unexpected(ok.error());
    }
    return std::move(nodes_);
  }

 private:
  std::expected<void, Error> enqueue(const Page& page) {
    const std::string where = "the hierarchy page of " + std::to_string(page.size) + " bytes at byte " +
                              std::to_string(page.offset);
    if (page.size % entry_size != 0) return std::unexpected(copc_error(where + " is not a whole number of entries"));
    if (!lies_within(page.offset, page.size, file_size_)) {
      return std::unexpected(copc_error(where + " lies outside the file (" + std::to_string(file_size_) + " bytes)"));
    }
    if (!seen_.insert(page.offset).second) return std::unexpected(copc_error(where + " is referenced twice"));
    // Sound pages do not overlap, so together they fit in the file; this
    // bounds the work and the pages held pending.
    if (page.size > file_size_ - page_bytes_) {
      return std::unexpected(copc_error(where + " takes the pages beyond the size of the file"));
    }
    page_bytes_ += page.size;
    pending_.push_back(page);
    return {};
  }

  std::expected<void, Error> read_page(const Page& page) {
    std::array<std::uint8_t, entries_per_read * entry_size> buffer;
    const std::uint64_t count = page.size / entry_size;
    for (std::uint64_t first = 0; first < count; first += entries_per_read) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(entries_per_read, count - first));
      const std::span<std::uint8_t> bytes(buffer.data(), n * entry_size);
      if (auto ok = read_at_(page.offset + first * entry_size, bytes); !ok) return std::unexpected(ok.error());
      for (std::size_t i = 0; i < n; ++i) {
        if (auto ok = read_entry(page, first + i, bytes.data() + i * entry_size); !ok) {
          return std::unexpected(ok.error());
        }
      }
    }
    return {};
  }

  std::expected<void, Error> read_entry(const Page& page, std::uint64_t index, const std::uint8_t* at) {
    const Key key{load<std::int32_t>(at), load<std::int32_t>(at + 4), load<std::int32_t>(at + 8),
                  load<std::int32_t>(at + 12)};
    const auto offset = load<std::uint64_t>(at + 16);
    const auto byte_size = load<std::int32_t>(at + 24);
    const auto point_count = load<std::int32_t>(at + 28);
    const auto fail = [&](const std::string& what) {
      return std::unexpected(copc_error("entry " + std::to_string(index + 1) + " of the hierarchy page at byte " +
                                        std::to_string(page.offset) + " (key " + text(key) + ") " + what));
    };
    if (!is_valid(key)) return fail("is not a key of the octree");
    if (!contains(page.key, key)) return fail("lies outside the page's subtree " + text(page.key));
    if (point_count == -1) {
      if (byte_size < 0) return fail("has a negative page size");
      return enqueue({key, offset, static_cast<std::uint64_t>(byte_size)});
    }
    if (point_count == 0) return {};
    if (point_count < 0) return fail("has a point count of " + std::to_string(point_count));
    if (byte_size <= 0) return fail("holds points in " + std::to_string(byte_size) + " bytes");
    if (!lies_within(offset, static_cast<std::uint64_t>(byte_size), file_size_)) {
      return fail("has its points outside the file");
    }
    if (nodes_.size() >= max_nodes_) {
      return fail("is one node more than the " + std::to_string(max_nodes_) + " the file can hold");
    }
    nodes_.push_back({key, offset, static_cast<std::uint64_t>(byte_size), static_cast<std::uint64_t>(point_count)});
    return {};
  }

  const laz::ReadAt& read_at_;
  std::uint64_t file_size_;
  std::uint64_t max_nodes_;
  std::vector<Page> pending_;
  std::unordered_set<std::uint64_t> seen_;
  std::uint64_t page_bytes_ = 0;
  std::vector<Node> nodes_;
};

// The cube grown by one scale step on every side.
Bounds padded(Bounds cube, const Transforms& transforms) {
  const Vector3 step{std::abs(transforms.x.scale), std::abs(transforms.y.scale), std::abs(transforms.z.scale)};
  cube.min = {cube.min.x - step.x, cube.min.y - step.y, cube.min.z - step.z};
  cube.max = {cube.max.x + step.x, cube.max.y + step.y, cube.max.z + step.z};
  return cube;
}

}  // namespace

Error copc_error(std::string_view what) { return Error(std::string("copc error: ") + std::string(what)); }

std::expected<Info, Error> Info::parse(std::span<const std::uint8_t> data) {
  if (data.size() < size) {
    return std::unexpected(
        copc_error("the info record holds " + std::to_string(data.size()) + " bytes, not " + std::to_string(size)));
  }
  const std::uint8_t* at = data.data();
  Info info;
  info.center = {load<double>(at), load<double>(at + 8), load<double>(at + 16)};
  info.halfsize = load<double>(at + 24);
  info.spacing = load<double>(at + 32);
  info.root_page_offset = load<std::uint64_t>(at + 40);
  info.root_page_size = load<std::uint64_t>(at + 48);
  info.gps_time_min = load<double>(at + 56);
  info.gps_time_max = load<double>(at + 64);
  // Every corner and edge of the cube must be finite, or its nodes' cubes are not.
  const auto spans = [&](double center) {
    return std::isfinite(center - info.halfsize) && std::isfinite(center + info.halfsize);
  };
  const bool finite = std::isfinite(2.0 * info.halfsize) && spans(info.center.x) && spans(info.center.y) &&
                      spans(info.center.z);
  if (!finite || !(info.halfsize > 0.0)) return std::unexpected(copc_error("the octree's root cube is not a cube"));
  return info;
}

const Vlr* find_info_vlr(const Header& header) {
  const auto& vlrs = header.vlrs();
  const auto found = std::find_if(vlrs.begin(), vlrs.end(), [](const Vlr& vlr) {
    return vlr.user_id == Info::user_id && vlr.record_id == Info::record_id;
  });
  return found == vlrs.end() ? nullptr : &*found;
}

Bounds cube_of(const Info& info, const Key& key) {
  const double cell = std::ldexp(2.0 * info.halfsize, -key.depth);
  const auto low = [&](double center, std::int32_t i) { return center - info.halfsize + i * cell; };
  const auto high = [&](double center, std::int32_t i) { return center - info.halfsize + (i + 1.0) * cell; };
  return {{low(info.center.x, key.x), low(info.center.y, key.y), low(info.center.z, key.z)},
          {high(info.center.x, key.x), high(info.center.y, key.y), high(info.center.z, key.z)}};
}

std::expected<std::vector<Node>, Error> read_hierarchy(const Info& info, const laz::ReadAt& read_at,
                                                       std::uint64_t file_size, std::uint64_t max_nodes) {
  return HierarchyReader(read_at, file_size, max_nodes).read(info);
}

std::expected<std::optional<std::vector<Bounds>>, Error> chunk_cubes(const Header& header,
                                                                     const laz::ReadAt& read_at,
                                                                     std::uint64_t file_size,
                                                                     const laz::ChunkLayout& chunks) {
  const Vlr* vlr = find_info_vlr(header);
  if (vlr == nullptr) return std::nullopt;
  auto info = Info::parse(vlr->data);
  if (!info) return std::unexpected(info.error());
  if (chunks.sizes != laz::ChunkLayout::Sizes::from_table) {
    return std::unexpected(copc_error("the point data has no chunk table to find the octree's nodes in"));
  }
  auto nodes = read_hierarchy(*info, read_at, file_size, chunks.chunks.size());
  if (!nodes) return std::unexpected(nodes.error());

  const auto& located = chunks.chunks;
  std::vector<Bounds> cubes(located.size());
  std::vector<bool> covered(located.size(), false);
  for (const Node& node : *nodes) {
    const auto fail = [&](const std::string& what) {
      return std::unexpected(copc_error("the node " + text(node.key) + " at byte " + std::to_string(node.offset) +
                                        " " + what));
    };
    const auto chunk = std::lower_bound(located.begin(), located.end(), node.offset,
                                        [](const laz::ChunkLocation& c, std::uint64_t offset) { return c.offset < offset; });
    if (chunk == located.end() || chunk->offset != node.offset) return fail("is not at the start of a chunk");
    const auto i = static_cast<std::size_t>(chunk - located.begin());
    if (covered[i]) return fail("shares its chunk with another node");
    if (chunk->byte_count != node.byte_count || chunk->point_count != node.point_count) {
      return fail("holds " + std::to_string(node.point_count) + " points in " + std::to_string(node.byte_count) +
                  " bytes, its chunk " + std::to_string(chunk->point_count) + " points in " +
                  std::to_string(chunk->byte_count) + " bytes");
    }
    covered[i] = true;
    cubes[i] = padded(cube_of(*info, node.key), header.transforms());
  }
  const auto orphan = std::find(covered.begin(), covered.end(), false);
  if (orphan != covered.end()) {
    const auto i = static_cast<std::size_t>(orphan - covered.begin());
    return std::unexpected(copc_error("chunk " + std::to_string(i + 1) + " at byte " +
                                      std::to_string(located[i].offset) + " belongs to no node of the octree"));
  }
  return cubes;
}

}  // namespace las::copc
