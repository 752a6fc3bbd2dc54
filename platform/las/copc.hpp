#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "las/error.hpp"
#include "las/header.hpp"
#include "las/laz/chunk_table.hpp"

// The octree of a COPC file: a LAZ 1.4 file whose variable chunks are the
// nodes of an octree. The "copc" info VLR gives the root cube and the first
// hierarchy page; pages list the nodes (their chunk's offset, bytes and
// points) and point to further pages.
namespace las::copc {

// The errors of this part, all in one form: "copc error: {what}".
Error copc_error(std::string_view what);

struct Info {
  static constexpr std::string_view user_id = "copc";
  static constexpr std::uint16_t record_id = 1;
  static constexpr std::size_t size = 160;

  Vector3 center;
  // Distance from the center to each face of the root cube.
  double halfsize = 0.0;
  double spacing = 0.0;
  std::uint64_t root_page_offset = 0;
  std::uint64_t root_page_size = 0;
  double gps_time_min = 0.0;
  double gps_time_max = 0.0;

  // Reads the VLR's payload; the cube must be finite and not empty.
  static std::expected<Info, Error> parse(std::span<const std::uint8_t> data);
};

// The info VLR of the header, or null when it has none.
const Vlr* find_info_vlr(const Header& header);

// A node: its depth and its position among the 2^depth cells of each axis.
struct Key {
  std::int32_t depth = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t z = 0;
  friend bool operator==(const Key&, const Key&) = default;
};

// The node's cube, exactly as the key places it in the root cube.
Bounds cube_of(const Info& info, const Key& key);

// A node that holds points: one chunk of the point data.
struct Node {
  Key key;
  std::uint64_t offset = 0;
  std::uint64_t byte_count = 0;
  std::uint64_t point_count = 0;
};

// Reads the hierarchy of a file of `file_size` bytes from its root page, in
// the pages' order. Refuses pages outside the file or not a whole number of
// entries, a page referenced twice, more page bytes than the file holds,
// impossible keys (negative, beyond their depth, outside the page's subtree),
// data outside the file and more than `max_nodes` nodes with points. Pages are
// read in pieces of fixed size; what is held grows with `max_nodes` and with
// the pages actually read, never with a size a page claims.
std::expected<std::vector<Node>, Error> read_hierarchy(const Info& info, const laz::ReadAt& read_at,
                                                       std::uint64_t file_size, std::uint64_t max_nodes);

// For every chunk of `chunks`, the cube of the node stored there, padded
// outward by one scale step of each axis: writers round coordinates into
// their node, so a point on a face may land just outside it. Nothing when the
// file has no info VLR; an error when its hierarchy cannot be read or does not
// match the chunks one to one (offset, bytes and points).
std::expected<std::optional<std::vector<Bounds>>, Error> chunk_cubes(const Header& header,
                                                                     const laz::ReadAt& read_at,
                                                                     std::uint64_t file_size,
                                                                     const laz::ChunkLayout& chunks);

}  // namespace las::copc
