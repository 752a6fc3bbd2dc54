#include "las/copc.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <numeric>

#include "las/bytes.hpp"
#include "las/laz/laz_test_files.hpp"
#include "las/reader.hpp"
#include "las/test_files.hpp"

namespace las::copc {
namespace {

using testing::Bytes;

bool inside(const Bounds& cube, const Vector3& p) {
  return p.x >= cube.min.x && p.x <= cube.max.x && p.y >= cube.min.y && p.y <= cube.max.y && p.z >= cube.min.z &&
         p.z <= cube.max.z;
}

// Every record of each chunk, decoded by the reader, lies in the cube the
// hierarchy gives that chunk, and the nodes hold every point of the file.
TEST(CopcSamples, EveryPointLiesInItsChunksCube) {
  for (const auto& [name, chunk_count] : {std::pair{"pdal__1.2-with-color.copc.laz", 65u},
                                          std::pair{"las-rs__autzen.copc.laz", 1u}}) {
    const testing::LazSample s = testing::open_sample(name);
    const Header& header = s.header.header;
    ASSERT_EQ(s.layout.chunks.size(), chunk_count) << name;
    const auto read_at = testing::read_at_of(s.bytes);

    const Vlr* vlr = find_info_vlr(header);
    ASSERT_NE(vlr, nullptr) << name;
    auto info = Info::parse(vlr->data);
    ASSERT_TRUE(info.has_value()) << name << ": " << info.error().message();
    auto nodes = read_hierarchy(*info, read_at, s.bytes.size(), s.layout.chunks.size());
    ASSERT_TRUE(nodes.has_value()) << name << ": " << nodes.error().message();
    const std::uint64_t points = std::accumulate(nodes->begin(), nodes->end(), std::uint64_t{0},
                                                 [](std::uint64_t sum, const Node& n) { return sum + n.point_count; });
    EXPECT_EQ(points, header.number_of_points()) << name;

    auto cubes = chunk_cubes(header, read_at, s.bytes.size(), s.layout);
    ASSERT_TRUE(cubes.has_value()) << name << ": " << cubes.error().message();
    ASSERT_TRUE(cubes->has_value()) << name;
    ASSERT_EQ((*cubes)->size(), chunk_count) << name;

    auto reader = Reader::open(testing::sample(name));
    ASSERT_TRUE(reader.has_value()) << name;
    const std::size_t length = reader->layout().record_length();
    const Transforms& t = header.transforms();
    for (std::size_t c = 0; c < chunk_count; ++c) {
      const Bounds& cube = (**cubes)[c];
      Bytes batch;
      ASSERT_EQ(reader->read_batch(batch).value(), s.layout.chunks[c].point_count) << name;
      std::size_t outside = 0;
      for (std::size_t at = 0; at < batch.size(); at += length) {
        const Vector3 p{t.x.apply(load<std::int32_t>(&batch[at])), t.y.apply(load<std::int32_t>(&batch[at + 4])),
                        t.z.apply(load<std::int32_t>(&batch[at + 8]))};
        outside += !inside(cube, p);
      }
      EXPECT_EQ(outside, 0u) << name << " chunk " << c;
    }
  }
}

// The first sample's octree goes several levels deep, so its cubes differ
// from the root's and nest in it.
TEST(CopcSamples, DeeperNodesHaveSmallerCubesInsideTheRoot) {
  const testing::LazSample s = testing::open_sample("pdal__1.2-with-color.copc.laz");
  auto info = Info::parse(find_info_vlr(s.header.header)->data);
  ASSERT_TRUE(info.has_value());
  auto nodes = read_hierarchy(*info, testing::read_at_of(s.bytes), s.bytes.size(), s.layout.chunks.size());
  ASSERT_TRUE(nodes.has_value()) << nodes.error().message();
  const Bounds root = cube_of(*info, Key{});
  int deepest = 0;
  for (const Node& node : *nodes) {
    const Bounds cube = cube_of(*info, node.key);
    deepest = std::max(deepest, node.key.depth);
    EXPECT_NEAR(cube.max.x - cube.min.x, 2 * info->halfsize / (1 << node.key.depth), 1e-6);
    EXPECT_TRUE(inside(root, cube.min) && inside(root, cube.max)) << node.key.depth;
  }
  EXPECT_GE(deepest, 2);
}

TEST(Copc, FileWithoutInfoRecordHasNoCubes) {
  const testing::LazSample s = testing::open_sample("lasR__las14_pdrf6.laz");
  auto cubes = chunk_cubes(s.header.header, testing::read_at_of(s.bytes), s.bytes.size(), s.layout);
  ASSERT_TRUE(cubes.has_value()) << cubes.error().message();
  EXPECT_FALSE(cubes->has_value());
}

// A small file in memory: two chunks, a root page at 1000 holding the root
// node (chunk 1) and a pointer to a page at 1100 that holds node 1-1-0-1
// (chunk 2). The cases below each spoil one thing.
struct Fixture {
  static constexpr std::uint64_t root_page = 1000;
  static constexpr std::uint64_t child_page = 1100;

  Bytes file = Bytes(2000, 0);
  std::array<std::uint8_t, Info::size> info{};
  laz::ChunkLayout layout{{{100, 200, 10}, {300, 100, 5}}, laz::ChunkLayout::Sizes::from_table};

  Fixture() {
    set_info(0, 10.0);
    set_info(8, 20.0);
    set_info(16, 30.0);
    set_info(24, 8.0);  // halfsize
    set_root(root_page, 64);
    entry(root_page, 0, {0, 0, 0, 0}, 100, 200, 10);
    entry(root_page, 1, {1, 1, 0, 1}, child_page, 32, -1);
    entry(child_page, 0, {1, 1, 0, 1}, 300, 100, 5);
  }
  void set_info(std::size_t at, double v) { store<double>(info.data() + at, v); }
  void set_root(std::uint64_t offset, std::uint64_t size) {
    store<std::uint64_t>(info.data() + 40, offset);
    store<std::uint64_t>(info.data() + 48, size);
  }
  void entry(std::uint64_t page, std::size_t i, Key key, std::uint64_t offset, std::int32_t bytes,
             std::int32_t points) {
    std::uint8_t* at = file.data() + page + i * 32;
    store(at, key.depth);
    store(at + 4, key.x);
    store(at + 8, key.y);
    store(at + 12, key.z);
    store(at + 16, offset);
    store(at + 24, bytes);
    store(at + 28, points);
  }
  // A second entry in the child page, which grows to hold it.
  void add_child_entry(Key key, std::uint64_t offset, std::int32_t bytes, std::int32_t points) {
    entry(root_page, 1, {1, 1, 0, 1}, child_page, 64, -1);
    entry(child_page, 1, key, offset, bytes, points);
  }
  std::expected<std::optional<std::vector<Bounds>>, Error> cubes(std::span<const std::uint8_t> info_data) const {
    HeaderFields fields;
    fields.transforms = {{0.01, 0}, {0.5, 0}, {0.25, 0}};
    fields.vlrs.push_back({0, "copc", 1, "", Bytes(info_data.begin(), info_data.end())});
    return chunk_cubes(Header::as_read(fields), testing::read_at_of(file), file.size(), layout);
  }
  std::expected<std::optional<std::vector<Bounds>>, Error> cubes() const { return cubes(info); }
};

TEST(CopcHierarchy, MapsNodesOntoTheirChunksWithPaddedCubes) {
  const Fixture f;
  auto cubes = f.cubes();
  ASSERT_TRUE(cubes.has_value()) << cubes.error().message();
  ASSERT_TRUE(cubes->has_value());
  ASSERT_EQ((*cubes)->size(), 2u);
  // Root: center (10, 20, 30) +- 8, grown by the scales 0.01, 0.5, 0.25.
  EXPECT_EQ((**cubes)[0], (Bounds{{1.99, 11.5, 21.75}, {18.01, 28.5, 38.25}}));
  // 1-1-0-1: the upper x, lower y, upper z half.
  EXPECT_EQ((**cubes)[1], (Bounds{{9.99, 11.5, 29.75}, {18.01, 20.5, 38.25}}));
}

struct HostileCase {
  const char* name;
  std::function<void(Fixture&)> spoil;
  const char* message;
};

TEST(CopcHierarchy, HostileHierarchiesAreRefused) {
  using F = Fixture;
  constexpr auto max64 = std::numeric_limits<std::uint64_t>::max();
  const HostileCase cases[] = {
      {"page pointing back at the root", [](F& f) { f.add_child_entry({1, 1, 0, 1}, F::root_page, 64, -1); },
       "at byte 1000 is referenced twice"},
      {"page pointing at itself", [](F& f) { f.add_child_entry({2, 2, 0, 2}, F::child_page, 64, -1); },
       "at byte 1100 is referenced twice"},
      {"page outside the file", [](F& f) { f.entry(F::root_page, 1, {1, 1, 0, 1}, 1990, 32, -1); },
       "lies outside the file (2000 bytes)"},
      {"page size overflowing the offset", [](F& f) { f.set_root(max64 - 8, 32); }, "lies outside the file"},
      {"huge root page", [](F& f) { f.set_root(F::root_page, std::uint64_t{1} << 62); }, "lies outside the file"},
      {"huge child page", [](F& f) { f.entry(F::root_page, 1, {1, 1, 0, 1}, F::child_page, 0x7FFFFFE0, -1); },
       "lies outside the file"},
      {"page size not a multiple of 32", [](F& f) { f.set_root(F::root_page, 48); }, "not a whole number of entries"},
      {"negative page size", [](F& f) { f.entry(F::root_page, 1, {1, 1, 0, 1}, F::child_page, -32, -1); },
       "negative page size"},
      {"pages larger together than the file",
       [](F& f) {
         f.set_root(F::root_page, 992);
         f.entry(F::root_page, 2, {1, 0, 0, 0}, 0, 1024, -1);
       },
       "beyond the size of the file"},
      {"negative depth", [](F& f) { f.entry(F::child_page, 0, {-1, 0, 0, 0}, 300, 100, 5); }, "not a key"},
      {"x beyond its depth", [](F& f) { f.entry(F::child_page, 0, {1, 2, 0, 1}, 300, 100, 5); }, "not a key"},
      {"negative z", [](F& f) { f.entry(F::child_page, 0, {1, 1, 0, -1}, 300, 100, 5); }, "not a key"},
      {"key outside its page's subtree", [](F& f) { f.entry(F::child_page, 0, {1, 0, 0, 1}, 300, 100, 5); },
       "outside the page's subtree 1-1-0-1"},
      {"key above its page's subtree", [](F& f) { f.entry(F::child_page, 0, {0, 0, 0, 0}, 300, 100, 5); },
       "outside the page's subtree"},
      {"point count below -1", [](F& f) { f.entry(F::child_page, 0, {1, 1, 0, 1}, 300, 100, -2); },
       "point count of -2"},
      {"points in no bytes", [](F& f) { f.entry(F::child_page, 0, {1, 1, 0, 1}, 300, 0, 5); },
       "holds points in 0 bytes"},
      {"data outside the file", [](F& f) { f.entry(F::child_page, 0, {1, 1, 0, 1}, 1999, 100, 5); },
       "points outside the file"},
      {"more nodes than chunks", [](F& f) { f.add_child_entry({2, 2, 0, 2}, 300, 100, 5); },
       "one node more than the 2"},
      {"node on no chunk", [](F& f) { f.entry(F::child_page, 0, {1, 1, 0, 1}, 301, 100, 5); },
       "at byte 301 is not at the start of a chunk"},
      {"node beyond the last chunk", [](F& f) { f.entry(F::child_page, 0, {1, 1, 0, 1}, 500, 100, 5); },
       "not at the start of a chunk"},
      {"point count unlike its chunk's", [](F& f) { f.entry(F::child_page, 0, {1, 1, 0, 1}, 300, 100, 6); },
       "holds 6 points in 100 bytes, its chunk 5 points in 100 bytes"},
      {"byte size unlike its chunk's", [](F& f) { f.entry(F::child_page, 0, {1, 1, 0, 1}, 300, 99, 5); },
       "holds 5 points in 99 bytes"},
      {"two nodes on one chunk", [](F& f) { f.entry(F::child_page, 0, {1, 1, 0, 1}, 100, 200, 10); },
       "shares its chunk with another node"},
      {"chunk without a node", [](F& f) { f.entry(F::child_page, 0, {1, 1, 0, 1}, 0, 0, 0); },
       "chunk 2 at byte 300 belongs to no node"},
      {"no chunk table", [](F& f) { f.layout.sizes = laz::ChunkLayout::Sizes::unknown; }, "no chunk table"},
      {"zero halfsize", [](F& f) { f.set_info(24, 0.0); }, "root cube is not a cube"},
      {"NaN center", [](F& f) { f.set_info(8, std::numeric_limits<double>::quiet_NaN()); }, "not a cube"},
      {"halfsize too large to double", [](F& f) { f.set_info(24, 1e308); }, "not a cube"},
      {"infinite halfsize", [](F& f) { f.set_info(24, std::numeric_limits<double>::infinity()); }, "not a cube"},
  };
  for (const auto& c : cases) {
    Fixture f;
    c.spoil(f);
    auto cubes = f.cubes();
    ASSERT_FALSE(cubes.has_value()) << c.name;
    EXPECT_NE(cubes.error().message().find(c.message), std::string::npos) << c.name << ": " << cubes.error().message();
    EXPECT_EQ(cubes.error().message().rfind("copc error: ", 0), 0u) << c.name;
  }
  const Fixture f;
  auto short_info = f.cubes(std::span(f.info).first(Info::size - 1));
  ASSERT_FALSE(short_info.has_value());
  EXPECT_EQ(short_info.error().message(), "copc error: the info record holds 159 bytes, not 160");
}

// A deep key far beyond int32's cells still maps to a cube, never to a shift
// beyond the type's width.
TEST(CopcHierarchy, DeepKeysStayWellDefined) {
  Fixture f;
  f.entry(Fixture::root_page, 1, {40, 0, 0, 0}, Fixture::child_page, 32, -1);
  f.entry(Fixture::child_page, 0, {60, 0, 0, 0}, 300, 100, 5);
  auto cubes = f.cubes();
  ASSERT_TRUE(cubes.has_value()) << cubes.error().message();
  const Bounds& deep = (**cubes)[1];
  EXPECT_DOUBLE_EQ(deep.min.x, 1.99);
  EXPECT_DOUBLE_EQ(deep.max.x, 2.0 + 16.0 / std::ldexp(1.0, 60) + 0.01);
}

}  // namespace
}  // namespace las::copc
