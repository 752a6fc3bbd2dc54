#include "las/writer.hpp"

#include <cstring>
#include <optional>
#include <vector>

#include "las/compressed_stream.hpp"
#include "las/header_codec.hpp"
#include "las/io/file.hpp"
#include "las/plain_stream.hpp"
#include "las/point.hpp"

namespace las {

struct Writer::State {
  State(io::OutputFile file, HeaderBuilder header) : file(std::move(file)), header(std::move(header)) {}

  io::OutputFile file;
  HeaderBuilder header;
  RecordLayout layout;
  std::unique_ptr<PointStreamWriter> stream;
  // Converted records, kept between calls to save the allocation.
  std::vector<std::uint8_t> scratch;
  // Where the point data ended when finishing began; the stream is finished once.
  std::optional<std::uint64_t> points_end;
  bool closed = false;

  // Counts the records by return and widens the bounds, then hands them to the stream.
  std::expected<void, Error> append(std::span<const std::uint8_t> records);
  // Converts records of another layout into scratch, as far as they convert.
  std::expected<void, Error> convert(const RecordLayout& from, std::span<const std::uint8_t> records);
  std::expected<void, Error> finish();
};

std::expected<void, Error> Writer::State::append(std::span<const std::uint8_t> records) {
  const std::size_t length = layout.record_length();
  const std::uint8_t return_mask = layout.format.is_extended() ? 0x0F : 0x07;
  for (const std::uint8_t* r = records.data(); r != records.data() + records.size(); r += length) {
    header.bounds.grow(layout.coordinates(r));
    if (const std::uint8_t number = r[14] & return_mask; number != 0) ++header.number_of_points_by_return[number - 1];
  }
  header.number_of_points += records.size() / length;
  return stream->write(records);
}

std::expected<void, Error> Writer::State::convert(const RecordLayout& from, std::span<const std::uint8_t> records) {
  return convert_records(from, records, layout, scratch);
}

std::expected<void, Error> Writer::State::finish() {
  if (!points_end) {
    if (auto finished = stream->finish(); !finished) return finished;
    points_end = file.position();
  }
  auto built = header.build();
  if (!built) return std::unexpected(built.error());
  if (auto written = file.write_at(*points_end, encode_evlrs(*built)); !written) return written;
  if (auto written = file.write_at(0, encode_header(*built, *points_end)); !written) return written;
  return file.close();
}

std::expected<Writer, Error> Writer::create(const std::string& path, const Header& header, bool compressed) {
  auto file = io::OutputFile::create(path);
  if (!file) return std::unexpected(file.error());
  return create(std::move(*file), header, compressed);
}

std::expected<Writer, Error> Writer::create(io::OutputFile file, const Header& header, bool compressed) {
  HeaderBuilder builder(header);
  // A Header was checked when it was built, or is what a file holds: its
  // global encoding is written as it stands.
  builder.pass_global_encoding = true;
  builder.compressed = compressed;
  builder.number_of_points = 0;
  builder.number_of_points_by_return = {};
  builder.bounds = Bounds{};
  if (auto checked = builder.build(); !checked) {
    file.remove();
    return std::unexpected(checked.error());
  }
  auto state = std::make_unique<State>(std::move(file), std::move(builder));
  state->layout = {state->header.point_format, state->header.transforms.x, state->header.transforms.y,
                   state->header.transforms.z};
  const auto fail = [&](Error error) -> std::expected<Writer, Error> {
    state->file.remove();
    return std::unexpected(std::move(error));
  };
  if (compressed) {
    auto stream = create_compressed_stream(state->file, state->header);
    if (!stream) return fail(stream.error());
    state->stream = std::move(*stream);
  } else {
    state->stream = std::make_unique<PlainStreamWriter>(state->file);
  }
  auto built = state->header.build();
  if (!built) return fail(built.error());
  auto head = encode_header(*built, 0);
  const auto vlrs = encode_vlrs(*built);
  head.insert(head.end(), vlrs.begin(), vlrs.end());
  if (auto written = state->file.write(head); !written) return fail(written.error());
  return Writer(std::move(state));
}

Writer::Writer(std::unique_ptr<State> state) : state_(std::move(state)) {}
Writer::Writer(Writer&&) noexcept = default;

Writer& Writer::operator=(Writer&& other) noexcept {
  if (this != &other) {
    finish_unclosed();
    state_ = std::move(other.state_);
  }
  return *this;
}

Writer::~Writer() { finish_unclosed(); }

void Writer::finish_unclosed() noexcept {
  if (!state_ || state_->closed) return;
  try {
    (void)close();
  } catch (...) {
    // Out of memory while finishing: the file stays as it is.
  }
}

RecordLayout Writer::layout() const { return state_->layout; }

std::expected<void, Error> Writer::write_records(const RecordLayout& layout, std::span<const std::uint8_t> records) {
  if (state_->closed) return std::unexpected(Error("the writer is closed"));
  if (layout.format.id > PointFormat::kMaxId) {
    return std::unexpected(Error("point format " + std::to_string(layout.format.id) + " is not supported"));
  }
  if (records.size() % layout.record_length() != 0) {
    return std::unexpected(Error("the records (" + std::to_string(records.size()) + " bytes) are not a whole number of " +
                                 std::to_string(layout.record_length()) + "-byte records"));
  }
  if (layout == state_->layout) return state_->append(records);
  const auto converted = state_->convert(layout, records);
  if (auto appended = state_->append(state_->scratch); !appended) return appended;
  return converted;
}

bool Writer::can_rewind() const { return !state_->closed && state_->file.truncatable(); }

Writer::Mark Writer::mark() {
  const HeaderBuilder& h = state_->header;
  return {h.number_of_points, h.number_of_points_by_return, h.bounds, state_->stream->mark()};
}

std::expected<void, Error> Writer::rewind(const Mark& mark) {
  if (state_->closed || state_->points_end) return std::unexpected(Error("the writer is closed"));
  if (auto rewound = state_->stream->rewind(mark.stream); !rewound) return rewound;
  HeaderBuilder& h = state_->header;
  h.number_of_points = mark.number_of_points;
  h.number_of_points_by_return = mark.number_of_points_by_return;
  h.bounds = mark.bounds;
  return {};
}

std::expected<void, Error> Writer::close() {
  if (state_->closed) return {};
  auto finished = state_->finish();
  if (finished) state_->closed = true;
  return finished;
}

}  // namespace las
