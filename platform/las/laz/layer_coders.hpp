#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "las/laz/arithmetic_decoder.hpp"
#include "las/laz/arithmetic_encoder.hpp"

namespace las::laz {

// One layer of a layered chunk being read. A layer of zero bytes means that
// its value did not change within the chunk.
struct LayerDecoder {
  ArithmeticDecoder coder{std::span<const std::uint8_t>{}};
  bool present = false;

  void start(std::span<const std::uint8_t> bytes) {
    present = !bytes.empty();
    coder = ArithmeticDecoder(bytes);
    coder.init();
  }
  bool failed() const { return present && coder.failed(); }
};

// One layer of a layered chunk being written, with bytes of its own.
class LayerEncoder {
 public:
  LayerEncoder() : stream_(std::make_unique<Stream>()) {}

  ArithmeticEncoder& coder() { return stream_->coder; }
  void restart() {
    stream_->bytes.clear();
    stream_->coder.init();
  }
  // The finished stream; `kept` false gives the empty layer of an unchanged value.
  std::vector<std::uint8_t> finish(bool kept) {
    if (!kept) return {};
    stream_->coder.done();
    return std::move(stream_->bytes);
  }

 private:
  struct Stream {
    std::vector<std::uint8_t> bytes;
    ArithmeticEncoder coder{bytes};
  };
  std::unique_ptr<Stream> stream_;
};

}  // namespace las::laz
