// Index files: exact sizes and bytes, round trips of every index type, the
// older versions, damaged and hostile input, and saves that must not destroy
// the file they replace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "core/engine.h"
#include "core/io/atomic_file.h"
#include "core/io/file.h"
#include "core/io/format.h"
#include "core/io/index_file.h"
#include "core/search/hnsw_index.h"
#include "core/search/ivf_index.h"
#include "test_util.h"

// Bytes requested through operator new while counting is on: hostile files
// must be refused before anything in proportion to their claims is allocated.
// AddressSanitizer brings its own operator new, which must not be replaced.
namespace {
thread_local bool g_counting = false;
thread_local size_t g_requested = 0;
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
#define TESKRA_COUNTS_ALLOCATIONS 0
#else
#define TESKRA_COUNTS_ALLOCATIONS 1
void* operator new(std::size_t n) {
  if (g_counting) g_requested += n;
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace teskra {
namespace {

using namespace test_util;
namespace fs = std::filesystem;
using Bytes = std::string;

EngineConfig io_config(IndexType type, Metric metric, uint64_t dim, uint8_t bits = 4, int64_t n4 = -1) {
  EngineConfig c = config(dim, metric, type, bits, n4);
  if (type == IndexType::IvfFlat) c.ivf_nlist = 6, c.ivf_nprobe = 3;
  if (type == IndexType::Hnsw) c.hnsw_m = 4, c.hnsw_ef_construction = 16, c.hnsw_ef_search = 0;
  return c;
}

Teskra filled(IndexType type, Metric metric, uint64_t dim, size_t n, uint8_t bits = 4, int64_t n4 = -1,
              bool fit = true) {
  return test_util::filled(io_config(type, metric, dim, bits, n4), n, 1000, 7, fit);
}

const std::string kShort = "io error: failed to fill whole buffer";

// ---------------------------------------------------------------------------

TEST(IndexFileLayout, SizesAndHeaderBytes) {
  EXPECT_EQ(encode(Teskra(io_config(IndexType::BruteForce, Metric::Cosine, 768))).size(), 56u);
  const Teskra e = filled(IndexType::BruteForce, Metric::Cosine, 100, 3);
  const Bytes three = encode(e);
  EXPECT_EQ(three.size(), 56u + 3 * 64 + 3 * 8 + 3 * 4);
  EXPECT_EQ(encode(filled(IndexType::BruteForce, Metric::L2, 100, 3)).size(), three.size() + 800);
  EXPECT_EQ(three.substr(0, 8), Bytes("TSKR\x06\0\0\0", 8));
  // The body of a BruteForce file: the codes, the ids (u64), the norms (f32).
  const std::vector<uint64_t> ids = {1000, 1001, 1002};
  EXPECT_EQ(three.substr(56, 192), Bytes(e.codes().begin(), e.codes().end()));
  EXPECT_EQ(three.substr(248, 24), Bytes(reinterpret_cast<const char*>(ids.data()), 24));
  EXPECT_EQ(three.substr(272), Bytes(reinterpret_cast<const char*>(e.norms().data()), 12));
  // An empty graph: node count 0, no entry point, max level 0, nothing else.
  const Bytes graph = encode(Teskra(io_config(IndexType::Hnsw, Metric::Dot, 8)));
  EXPECT_EQ(graph.substr(56), Bytes("\0\0\0\0\xff\xff\xff\xff\0\0\0\0", 12));
  // write() always produces version 6 with zero reserved bytes.
  Header h;
  h.version = 3;
  h.dim = 5, h.hnsw_m = 0xABCD, h.has_std_params = true;
  StringSink sink;
  h.write(sink);
  Bytes want(56, '\0');
  std::memcpy(want.data(), "TSKR\x06", 5);
  want[8] = 5, want[48] = '\xcd', want[49] = '\xab', want[54] = 1;
  EXPECT_EQ(sink.out, want);
}

// Settings that do not fit their header fields used to be cut when saved
// (an nprobe of 2^32 loaded as 0 and every search came back empty): each is
// refused before any file is touched, and the largest that fits round-trips.
TEST(IndexFileLayout, SettingsBeyondTheirFieldsAreRefusedTheLargestRoundTrip) {
  TempDir dir;
  const std::string path = dir / "keep.tskr";
  write_file(path, "previous");
  struct Field {
    const char* name;
    IndexType type;
    uint64_t EngineConfig::*member;
    uint64_t limit;
  };
  const Field fields[] = {
      {"ivf_nlist", IndexType::IvfFlat, &EngineConfig::ivf_nlist, 0xFFFFFFFFu},
      {"ivf_nprobe", IndexType::IvfFlat, &EngineConfig::ivf_nprobe, 0xFFFFFFFFu},
      {"hnsw_ef_construction", IndexType::Hnsw, &EngineConfig::hnsw_ef_construction, 0xFFFF},
      {"hnsw_ef_search", IndexType::Hnsw, &EngineConfig::hnsw_ef_search, 0xFFFF}};
  for (const Field& f : fields) {
    SCOPED_TRACE(f.name);
    EngineConfig c = io_config(f.type, Metric::Dot, 8);
    auto made = [&](uint64_t value) {
      c.*f.member = value;
      return test_util::filled(c, 20, 0, 1);
    };
    EXPECT_EQ(error_of([&] { made(f.limit + 1).save(path); }),
              std::string("cannot save: ") + f.name + " " + std::to_string(f.limit + 1) + " is above " +
                  std::to_string(f.limit) + ", the largest an index file can hold");
    EXPECT_EQ(decode(encode(made(f.limit))).config().*f.member, f.limit);
  }
  EXPECT_EQ(read_file(path), "previous");
  EXPECT_EQ(dir.names().size(), 1u);
  // A tuned index saves its configuration, not the run-time values.
  Teskra ivf = filled(IndexType::IvfFlat, Metric::Cosine, 16, 40);
  ivf.set_nprobe(32);
  Teskra back = decode(encode(ivf));
  EXPECT_EQ(dynamic_cast<const IvfFlatIndex&>(back.index()).built()->nprobe(), 3u);
}

// Every type, metric and layout through memory and files: test_view.cpp.
TEST(IndexFileRoundTrip, EmptyIndexesTheStoredEfSearchAndTheLargestDegree) {
  for (IndexType type : {IndexType::BruteForce, IndexType::Hnsw}) {
    const Teskra e(io_config(type, Metric::Cosine, 20));
    expect_same_index(e, decode(encode(e)));
  }
  // ef_search 0 stays 0 in the configuration; the graph searches with 2m.
  const Teskra g = decode(encode(filled(IndexType::Hnsw, Metric::Dot, 8, 30)));
  EXPECT_EQ(
      std::tuple(g.config().hnsw_ef_search, dynamic_cast<const HnswIndex&>(g.index()).graph().ef_search()),
      std::tuple(0u, 8u));
  // The largest degree a file holds, over a few nodes.
  EngineConfig c = io_config(IndexType::Hnsw, Metric::Dot, 4);
  c.hnsw_m = kMaxHnswM;
  const Teskra wide = test_util::filled(c, 20, 1000, 3);
  expect_same_index(wide, decode(encode(wide)));
}

TEST(IndexFileVersions, OlderHeadersAndTheirRules) {
  const Teskra e = filled(IndexType::BruteForce, Metric::Cosine, 100, 5);
  const Bytes v6 = encode(e);
  for (uint32_t v : {2u, 3u, 4u, 5u}) expect_same_index(e, decode(as_version(v6, v)));
  const Teskra v1 = decode(as_version(v6, 1, 5 * 4));
  EXPECT_EQ(std::tuple(vec(v1.ids()), vec(v1.codes()), v1.norms().size()),
            std::tuple(vec(e.ids()), vec(e.codes()), 0u));
  // Versions 1-2 code every coordinate at the nominal width.
  const Teskra two_bit = decode(as_version(encode(filled(IndexType::BruteForce, Metric::Dot, 100, 5, 2)), 2));
  EXPECT_EQ(std::tuple(two_bit.config().n4_dims, two_bit.packed_bytes_per_vec()), std::tuple(0u, 32u));
  // No writer produces another width, in any version.
  for (uint32_t v : {2u, 6u}) {
    for (uint8_t width : {0, 1, 3, 12}) {
      EXPECT_EQ(error_of([&] { decode(patched(as_version(v6, v), 13, width)); }),
                "invalid bit width: " + std::to_string(width) + " (must be 2 or 4)");
    }
  }
  // IvfFlat files before version 4 have no nprobe field: the constructor's
  // default, not 0 (which made every search of the loaded index empty).
  const Teskra lists = filled(IndexType::IvfFlat, Metric::Dot, 16, 40);
  const Teskra old_lists = decode(as_version(encode(lists), 3));
  EXPECT_EQ(std::tuple(old_lists.config().ivf_nlist, old_lists.config().ivf_nprobe), std::tuple(256u, 8u));
  EXPECT_EQ(old_lists.search(random_vectors(1, 16, 5)[0], 5, std::nullopt).size(), 5u);
  // From version 3 on the stored n4_dims is checked like a constructor's.
  for (uint32_t bad : {130u, 30u}) {
    EXPECT_EQ(error_of([&] { decode(patched(as_version(v6, 3), 32, bad)); }),
              "invalid bit width: 4 (must be 2 or 4)");
  }
  // Versions 4 and 5 carry the std-params byte without meaning.
  EXPECT_FALSE(decode(patched<uint8_t>(as_version(v6, 5), 54, 1)).pipeline().std_params().has_value());
  const Bytes graph = encode(filled(IndexType::Hnsw, Metric::Cosine, 16, 10));
  EXPECT_EQ(error_of([&] { decode(as_version(graph, 4)); }),
            "invalid .tskr file: HNSW index version 4 is incompatible with v5 format (neighbor count type "
            "changed u8\u2192u16). Rebuild the index with the current version.");
  expect_same_index(filled(IndexType::Hnsw, Metric::Cosine, 16, 10), decode(as_version(graph, 5)));
}

TEST(IndexFileDamage, EveryTruncationFailsExceptAFlatFileEndingBeforeItsNorms) {
  for (IndexType type : kTypes) {
    const Teskra e = filled(type, Metric::L2, 12, 40);
    const Bytes b = encode(e);
    // BruteForce: header, std block, codes, ids; then the norms. Cut exactly
    // before them it is a file saved without norms; cut inside them it is
    // truncated (it used to load without norms, and rankings changed).
    const size_t norms_at = b.size() - 40 * 4;
    for (size_t cut = 0; cut < b.size(); ++cut) {
      SCOPED_TRACE(std::to_string(int(type)) + " cut " + std::to_string(cut));
      if (type == IndexType::BruteForce && cut == norms_at) {
        const Teskra t = decode(b.substr(0, cut));
        EXPECT_EQ(std::tuple(vec(t.ids()), t.norms().size()), std::tuple(vec(e.ids()), 0u));
      } else {
        EXPECT_EQ(error_of([&] { decode(b.substr(0, cut)); }), kShort);
      }
    }
    // Bytes after the last section are ignored.
    expect_same_index(e, decode(b + "trailing"));
  }
}

// Each unsound field is named; counts claiming more than the file holds are
// found short. Either way before anything in proportion to the claim is
// allocated.
TEST(IndexFileDamage, EveryUnsoundFieldIsNamedAndCountsBeyondTheFileFailBeforeAllocating) {
  const uint64_t p = 16;  // dim 12 pads to 16; 4-bit codes of 8 bytes
  const Bytes flat = encode(filled(IndexType::BruteForce, Metric::Dot, 12, 5));
  const Bytes ivf = encode(filled(IndexType::IvfFlat, Metric::Dot, 12, 30));
  const Bytes graph = encode(filled(IndexType::Hnsw, Metric::Dot, 12, 30));
  const size_t layers0 = 56 + 12 + 8 + 8 + 4, list0 = layers0 + 1;  // node 0's layer count, its first list
  ASSERT_GT(uint8_t(graph[list0]), 0);                              // node 0 has a neighbour to corrupt
  const std::string unsound =
      "invalid .tskr file: graph links or entry point name a node or layer the graph "
      "does not have";
  Bytes fitted = encode(filled(IndexType::BruteForce, Metric::L2, 12, 5));
  poke<uint32_t>(fitted, 8, 1u << 20);  // the std block would need 8 MiB
  poke<uint32_t>(fitted, 32, 1u << 20);
  // A header-sized file claiming the largest dimension and one vector: found
  // short before the rotation (64 MiB of signs) is built.
  Bytes wide = patched<uint64_t>(flat.substr(0, 56 + 100), 16, 1);
  poke<uint32_t>(wide, 8, 1u << 26);
  poke<uint32_t>(wide, 32, 1u << 26);
  const std::pair<Bytes, std::string> cases[] = {
      {patched(flat, 0, 'X'), "invalid .tskr file: bad magic bytes"},
      {patched<uint8_t>(flat, 4, 7), "unsupported file version: 7"},
      {patched<uint8_t>(flat, 4, 0), "unsupported file version: 0"},
      {patched<uint8_t>(flat, 12, 3), "invalid metric byte: 3"},
      {patched<uint8_t>(flat, 14, 9), "unsupported index type byte: 9"},
      // Refused before any rotation is built (2^26 itself is accepted: `wide`).
      {patched<uint32_t>(flat, 8, (1u << 26) + 1),
       "invalid .tskr file: dimension 67108865 pads to 134217728, "
       "above the largest supported padded dimension (67108864)"},
      {patched<uint32_t>(ivf, 60, p + 1),
       "invalid .tskr file: IvfFlat centroid length 17 differs from the padded dimension 16"},
      {patched<uint8_t>(graph, layers0, 0), "invalid .tskr file: graph node 0 has no layers"},
      {patched<uint16_t>(graph, list0, 9),  // 2m = 8 on layer 0
       "invalid .tskr file: graph node 0 lists 9 neighbours on layer 0, more than hnsw_m allows"},
      {patched<uint32_t>(graph, list0 + 2, 30), unsound},
      {patched<uint32_t>(graph, 60, 30), unsound},
      {patched<uint16_t>(graph, 48, 1), "invalid .tskr file: hnsw_m 1 is below 2, which no graph can have"},
      {patched<uint16_t>(graph, 48, 40000),
       "invalid .tskr file: hnsw_m 40000 is above 32767, which no index file holds"},
      {patched<uint16_t>(graph, 50, 0),
       "invalid .tskr file: hnsw_ef_construction 0 keeps no construction candidates"},
      // 600 tiny nodes with m raised to 32767 would need 300 MiB of empty slots.
      {patched<uint16_t>(encode(filled(IndexType::Hnsw, Metric::Dot, 4, 600)), 48, 0x7FFF),
       "invalid .tskr file: graph with hnsw_m 32767 needs more neighbour-list memory than a file of its size "
       "can justify"},
      {patched(flat, 16, uint64_t{1} << 60), kShort},
      {patched(flat, 16, uint64_t{1} << 40), kShort},
      {fitted, kShort},
      {wide, kShort},
      {patched(ivf, 56, 0xFFFFFFFFu), kShort},
      {patched(ivf, 56, 1u << 30), kShort},
      {patched<uint32_t>(ivf, 56 + 8 + p * 4, 0xFFFFFFFFu), kShort},  // list 0's members
      {patched(graph, 56, 0xFFFFFFFFu), kShort},
      {patched(graph, 56, 1u << 30), kShort}};
  for (const auto& [b, text] : cases) {
    g_requested = 0;
    g_counting = true;
    const std::string error = error_of([&] { decode(b); });
    g_counting = false;
    EXPECT_EQ(error, text);
    if (TESKRA_COUNTS_ALLOCATIONS) {
      EXPECT_LT(g_requested, 64u << 10) << text << ", for a file of " << b.size() << " bytes";
    }
  }
}

// ---------------------------------------------------------------------------
// After loading.

TEST(LoadedIndex, VectorsAddedWithoutStoredNormsAreRankedLikeTheOriginal) {
  for (Metric metric : kMetrics) {
    Teskra original =
        filled(IndexType::BruteForce, metric, 24, 30, 4, -1, /*fit=*/false);  // v1: no std block
    const Bytes v1 = as_version(encode(original), 1, 30 * 4);
    // Loaded without norms and untouched: raw scores.
    const Teskra raw = decode(v1);
    const auto q = random_vectors(1, 24, 5)[0];
    const auto t = raw.pipeline().transform_query(q);
    const auto top = raw.search(q, 1, std::nullopt);
    float best = -INFINITY;
    for (size_t i = 0; i < 30; ++i)
      best = std::max(best, raw.pipeline().score(t.data(), raw.codes().data() + i * 16));
    EXPECT_EQ(top[0].score, best);
    // After an add every stored vector has its norm again, so the ranking is the original's.
    Teskra loaded = decode(v1);
    const Vectors more = random_vectors(3, 24, 6);
    original.add(iota_ids(3, 900), more);
    loaded.add(iota_ids(3, 900), more);
    EXPECT_EQ(bits_of(loaded.norms()), bits_of(original.norms()));
    expect_same_index(original, loaded);
    // A failed add leaves a loaded store as it was.
    Teskra failing = decode(v1);
    EXPECT_NE(error_of([&] { failing.add(iota_ids(1), Vectors{std::vector<float>(5)}); }), "");
    EXPECT_TRUE(failing.norms().empty());
  }
}

// ---------------------------------------------------------------------------
// Saving.

TEST(Save, LinksAreFollowedAndNewFilesGetTheUmaskPermissions) {
  TempDir dir;
  const Teskra e = filled(IndexType::BruteForce, Metric::Dot, 8, 4);
  fs::create_directory(dir / "real");
  write_file(dir / "real/index.tskr", "old");
  fs::permissions(dir / "real/index.tskr", fs::perms(0600));
  fs::create_symlink("real/index.tskr", dir / "hop");  // relative to the link's directory
  fs::create_symlink(dir / "hop", dir / "link");       // a chain of two
  fs::create_symlink("real/new.tskr", dir / "dangling");
  const mode_t old_mask = ::umask(027);
  e.save(dir / "link");
  e.save(dir / "dangling");
  ::umask(old_mask);
  EXPECT_TRUE(fs::is_symlink(dir / "link") && fs::is_symlink(dir / "hop"));
  EXPECT_EQ(read_file(dir / "real/index.tskr"), encode(e));
  EXPECT_EQ(read_file(dir / "real/new.tskr"), encode(e));
  EXPECT_EQ(fs::status(dir / "real/index.tskr").permissions(),
            fs::perms(0600));  // a replaced file keeps its mode
  EXPECT_EQ(fs::status(dir / "real/new.tskr").permissions(), fs::perms(0640));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "real"), fs::directory_iterator()), 2);
  fs::create_symlink("loop", dir / "loop");
  EXPECT_EQ(error_of([&] { e.save(dir / "loop"); }), "io error: Too many levels of symbolic links");
}

TEST(Load, LargeBlocksAndAShortFileThroughTheBufferedReader) {
  TempDir dir;
  // Blocks far larger than the 8 KiB buffer, and fields straddling it; a file
  // that ends early fails instead of faulting. (Deleting the file under a
  // loaded index: test_persistence.py.)
  const Teskra graph = filled(IndexType::Hnsw, Metric::Cosine, 300, 300);
  graph.save(dir / "graph");
  expect_same_index(graph, Teskra::load(dir / "graph"));
  const Bytes bytes = read_file(dir / "graph");
  write_file(dir / "graph", bytes.substr(0, bytes.size() - 1));
  EXPECT_EQ(error_of([&] { Teskra::load(dir / "graph"); }), kShort);
}

}  // namespace
}  // namespace teskra
