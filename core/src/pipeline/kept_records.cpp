#include "pipeline/kept_records.hpp"

namespace karvik_core::pipeline {
namespace {

TileIndexError spill_error(const las::Error& error, const std::string& dir) {
  return TileIndexError::output_error(error.io_code().message() + ": spilling kept points in " + dir);
}

}  // namespace

std::expected<void, TileIndexError> KeptRecords::append(const std::vector<std::uint8_t>& records) {
  count_ += records.size() / layout_.record_length();
  const std::size_t room = !spill_ && memory_.size() < budget_ ? budget_ - memory_.size() : 0;
  const std::size_t in_memory = std::min(room, records.size()) / layout_.record_length() * layout_.record_length();
  memory_.insert(memory_.end(), records.begin(), records.begin() + static_cast<std::ptrdiff_t>(in_memory));
  if (in_memory == records.size()) return {};
  return spill(std::span(records).subspan(in_memory));
}

std::expected<void, TileIndexError> KeptRecords::spill(std::span<const std::uint8_t> records) {
  if (!spill_) {
    auto created = las::io::ScratchFile::create_in(spill_dir_);
    if (!created) return std::unexpected(spill_error(created.error(), spill_dir_));
    spill_.emplace(std::move(*created));
  }
  if (auto written = spill_->append(records); !written) return std::unexpected(spill_error(written.error(), spill_dir_));
  return {};
}

std::expected<void, TileIndexError> KeptRecords::drain(const Write& write_slice, std::size_t slice_records) {
  const std::size_t slice_bytes = slice_records * layout_.record_length();
  const std::span<const std::uint8_t> memory(memory_);
  for (std::size_t at = 0; at < memory.size(); at += slice_bytes) {
    if (auto ok = write_slice(layout_, memory.subspan(at, std::min(slice_bytes, memory.size() - at))); !ok) return ok;
  }
  std::vector<std::uint8_t>().swap(memory_);
  if (!spill_) return {};
  std::vector<std::uint8_t> slice;
  for (std::uint64_t at = 0; at < spill_->size(); at += slice.size()) {
    slice.resize(static_cast<std::size_t>(std::min<std::uint64_t>(slice_bytes, spill_->size() - at)));
    if (auto read = spill_->read_at(at, slice); !read) return std::unexpected(spill_error(read.error(), spill_dir_));
    if (auto ok = write_slice(layout_, slice); !ok) return ok;
  }
  return {};
}

}  // namespace karvik_core::pipeline
