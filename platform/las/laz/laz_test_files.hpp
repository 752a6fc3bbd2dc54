#pragma once

#include <string>

#include "las/header.hpp"
#include "las/header_codec.hpp"
#include "las/laz/chunk_table.hpp"
#include "las/laz/laszip_vlr.hpp"
#include "las/test_files.hpp"

// Test helpers for LAZ files: samples taken apart without the reader, and
// files written through the writer.
namespace las::testing {

// A LAZ sample's header, LASzip VLR and chunks, found without the reader.
struct LazSample {
  Bytes bytes;
  FileHeader header;
  laz::LaszipVlr vlr;
  laz::ChunkLayout layout;
};

LazSample open_sample(const std::string& name);

// Writes the records as a LAZ file with the header, in uneven pieces.
void write_laz(const std::string& path, const Header& header, const Bytes& records);

}  // namespace las::testing
