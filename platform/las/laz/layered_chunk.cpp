#include "las/laz/layered_chunk.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace las::laz {
namespace {

struct PlannedItem {
  ItemType type;
  ItemVersion version;
  std::size_t size;
  std::size_t offset;
};

std::string describe(const LaszipItem& item) {
  return std::string(item_type_name(item.type)) + " of " + std::to_string(item.size) + " bytes, version " +
         std::to_string(item.version);
}

// Checks the item list and places each item in the record.
std::expected<std::vector<PlannedItem>, Error> plan(std::span<const LaszipItem> items) {
  if (items.empty() || items[0].type != ItemType::point14) {
    return std::unexpected(codec_error("layered chunks must start with a POINT14 item"));
  }
  std::vector<PlannedItem> planned;
  std::size_t offset = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const LaszipItem& item = items[i];
    std::size_t expected_size = 0;
    switch (item.type) {
      case ItemType::point14: expected_size = i == 0 ? point14_size : 0; break;
      case ItemType::rgb14: expected_size = rgb14_size; break;
      case ItemType::rgbnir14: expected_size = rgb14_size + nir14_size; break;
      case ItemType::wavepacket14: expected_size = wavepacket14_size; break;
      case ItemType::byte14: expected_size = item.size; break;
      default: break;
    }
    const bool known_version = item.version == 3 || item.version == 4;
    if (expected_size == 0 || item.size != expected_size || !known_version) {
      return std::unexpected(codec_error(describe(item) + " cannot be coded in layered chunks"));
    }
    planned.push_back({item.type, item.version == 4 ? ItemVersion::v4 : ItemVersion::v3,
                       item.size, offset});
    offset += item.size;
  }
  return planned;
}

std::size_t record_length_of(const std::vector<PlannedItem>& items) {
  return items.back().offset + items.back().size;
}

void append_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  const std::size_t at = out.size();
  out.resize(at + 4);
  store(out.data() + at, v);
}

}  // namespace

std::expected<LayeredChunkDecoder, Error> LayeredChunkDecoder::create(const LaszipVlr& vlr) {
  auto planned = plan(vlr.items);
  if (!planned) return std::unexpected(planned.error());
  LayeredChunkDecoder decoder;
  decoder.record_length_ = record_length_of(*planned);
  for (const PlannedItem& item : *planned) {
    const auto add = [&](ItemDecoder d, std::size_t offset, std::size_t layers) {
      decoder.items_.push_back({std::move(d), offset, layers});
      decoder.layer_count_ += layers;
    };
    switch (item.type) {
      case ItemType::rgb14: add(Rgb14Decoder(item.version), item.offset, 1); break;
      case ItemType::rgbnir14:
        add(Rgb14Decoder(item.version), item.offset, 1);
        add(Nir14Decoder(item.version), item.offset + rgb14_size, 1);
        break;
      case ItemType::wavepacket14: add(WavePacket14Decoder(item.version), item.offset, 1); break;
      case ItemType::byte14: add(Byte14Decoder(item.version, item.size), item.offset, item.size); break;
      default: break;  // POINT14, decoded by the two passes of its own
    }
  }
  return decoder;
}

std::expected<std::size_t, Error> LayeredChunkDecoder::decode(std::span<const std::uint8_t> chunk,
                                                              std::size_t point_count, std::vector<std::uint8_t>& out,
                                                              const RecordFilter* keep) {
  if (point_count == 0) return 0;
  if (point_count > max_layered_chunk_points) {
    return std::unexpected(codec_error("a chunk of " + std::to_string(point_count) + " points is larger than " +
                                       std::to_string(max_layered_chunk_points)));
  }
  const std::size_t header = record_length_ + 4 + 4 * layer_count_;
  if (chunk.size() < header) {
    return std::unexpected(codec_error("a chunk of " + std::to_string(chunk.size()) + " bytes is too short"));
  }
  const auto stored_count = load<std::uint32_t>(chunk.data() + record_length_);
  if (stored_count != point_count) {
    return std::unexpected(codec_error("a chunk holds " + std::to_string(stored_count) + " points instead of " +
                                       std::to_string(point_count)));
  }
  layers_.clear();
  std::size_t at = header;
  for (std::size_t i = 0; i < layer_count_; ++i) {
    const auto size = load<std::uint32_t>(chunk.data() + record_length_ + 4 + 4 * i);
    if (size > chunk.size() - at) {
      return std::unexpected(codec_error("a chunk's layers run past its " + std::to_string(chunk.size()) + " bytes"));
    }
    layers_.push_back(chunk.subspan(at, size));
    at += size;
  }

  const std::size_t base = out.size();
  out.resize(base + point_count * record_length_);
  const ChunkRecords records{out.data() + base, record_length_, point_count};
  std::memcpy(records.data, chunk.data(), record_length_);
  changes_.assign(point_count, Point14Changes{});
  const auto corrupt = [&] {
    out.resize(base);
    return std::unexpected(codec_error("corrupt chunk data"));
  };
  const std::span<const std::span<const std::uint8_t>> layers(layers_);
  // A chunk of one point is its raw record; its layers, if any, code nothing.
  const bool coded = point_count > 1;
  if (coded && !geometry_.decode(records, changes_, layers.subspan(0, 2))) return corrupt();

  // The other layers are decoded as far as the last kept point: each point
  // is predicted from the ones before it, never from the ones after.
  std::size_t decoded = point_count;
  if (keep) {
    keep_.assign(point_count, 0);
    (*keep)(std::span<const std::uint8_t>(records.data, point_count * record_length_), record_length_, keep_);
    const auto last_kept = std::find_if(keep_.rbegin(), keep_.rend(), [](std::uint8_t k) { return k != 0; });
    if (last_kept == keep_.rend()) {
      out.resize(base);
      return at;
    }
    decoded = static_cast<std::size_t>(keep_.rend() - last_kept);
  }

  if (coded && decoded > 1) {
    const ChunkRecords head{records.data, record_length_, decoded};
    if (!attributes_.decode(head, changes_, layers.subspan(2, point14_layers - 2))) return corrupt();
    std::size_t layer = point14_layers;
    for (Slot& slot : items_) {
      const bool ok = std::visit(
          [&](auto& d) { return d.decode(head, slot.offset, changes_, layers.subspan(layer, slot.layers)); },
          slot.decoder);
      if (!ok) return corrupt();
      layer += slot.layers;
    }
  }

  if (!keep) return at;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < decoded; ++i) {
    if (!keep_[i]) continue;
    if (kept != i) std::memmove(records.record(kept), records.record(i), record_length_);
    ++kept;
  }
  out.resize(base + kept * record_length_);
  return at;
}

std::expected<LayeredChunkEncoder, Error> LayeredChunkEncoder::create(const LaszipVlr& vlr) {
  auto planned = plan(vlr.items);
  if (!planned) return std::unexpected(planned.error());
  LayeredChunkEncoder encoder;
  encoder.record_length_ = record_length_of(*planned);
  for (const PlannedItem& item : *planned) {
    const auto add = [&](ItemEncoder e, std::size_t offset) { encoder.items_.push_back({std::move(e), offset}); };
    switch (item.type) {
      case ItemType::rgb14: add(Rgb14Encoder(item.version), item.offset); break;
      case ItemType::rgbnir14:
        add(Rgb14Encoder(item.version), item.offset);
        add(Nir14Encoder(item.version), item.offset + rgb14_size);
        break;
      case ItemType::wavepacket14: add(WavePacket14Encoder(item.version), item.offset); break;
      case ItemType::byte14: add(Byte14Encoder(item.version, item.size), item.offset); break;
      default: break;  // POINT14
    }
  }
  return encoder;
}

void LayeredChunkEncoder::encode(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out) {
  const ConstChunkRecords records{bytes.data(), record_length_, bytes.size() / record_length_};
  changes_.assign(records.count, Point14Changes{});
  layers_.clear();
  point_.encode(records, changes_, layers_);
  for (Slot& slot : items_) {
    std::visit([&](auto& e) { e.encode(records, slot.offset, changes_, layers_); }, slot.encoder);
  }
  out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(record_length_));
  append_u32(out, static_cast<std::uint32_t>(records.count));
  for (const auto& layer : layers_) append_u32(out, static_cast<std::uint32_t>(layer.size()));
  for (const auto& layer : layers_) out.insert(out.end(), layer.begin(), layer.end());
}

}  // namespace las::laz
