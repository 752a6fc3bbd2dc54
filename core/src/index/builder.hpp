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
};

// Collects LAS/LAZ files from `paths` (files, or folders searched recursively
// for .las/.laz in any case), reads their headers on the worker pool and
// writes the GeoPackage tile index at `index_path`: a new one under a
// temporary name, renamed over `index_path` when complete; with
// `options.update`, an existing index updated in one transaction (a missing
// one is created). Files that cannot be read are logged as warnings and left
// out. Fails, writing nothing, when no tile remains, when tiles have
// different coordinate systems, or when the index to update is not a tile
// index of ours.
std::expected<IndexReport, TileIndexError> build_index(const std::string& index_path,
                                                       const std::vector<std::string>& paths,
                                                       const IndexOptions& options);

}  // namespace karvik_core::index
