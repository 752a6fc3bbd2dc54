#include "las/compressed_stream.hpp"

#include <algorithm>
#include <optional>
#include <variant>

#include "las/bytes.hpp"
#include "las/laz/chunk_codec.hpp"
#include "las/laz/chunk_table.hpp"
#include "las/laz/laszip_vlr.hpp"
#include "las/laz/layered_chunk.hpp"

namespace las {

namespace {

// Pointwise chunks (formats 0-5) or layered ones (formats 6-10).
using AnyChunkDecoder = std::variant<laz::ChunkDecoder, laz::LayeredChunkDecoder>;
using AnyChunkEncoder = std::variant<laz::ChunkEncoder, laz::LayeredChunkEncoder>;

std::expected<AnyChunkDecoder, Error> chunk_decoder(const laz::LaszipVlr& vlr) {
  if (vlr.compressor == laz::Compressor::layered_chunked) return laz::LayeredChunkDecoder::create(vlr);
  return laz::ChunkDecoder::create(vlr);
}

std::expected<AnyChunkEncoder, Error> chunk_encoder(const laz::LaszipVlr& vlr) {
  if (vlr.compressor == laz::Compressor::layered_chunked) return laz::LayeredChunkEncoder::create(vlr);
  return laz::ChunkEncoder::create(vlr);
}

// One chunk per batch, read into memory and decoded there.
class CompressedStreamReader final : public PointStreamReader {
 public:
  CompressedStreamReader(std::shared_ptr<const io::InputFile> file, AnyChunkDecoder decoder, laz::ChunkLayout layout,
                         std::uint64_t limit)
      : file_(std::move(file)),
        decoder_(std::move(decoder)),
        record_length_(std::visit([](const auto& d) { return d.record_length(); }, decoder_)),
        layout_(std::move(layout)),
        limit_(limit) {}

  std::optional<std::size_t> chunk_count() const override { return layout_.chunks.size(); }

  std::expected<std::size_t, Error> read_batch(std::vector<std::uint8_t>& out, const RecordFilter* keep) override {
    if (next_ == layout_.chunks.size()) return 0;
    const laz::ChunkLocation& chunk = layout_.chunks[next_];
    const auto sizes = layout_.sizes;
    const std::size_t kept = out.size();
    auto used = sizes == laz::ChunkLayout::Sizes::unknown ? decode_unbounded(chunk, out, keep)
                                                          : decode(chunk.offset, chunk.byte_count, chunk, out, keep);
    if (!used) return std::unexpected(used.error());
    // A stream decodes to its last byte, or one short of it from writers that
    // end streams with a byte more; garbage decodes to somewhere else.
    if (sizes == laz::ChunkLayout::Sizes::from_table && *used + 1 < chunk.byte_count) {
      out.resize(kept);
      return std::unexpected(laz::codec_error("chunk " + std::to_string(next_ + 1) +
                                              " is corrupt: its points end after " + std::to_string(*used) +
                                              " of its " + std::to_string(chunk.byte_count) + " bytes"));
    }
    if (sizes == laz::ChunkLayout::Sizes::unknown && next_ + 1 < layout_.chunks.size()) {
      layout_.chunks[next_ + 1].offset = chunk.offset + *used;
    }
    ++next_;
    return static_cast<std::size_t>(chunk.point_count);
  }

 private:
  std::expected<std::size_t, Error> decode(std::uint64_t offset, std::uint64_t bytes, const laz::ChunkLocation& chunk,
                                           std::vector<std::uint8_t>& out, const RecordFilter* keep) {
    const auto held = memory_size(bytes);
    if (!held) {
      return std::unexpected(laz::codec_error("chunk " + std::to_string(next_ + 1) + " of " + std::to_string(bytes) +
                                              " bytes is larger than this machine can hold in memory"));
    }
    buffer_.resize(*held);
    if (auto read = file_->read_at(offset, buffer_); !read) return std::unexpected(read.error());
    const auto points = static_cast<std::size_t>(chunk.point_count);
    if (auto* layered = std::get_if<laz::LayeredChunkDecoder>(&decoder_)) return layered->decode(buffer_, points, out, keep);
    const std::size_t first = out.size();
    auto used = std::get<laz::ChunkDecoder>(decoder_).decode(buffer_, points, out);
    if (used && keep) filter_records(out, first, record_length_, *keep, keep_);
    return used;
  }

  // Without a chunk table a chunk ends where its decoding does: read a window
  // that usually holds it, and widen it while the chunk runs past its end.
  std::expected<std::size_t, Error> decode_unbounded(const laz::ChunkLocation& chunk, std::vector<std::uint8_t>& out,
                                                     const RecordFilter* keep) {
    if (chunk.offset > limit_) return std::unexpected(laz::codec_error("the compressed points end early"));
    const std::uint64_t rest = limit_ - chunk.offset;
    std::uint64_t window = std::min(rest, chunk.point_count * (record_length_ + 8) + 64);
    for (;;) {
      auto used = decode(chunk.offset, window, chunk, out, keep);
      if (used || window == rest) return used;
      window = std::min(rest, 2 * window);
    }
  }

  std::shared_ptr<const io::InputFile> file_;
  AnyChunkDecoder decoder_;
  std::size_t record_length_;
  laz::ChunkLayout layout_;
  std::uint64_t limit_;
  std::size_t next_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::vector<std::uint8_t> keep_;
};

// Collects records into chunks of the VLR's chunk size and writes each as it
// fills; the chunk table and its offset are written when finishing.
class CompressedStreamWriter final : public PointStreamWriter {
 public:
  CompressedStreamWriter(io::OutputFile& file, AnyChunkEncoder encoder, std::uint32_t chunk_size)
      : file_(file),
        encoder_(std::move(encoder)),
        record_length_(std::visit([](const auto& e) { return e.record_length(); }, encoder_)),
        chunk_bytes_(std::size_t{chunk_size} * record_length_) {}

  std::expected<void, Error> write(std::span<const std::uint8_t> records) override {
    if (auto started = start(); !started) return started;
    if (!pending_.empty()) {
      const std::size_t take = std::min(records.size(), chunk_bytes_ - pending_.size());
      pending_.insert(pending_.end(), records.begin(), records.begin() + static_cast<std::ptrdiff_t>(take));
      records = records.subspan(take);
      if (pending_.size() < chunk_bytes_) return {};
      if (auto written = write_chunk(pending_); !written) return written;
      pending_.clear();
    }
    while (records.size() >= chunk_bytes_) {
      if (auto written = write_chunk(records.first(chunk_bytes_)); !written) return written;
      records = records.subspan(chunk_bytes_);
    }
    pending_.assign(records.begin(), records.end());
    return {};
  }

  std::expected<void, Error> finish() override {
    if (auto started = start(); !started) return started;
    if (!pending_.empty()) {
      if (auto written = write_chunk(pending_); !written) return written;
      pending_.clear();
    }
    if (!table_start_) {
      std::vector<std::uint8_t> table;
      laz::encode_chunk_table(entries_, false, table);
      const std::uint64_t at = file_.position();
      if (auto written = file_.write(table); !written) return written;
      table_start_ = at;
    }
    std::uint8_t offset[8];
    store<std::int64_t>(offset, static_cast<std::int64_t>(*table_start_));
    return file_.write_at(*data_start_, offset);
  }

 private:
  // The table offset comes first; until it is patched it points at itself,
  // which readers take for a missing table.
  std::expected<void, Error> start() {
    if (data_start_) return {};
    const std::uint64_t at = file_.position();
    std::uint8_t offset[8];
    store<std::int64_t>(offset, static_cast<std::int64_t>(at));
    if (auto written = file_.write(offset); !written) return written;
    data_start_ = at;
    return {};
  }

  std::expected<void, Error> write_chunk(std::span<const std::uint8_t> records) {
    encoded_.clear();
    std::visit([&](auto& e) { e.encode(records, encoded_); }, encoder_);
    if (auto written = file_.write(encoded_); !written) return written;
    entries_.push_back({records.size() / record_length_, encoded_.size()});
    return {};
  }

  io::OutputFile& file_;
  AnyChunkEncoder encoder_;
  std::size_t record_length_;
  std::size_t chunk_bytes_;
  std::vector<std::uint8_t> pending_;
  std::vector<std::uint8_t> encoded_;
  std::vector<laz::ChunkEntry> entries_;
  std::optional<std::uint64_t> data_start_;
  std::optional<std::uint64_t> table_start_;
};

}  // namespace

std::expected<std::unique_ptr<PointStreamReader>, Error> open_compressed_stream(
    std::shared_ptr<const io::InputFile> file, const FileHeader& file_header) {
  const Header& header = file_header.header;
  const auto found =
      std::find_if(header.vlrs().begin(), header.vlrs().end(), [](const Vlr& v) { return v.is_laszip(); });
  if (found == header.vlrs().end()) return std::unexpected(Error("laszip vlr not found"));
  auto vlr = laz::LaszipVlr::parse(found->data);
  if (!vlr) return std::unexpected(vlr.error());
  const PointFormat& format = header.point_format();
  if (auto fits = vlr->check_point_format(format.id, static_cast<std::uint16_t>(format.record_length())); !fits) {
    return std::unexpected(fits.error());
  }
  auto decoder = chunk_decoder(*vlr);
  if (!decoder) return std::unexpected(decoder.error());
  const laz::ReadAt read_at = [&file](std::uint64_t offset, std::span<std::uint8_t> out) {
    return file->read_at(offset, out);
  };
  auto layout = laz::locate_chunks(read_at, file_header.point_data_offset, file_header.point_data_limit, *vlr,
                                   header.number_of_points(), static_cast<std::uint16_t>(format.record_length()));
  if (!layout) return std::unexpected(layout.error());
  return std::make_unique<CompressedStreamReader>(std::move(file), std::move(*decoder), std::move(*layout),
                                                  file_header.point_data_limit);
}

std::expected<std::unique_ptr<PointStreamWriter>, Error> create_compressed_stream(io::OutputFile& file,
                                                                                  HeaderBuilder& header) {
  auto vlr = laz::LaszipVlr::for_point_format(header.point_format.id, header.point_format.extra_bytes);
  if (!vlr) return std::unexpected(vlr.error());
  auto encoder = chunk_encoder(*vlr);
  if (!encoder) return std::unexpected(encoder.error());
  std::erase_if(header.vlrs, [](const Vlr& v) { return v.is_laszip(); });
  header.vlrs.push_back(Vlr{0, std::string(laz::LaszipVlr::user_id), laz::LaszipVlr::record_id,
                            std::string(laz::LaszipVlr::description), vlr->serialize()});
  return std::make_unique<CompressedStreamWriter>(file, std::move(*encoder), vlr->chunk_size);
}

}  // namespace las
