#include "las/compressed_stream.hpp"

#include <algorithm>
#include <optional>
#include <variant>

#include "las/bytes.hpp"
#include "las/copc.hpp"
#include "las/laz/chunk_codec.hpp"
#include "las/laz/chunk_table.hpp"
#include "las/laz/laszip_vlr.hpp"
#include "las/laz/layered_chunk.hpp"
#include "pool/pool.hpp"

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

// One chunk per batch, read into memory and decoded there. With a chunk
// table (or a single pointwise stream) the chunks can also be read in any
// order, each with a decoder and buffers of its own.
class CompressedStreamReader final : public PointStreamReader {
 public:
  CompressedStreamReader(std::shared_ptr<const io::InputFile> file, laz::LaszipVlr vlr, AnyChunkDecoder decoder,
                         laz::ChunkLayout layout, std::uint64_t limit)
      : file_(std::move(file)),
        vlr_(std::move(vlr)),
        record_length_(std::visit([](const auto& d) { return d.record_length(); }, decoder)),
        layout_(std::move(layout)),
        limit_(limit),
        next_state_{std::move(decoder), {}, {}} {
    std::uint64_t first = 0;
    for (const laz::ChunkLocation& chunk : layout_.chunks) {
      first_points_.push_back(first);
      first += chunk.point_count;
    }
  }

  std::optional<std::size_t> chunk_count() const override { return layout_.chunks.size(); }

  std::optional<std::size_t> unit_count() const override {
    if (layout_.sizes == laz::ChunkLayout::Sizes::unknown) return std::nullopt;
    return layout_.chunks.size();
  }

  PointUnit unit(std::size_t index) const override {
    return {first_points_.at(index), layout_.chunks.at(index).point_count};
  }

  std::expected<std::optional<std::vector<Bounds>>, Error> unit_cubes(const Header& header) const override {
    if (!unit_count()) return std::nullopt;
    const laz::ReadAt read_at = [this](std::uint64_t offset, std::span<std::uint8_t> out) {
      return file_->read_at(offset, out);
    };
    return copc::chunk_cubes(header, read_at, file_->size(), layout_);
  }

  std::expected<std::size_t, Error> read_unit(std::size_t index, std::vector<std::uint8_t>& out,
                                              const RecordFilter* keep) const override {
    // The VLR made a decoder once: it makes one again.
    DecodeState state{*chunk_decoder(vlr_), {}, {}};
    auto used = decode_bounded(index, layout_.chunks.at(index), state, out, keep);
    if (!used) return std::unexpected(used.error());
    return static_cast<std::size_t>(layout_.chunks[index].point_count);
  }

  std::expected<std::size_t, Error> read_batch(std::vector<std::uint8_t>& out, const RecordFilter* keep) override {
    if (next_ == layout_.chunks.size()) return 0;
    const laz::ChunkLocation& chunk = layout_.chunks[next_];
    const bool unbounded = layout_.sizes == laz::ChunkLayout::Sizes::unknown;
    auto used = unbounded ? decode_unbounded(chunk, out, keep) : decode_bounded(next_, chunk, next_state_, out, keep);
    if (!used) return std::unexpected(used.error());
    if (layout_.sizes == laz::ChunkLayout::Sizes::unknown && next_ + 1 < layout_.chunks.size()) {
      layout_.chunks[next_ + 1].offset = chunk.offset + *used;
    }
    ++next_;
    return static_cast<std::size_t>(chunk.point_count);
  }

 private:
  // A decoder and its buffers: one per thread.
  struct DecodeState {
    AnyChunkDecoder decoder;
    std::vector<std::uint8_t> buffer;
    std::vector<std::uint8_t> keep;
  };

  // Decodes a chunk whose byte count is known. A stream decodes to its last
  // byte, or one short of it from writers that end streams with a byte more;
  // garbage decodes to somewhere else.
  std::expected<std::size_t, Error> decode_bounded(std::size_t index, const laz::ChunkLocation& chunk,
                                                   DecodeState& state, std::vector<std::uint8_t>& out,
                                                   const RecordFilter* keep) const {
    const std::size_t kept = out.size();
    auto used = decode(chunk.offset, chunk.byte_count, index, chunk, state, out, keep);
    if (!used) return used;
    if (layout_.sizes == laz::ChunkLayout::Sizes::from_table && *used + 1 < chunk.byte_count) {
      out.resize(kept);
      return std::unexpected(laz::codec_error("chunk " + std::to_string(index + 1) +
                                              " is corrupt: its points end after " + std::to_string(*used) +
                                              " of its " + std::to_string(chunk.byte_count) + " bytes"));
    }
    return used;
  }

  std::expected<std::size_t, Error> decode(std::uint64_t offset, std::uint64_t bytes, std::size_t index,
                                           const laz::ChunkLocation& chunk, DecodeState& state,
                                           std::vector<std::uint8_t>& out, const RecordFilter* keep) const {
    const auto held = memory_size(bytes);
    if (!held) {
      return std::unexpected(laz::codec_error("chunk " + std::to_string(index + 1) + " of " + std::to_string(bytes) +
                                              " bytes is larger than this machine can hold in memory"));
    }
    state.buffer.resize(*held);
    if (auto read = file_->read_at(offset, state.buffer); !read) return std::unexpected(read.error());
    const auto points = static_cast<std::size_t>(chunk.point_count);
    if (auto* layered = std::get_if<laz::LayeredChunkDecoder>(&state.decoder)) {
      return layered->decode(state.buffer, points, out, keep);
    }
    const std::size_t first = out.size();
    auto used = std::get<laz::ChunkDecoder>(state.decoder).decode(state.buffer, points, out);
    if (used && keep) filter_records(out, first, record_length_, *keep, state.keep);
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
      auto used = decode(chunk.offset, window, next_, chunk, next_state_, out, keep);
      if (used || window == rest) return used;
      window = std::min(rest, 2 * window);
    }
  }

  std::shared_ptr<const io::InputFile> file_;
  laz::LaszipVlr vlr_;
  std::size_t record_length_;
  laz::ChunkLayout layout_;
  std::vector<std::uint64_t> first_points_;
  std::uint64_t limit_;
  std::size_t next_ = 0;
  DecodeState next_state_;  // read_batch's
};

// Collects records into chunks of the VLR's chunk size. Each full chunk is
// encoded on the worker pool, a few at a time, and written in order as its
// encoding ends; the chunk table and its offset are written when finishing.
class CompressedStreamWriter final : public PointStreamWriter {
 public:
  CompressedStreamWriter(io::OutputFile& file, laz::LaszipVlr vlr, std::size_t record_length)
      : file_(file),
        vlr_(std::move(vlr)),
        record_length_(record_length),
        chunk_bytes_(std::size_t{vlr_.chunk_size} * record_length_),
        window_(pool::ThreadPool::global().size() + 1) {}

  std::expected<void, Error> write(std::span<const std::uint8_t> records) override {
    if (auto started = start(); !started) return started;
    if (!pending_.empty()) {
      const std::size_t take = std::min(records.size(), chunk_bytes_ - pending_.size());
      pending_.insert(pending_.end(), records.begin(), records.begin() + static_cast<std::ptrdiff_t>(take));
      records = records.subspan(take);
      if (pending_.size() < chunk_bytes_) return {};
      if (auto room = make_room(); !room) return room;
      encode_chunk(std::move(pending_));
      pending_.clear();
    }
    while (records.size() >= chunk_bytes_) {
      if (auto room = make_room(); !room) return room;
      encode_chunk({records.begin(), records.begin() + static_cast<std::ptrdiff_t>(chunk_bytes_)});
      records = records.subspan(chunk_bytes_);
    }
    pending_.assign(records.begin(), records.end());
    return {};
  }

  // Keeps the records of the chunk being filled, which a rewind puts back.
  StreamMark mark() override {
    marked_pending_ = pending_;
    return {data_start_.has_value(), file_.position(), entries_.size() + (unwritten_ ? 1 : 0) + encoding_.size()};
  }

  // Writes every chunk begun, then cuts the file after the chunks that were
  // begun at the mark.
  std::expected<void, Error> rewind(const StreamMark& mark) override {
    while (unwritten_ || !encoding_.empty()) {
      if (auto written = write_oldest(); !written) return written;
    }
    std::uint64_t end = mark.position;
    if (mark.started) {
      entries_.resize(mark.chunks);
      end = *data_start_ + 8;
      for (const laz::ChunkEntry& entry : entries_) end += entry.byte_count;
    } else {
      entries_.clear();
      data_start_.reset();
    }
    if (auto cut = file_.truncate(end); !cut) return cut;
    pending_ = marked_pending_;
    return {};
  }

  std::expected<void, Error> finish() override {
    if (auto started = start(); !started) return started;
    if (!pending_.empty()) {
      if (auto room = make_room(); !room) return room;
      encode_chunk(std::move(pending_));
      pending_.clear();
    }
    while (unwritten_ || !encoding_.empty()) {
      if (auto written = write_oldest(); !written) return written;
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
  struct EncodedChunk {
    std::uint64_t point_count;
    std::vector<std::uint8_t> bytes;
  };

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

  // Writes the oldest chunks until another may start encoding.
  std::expected<void, Error> make_room() {
    while (unwritten_ || encoding_.size() >= window_) {
      if (auto written = write_oldest(); !written) return written;
    }
    return {};
  }

  void encode_chunk(std::vector<std::uint8_t> records) {
    encoding_.start([vlr = &vlr_, records = std::move(records), length = record_length_] {
      EncodedChunk chunk{records.size() / length, {}};
      // The VLR made an encoder when the stream was created: it makes one again.
      std::visit([&](auto&& e) { e.encode(records, chunk.bytes); }, *chunk_encoder(*vlr));
      return chunk;
    });
  }

  // A chunk that failed to be written stays first in line for the next try.
  std::expected<void, Error> write_oldest() {
    if (!unwritten_) unwritten_ = encoding_.take();
    if (auto written = file_.write(unwritten_->bytes); !written) return written;
    entries_.push_back({unwritten_->point_count, unwritten_->bytes.size()});
    unwritten_.reset();
    return {};
  }

  io::OutputFile& file_;
  const laz::LaszipVlr vlr_;  // makes each chunk's encoder
  std::size_t record_length_;
  std::size_t chunk_bytes_;
  std::size_t window_;
  std::vector<std::uint8_t> pending_;
  std::vector<std::uint8_t> marked_pending_;
  pool::OrderedTasks<EncodedChunk> encoding_;
  std::optional<EncodedChunk> unwritten_;
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
  return std::make_unique<CompressedStreamReader>(std::move(file), std::move(*vlr), std::move(*decoder),
                                                  std::move(*layout), file_header.point_data_limit);
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
  const std::size_t record_length = std::visit([](const auto& e) { return e.record_length(); }, *encoder);
  return std::make_unique<CompressedStreamWriter>(file, std::move(*vlr), record_length);
}

}  // namespace las
