#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "las/laz/arithmetic_decoder.hpp"
#include "las/laz/arithmetic_encoder.hpp"
#include "las/laz/integer_compressor.hpp"
#include "las/laz/models.hpp"

namespace las::laz {
namespace {

// One coded value: which operation, the model index or width, and the value.
struct Op {
  enum Kind { bit, symbol, raw_bit, raw_bits, raw_short, raw_int, raw_int64 } kind;
  unsigned param;
  std::uint64_t value;
};

// A skewed random sequence, so that models adapt and long intervals and carries occur.
std::vector<Op> random_ops(std::uint32_t seed, std::size_t count, const std::vector<unsigned>& symbol_counts) {
  std::mt19937_64 rng(seed);
  std::vector<Op> ops;
  for (std::size_t i = 0; i < count; ++i) {
    const auto kind = static_cast<Op::Kind>(rng() % 7);
    switch (kind) {
      case Op::bit:
        ops.push_back({kind, 0, rng() % 10 == 0 ? 1u : 0u});
        break;
      case Op::symbol: {
        const unsigned m = rng() % symbol_counts.size();
        const unsigned n = symbol_counts[m];
        ops.push_back({kind, m, rng() % 4 == 0 ? rng() % n : std::min(n - 1, 3u)});
        break;
      }
      case Op::raw_bit:
        ops.push_back({kind, 0, rng() & 1});
        break;
      case Op::raw_bits: {
        const unsigned bits = 1 + rng() % 32;
        ops.push_back({kind, bits, rng() & ((std::uint64_t{1} << bits) - 1)});
        break;
      }
      case Op::raw_short:
        ops.push_back({kind, 0, rng() & 0xFFFF});
        break;
      case Op::raw_int:
        ops.push_back({kind, 0, rng() & 0xFFFFFFFF});
        break;
      case Op::raw_int64:
        ops.push_back({kind, 0, rng()});
        break;
    }
  }
  return ops;
}

std::vector<SymbolModel> make_models(const std::vector<unsigned>& symbol_counts) {
  std::vector<SymbolModel> models;
  for (unsigned n : symbol_counts) models.emplace_back(n);
  return models;
}

std::vector<std::uint8_t> encode(const std::vector<Op>& ops, const std::vector<unsigned>& symbol_counts) {
  std::vector<std::uint8_t> out;
  ArithmeticEncoder enc(out);
  BitModel bit_model;
  auto models = make_models(symbol_counts);
  for (const Op& op : ops) {
    switch (op.kind) {
      case Op::bit:
        enc.encode_bit(bit_model, op.value);
        break;
      case Op::symbol:
        enc.encode_symbol(models[op.param], op.value);
        break;
      case Op::raw_bit:
        enc.write_bit(op.value);
        break;
      case Op::raw_bits:
        enc.write_bits(op.param, op.value);
        break;
      case Op::raw_short:
        enc.write_short(op.value);
        break;
      case Op::raw_int:
        enc.write_int(op.value);
        break;
      case Op::raw_int64:
        enc.write_int64(op.value);
        break;
    }
  }
  enc.done();
  return out;
}

// Decodes `ops` back from `bytes`; returns how many matched before the first difference.
std::size_t decode_matching(const std::vector<Op>& ops, const std::vector<unsigned>& symbol_counts,
                            ArithmeticDecoder& dec) {
  BitModel bit_model;
  auto models = make_models(symbol_counts);
  dec.init();
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const Op& op = ops[i];
    std::uint64_t got = 0;
    switch (op.kind) {
      case Op::bit:
        got = dec.decode_bit(bit_model);
        break;
      case Op::symbol:
        got = dec.decode_symbol(models[op.param]);
        break;
      case Op::raw_bit:
        got = dec.read_bit();
        break;
      case Op::raw_bits:
        got = dec.read_bits(op.param);
        break;
      case Op::raw_short:
        got = dec.read_short();
        break;
      case Op::raw_int:
        got = dec.read_int();
        break;
      case Op::raw_int64:
        got = dec.read_int64();
        break;
    }
    if (got != op.value) return i;
  }
  return ops.size();
}

TEST(ArithmeticCoder, DecodesWhatWasEncodedAndConsumesExactlyTheStream) {
  // Sizes below and above the 16 symbols from which the decoder uses its table.
  const std::vector<unsigned> symbol_counts{2, 3, 16, 17, 64, 256, 516, 2048};
  for (std::uint32_t seed : {1u, 2u, 3u}) {
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{50}, std::size_t{20000}}) {
      const auto ops = random_ops(seed, count, symbol_counts);
      const auto bytes = encode(ops, symbol_counts);
      ArithmeticDecoder dec(bytes);
      EXPECT_EQ(decode_matching(ops, symbol_counts, dec), ops.size()) << "seed " << seed << " count " << count;
      EXPECT_FALSE(dec.failed());
      EXPECT_EQ(dec.position(), bytes.size()) << "seed " << seed << " count " << count;
    }
  }
}

TEST(ArithmeticCoder, EncoderAppendsOneStreamAfterAnother) {
  const std::vector<unsigned> symbol_counts{5, 300};
  const auto first_ops = random_ops(7, 3000, symbol_counts);
  const auto second_ops = random_ops(8, 3000, symbol_counts);
  const auto first = encode(first_ops, symbol_counts);
  const auto second = encode(second_ops, symbol_counts);

  std::vector<std::uint8_t> joined = first;
  joined.insert(joined.end(), second.begin(), second.end());
  ArithmeticDecoder dec(std::span<const std::uint8_t>(joined).subspan(first.size()));
  EXPECT_EQ(decode_matching(second_ops, symbol_counts, dec), second_ops.size());
}

TEST(ArithmeticDecoder, ReadingPastTheEndFailsInsteadOfOverrunning) {
  const std::vector<unsigned> symbol_counts{40};
  const auto ops = random_ops(11, 5000, symbol_counts);
  const auto bytes = encode(ops, symbol_counts);
  for (std::size_t keep : {std::size_t{0}, std::size_t{3}, bytes.size() / 2, bytes.size() - 1}) {
    const std::vector<std::uint8_t> truncated(bytes.begin(), bytes.begin() + keep);
    ArithmeticDecoder dec(truncated);
    decode_matching(ops, symbol_counts, dec);
    EXPECT_TRUE(dec.failed()) << "kept " << keep;
    EXPECT_LE(dec.position(), truncated.size());
  }
}

TEST(ArithmeticDecoder, GarbageDecodesToValidSymbols) {
  // All 0xFF starts the decoder at the top of its interval and keeps it
  // there, beyond where a valid stream can be; random bytes go anywhere.
  std::mt19937 rng(1);
  std::vector<std::uint8_t> random(100000);
  for (auto& b : random) b = static_cast<std::uint8_t>(rng());
  for (const auto& garbage : {std::vector<std::uint8_t>(100000, 0xFF), random}) {
    for (unsigned symbols : {300u, 7u}) {
      ArithmeticDecoder dec(garbage);
      dec.init();
      SymbolModel model(symbols);
      while (!dec.failed()) {
        ASSERT_LT(dec.decode_symbol(model), symbols);
        ASSERT_LT(dec.read_bits(5), 32u);
      }
    }
  }
}

struct IntegerCase {
  unsigned bits, contexts, bits_high;
  std::uint32_t range;
  std::int64_t low, high;  // the values coded lie in [low, high]
};

TEST(IntegerCompressor, RoundTripsValuesAndBitCounts) {
  const IntegerCase cases[] = {
      {32, 3, 8, 0, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()},
      {32, 1, 8, 0, -1000, 1000},
      {16, 4, 8, 0, 0, 0xFFFF},
      {8, 6, 8, 0, 0, 255},
      {32, 2, 4, 0, -(1 << 24), 1 << 24},
      {18, 1, 8, 0, 0, (1 << 18) - 1},
      {0, 1, 8, 1000, 0, 999},
      {0, 2, 8, 1024, 0, 1023},
  };
  for (const auto& c : cases) {
    std::mt19937_64 rng(c.bits * 131 + c.range);
    std::vector<std::array<std::int32_t, 3>> values;  // pred, real, context
    for (int i = 0; i < 5000; ++i) {
      const auto span = static_cast<std::uint64_t>(c.high - c.low);
      auto pick = [&] { return static_cast<std::int32_t>(c.low + static_cast<std::int64_t>(rng() % (span + 1))); };
      const std::int32_t pred = pick();
      // Mostly near the prediction, sometimes anywhere, sometimes at the ends.
      std::int32_t real = pick();
      if (i % 3 == 0) real = static_cast<std::int32_t>(std::clamp<std::int64_t>(pred + (i % 7) - 3, c.low, c.high));
      if (i % 11 == 0) real = static_cast<std::int32_t>(i % 2 ? c.low : c.high);
      values.push_back({pred, real, static_cast<std::int32_t>(rng() % c.contexts)});
    }
    std::vector<std::uint8_t> bytes;
    std::vector<unsigned> ks;
    {
      ArithmeticEncoder enc(bytes);
      IntegerCompressor ic(c.bits, c.contexts, c.bits_high, c.range);
      for (const auto& [pred, real, context] : values) {
        ic.compress(enc, pred, real, context);
        ks.push_back(ic.k());
      }
      enc.done();
    }
    ArithmeticDecoder dec(bytes);
    dec.init();
    IntegerDecompressor id(c.bits, c.contexts, c.bits_high, c.range);
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto& [pred, real, context] = values[i];
      ASSERT_EQ(id.decompress(dec, pred, context), real) << "bits " << c.bits << " range " << c.range << " at " << i;
      ASSERT_EQ(id.k(), ks[i]);
    }
    EXPECT_FALSE(dec.failed());
    EXPECT_EQ(dec.position(), bytes.size());
  }
}

}  // namespace
}  // namespace las::laz
