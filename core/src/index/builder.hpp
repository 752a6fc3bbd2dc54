#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <vector>

#include "error.hpp"

namespace karvik_core::index {

struct IndexOptions {
  std::string layer = "tiles";
  bool update = false;
  // Whether the index holds the bounds of each tile's chunks, in the table
  // geopackage::chunk_table(layer); an update without them drops that table.
  bool chunks = true;
};

struct SkippedFile {
  std::string path;
  std::string reason;
};

struct IndexReport {
  // Tiles the index lists when done.
  std::size_t tiles_indexed = 0;
  // Of those, tiles whose header was read in this run (all of them for a new index).
  std::size_t tiles_read = 0;
  // Rows removed by an update because their file is gone.
  std::size_t tiles_removed = 0;
  // Files left out, with the reason; an update keeps the rows of such files as they were.
  std::vector<SkippedFile> skipped;
  // Tiles read in this run and indexed without chunk bounds, with the reason
  // (their points cannot all be read); they are read whole when extracting.
  std::vector<SkippedFile> without_chunks;
};

// Collects LAS/LAZ files from `paths` (files, or folders searched recursively
// for .las/.laz in any case), reads their headers on the worker pool and
// writes the GeoPackage tile index at `index_path`: a new one under a
// temporary name, renamed over `index_path` when complete; with
// `options.update`, an existing index updated in one transaction (a missing
// one is created). With `options.chunks`, the bounds of every tile's chunks
// are read too, and written for the tiles whose chunks all read (the others
// are logged as warnings). Files that cannot be read are logged as warnings
// and left out. Fails, writing nothing, when no tile remains, when tiles have
// different coordinate systems, or when the index to update is not a tile
// index of ours.
std::expected<IndexReport, TileIndexError> build_index(const std::string& index_path,
                                                       const std::vector<std::string>& paths,
                                                       const IndexOptions& options);

}  // namespace karvik_core::index
