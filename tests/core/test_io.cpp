// Index files: exact sizes and bytes, round trips of every index type, the
// older versions, damaged and hostile input, and saves that must not destroy
// the file they replace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdlib>
#include <new>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/engine.h"
#include "core/io/atomic_file.h"
#include "core/io/file.h"
#include "core/io/format.h"
#include "core/io/index_file.h"

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

namespace fs = std::filesystem;
using Bytes = std::string;
using Vectors = std::vector<std::vector<float>>;
constexpr Metric kMetrics[] = {Metric::Cosine, Metric::Dot, Metric::L2};
constexpr IndexType kTypes[] = {IndexType::BruteForce, IndexType::IvfFlat, IndexType::Hnsw};

Vectors random_vectors(size_t n, size_t dim, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  Vectors out(n, std::vector<float>(dim));
  for (auto& v : out) std::generate(v.begin(), v.end(), [&] { return g(rng); });
  return out;
}

std::vector<uint64_t> iota_ids(size_t n, uint64_t first = 0) {
  std::vector<uint64_t> ids(n);
  std::iota(ids.begin(), ids.end(), first);
  return ids;
}

EngineConfig config(IndexType type, Metric metric, uint64_t dim, uint8_t bits = 4, int64_t n4 = -1) {
  EngineConfig c{.dim = dim, .n4_dims = n4 >= 0 ? uint64_t(n4) : bits == 2 ? 0 : padded_dim_for(dim),
                 .seed = kDefaultSeed, .bit_width = bits, .metric = uint8_t(metric), .index_type = uint8_t(type)};
  if (type == IndexType::IvfFlat) c.ivf_nlist = 6, c.ivf_nprobe = 3;
  if (type == IndexType::Hnsw) c.hnsw_m = 4, c.hnsw_ef_construction = 16, c.hnsw_ef_search = 0;
  return c;
}

// An engine holding n vectors, built, and fitted for L2 unless told.
Teskra filled(IndexType type, Metric metric, uint64_t dim, size_t n, uint8_t bits = 4, int64_t n4 = -1,
              bool fit = true) {
  Teskra e(config(type, metric, dim, bits, n4));
  const Vectors vs = random_vectors(n, dim, 7);
  if (metric == Metric::L2 && fit) e.fit(vs);
  e.add(iota_ids(n, 100), vs);
  if (n > 0) e.build();
  return e;
}

Bytes encode(const Teskra& e) {
  StringSink sink;
  IndexFile::encode(e, sink);
  return sink.out;
}

Teskra decode(const Bytes& b) {
  MemorySource in({reinterpret_cast<const uint8_t*>(b.data()), b.size()});
  return IndexFile::decode(in);
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

template <class T>
void poke(Bytes& b, size_t at, T v) {
  std::memcpy(b.data() + at, &v, sizeof v);  // the tests run on little-endian hosts
}

const std::string kShort = "io error: failed to fill whole buffer";

std::vector<uint32_t> bits_of(std::span<const float> v) {
  std::vector<uint32_t> out;
  for (float x : v) out.push_back(std::bit_cast<uint32_t>(x));
  return out;
}

// Everything a file carries, compared bit for bit, plus identical searches.
void expect_same_index(const Teskra& a, const Teskra& b) {
  const EngineConfig &x = a.config(), &y = b.config();
  EXPECT_EQ(std::tie(x.dim, x.n4_dims, x.seed, x.ivf_nlist, x.ivf_nprobe, x.hnsw_m, x.hnsw_ef_construction,
                     x.hnsw_ef_search, x.bit_width, x.metric, x.index_type),
            std::tie(y.dim, y.n4_dims, y.seed, y.ivf_nlist, y.ivf_nprobe, y.hnsw_m, y.hnsw_ef_construction,
                     y.hnsw_ef_search, y.bit_width, y.metric, y.index_type));
  ASSERT_EQ(a.pipeline().std_params().has_value(), b.pipeline().std_params().has_value());
  if (a.pipeline().std_params()) {
    EXPECT_EQ(bits_of(a.pipeline().std_params()->mean), bits_of(b.pipeline().std_params()->mean));
    EXPECT_EQ(bits_of(a.pipeline().std_params()->inv_std), bits_of(b.pipeline().std_params()->inv_std));
  }
  EXPECT_EQ(a.codes(), b.codes());
  EXPECT_EQ(a.ids(), b.ids());
  EXPECT_EQ(bits_of(a.norms()), bits_of(b.norms()));
  ASSERT_EQ(a.ivf().has_value(), b.ivf().has_value());
  if (a.ivf()) {
    EXPECT_EQ(a.ivf()->nprobe(), b.ivf()->nprobe());
    ASSERT_EQ(a.ivf()->lists().size(), b.ivf()->lists().size());
    for (size_t l = 0; l < a.ivf()->lists().size(); ++l) {
      const IvfList &p = a.ivf()->lists()[l], &q = b.ivf()->lists()[l];
      EXPECT_EQ(bits_of(p.centroid), bits_of(q.centroid));
      EXPECT_EQ(std::tie(p.ids, p.codes), std::tie(q.ids, q.codes));
      EXPECT_EQ(bits_of(p.norms), bits_of(q.norms));
    }
  }
  ASSERT_EQ(a.hnsw().has_value(), b.hnsw().has_value());
  if (a.hnsw()) {
    const Hnsw &g = *a.hnsw(), &h = *b.hnsw();
    ASSERT_EQ(g.size(), h.size());
    EXPECT_EQ(std::tuple(g.entry_point(), g.max_level(), g.m(), g.ef_search()),
              std::tuple(h.entry_point(), h.max_level(), h.m(), h.ef_search()));
    for (uint32_t n = 0; n < g.size(); ++n) {
      ASSERT_EQ(g.level(n), h.level(n));
      EXPECT_EQ(std::tuple(g.id(n), std::bit_cast<uint32_t>(g.norm(n))),
                std::tuple(h.id(n), std::bit_cast<uint32_t>(h.norm(n))));
      EXPECT_EQ(0, std::memcmp(g.code(n), h.code(n), g.bytes_per_vec()));
      for (uint64_t layer = 0; layer <= g.level(n); ++layer) {
        std::vector<uint32_t> u, v;
        for (auto e : g.neighbours(n, layer)) u.push_back(e.node);
        for (auto e : h.neighbours(n, layer)) v.push_back(e.node);
        EXPECT_EQ(u, v);
      }
    }
  }
  if (a.is_empty()) return;
  for (const auto& q : random_vectors(4, a.config().dim, 99)) {
    const auto r = a.search(q, 7, std::nullopt), s = b.search(q, 7, std::nullopt);
    ASSERT_EQ(r.size(), s.size());
    for (size_t i = 0; i < r.size(); ++i) {
      EXPECT_EQ(std::tuple(r[i].id, std::bit_cast<uint32_t>(r[i].score)),
                std::tuple(s[i].id, std::bit_cast<uint32_t>(s[i].score)));
    }
  }
}

// A scratch directory removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "teskra-io-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  size_t entries() const { return std::distance(fs::directory_iterator(path_), fs::directory_iterator()); }

 private:
  fs::path path_;
};

Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

void write_file(const std::string& path, const Bytes& b) { std::ofstream(path, std::ios::binary) << b; }

// ---------------------------------------------------------------------------

TEST(IndexFileLayout, SizesAndHeaderBytes) {
  EXPECT_EQ(encode(Teskra(config(IndexType::BruteForce, Metric::Cosine, 768))).size(), 56u);
  const Bytes three = encode(filled(IndexType::BruteForce, Metric::Cosine, 100, 3));
  EXPECT_EQ(three.size(), 56u + 3 * 64 + 3 * 8 + 3 * 4);
  EXPECT_EQ(encode(filled(IndexType::BruteForce, Metric::L2, 100, 3)).size(), three.size() + 800);
  EXPECT_EQ(three.substr(0, 8), Bytes("TSKR\x06\0\0\0", 8));
  // An empty graph: node count 0, no entry point, max level 0, nothing else.
  const Bytes graph = encode(Teskra(config(IndexType::Hnsw, Metric::Dot, 8)));
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

TEST(IndexFileLayout, HeaderTruncatesTuningToTheFieldWidths) {
  EngineConfig c = config(IndexType::Hnsw, Metric::Dot, 8);
  c.hnsw_ef_construction = 70000, c.hnsw_ef_search = 65536 + 7;
  const Bytes b = encode(Teskra(c));
  EXPECT_EQ(std::tuple(uint8_t(b[50]), uint8_t(b[51]), uint8_t(b[52]), uint8_t(b[53])),
            std::tuple(0x70, 0x11, 7, 0));  // 70000 is stored as 4464
  // A tuned index saves its configuration, not the run-time values.
  Teskra ivf = filled(IndexType::IvfFlat, Metric::Cosine, 16, 40);
  ivf.set_nprobe(32);
  Teskra back = decode(encode(ivf));
  EXPECT_EQ(back.ivf()->nprobe(), 3u);
}

TEST(IndexFileRoundTrip, EveryTypeMetricAndLayoutInMemoryAndThroughFiles) {
  TempDir dir;
  for (IndexType type : kTypes) {
    for (Metric metric : kMetrics) {
      for (auto [bits, n4] : {std::pair<uint8_t, int64_t>{4, -1}, {2, -1}, {4, 36}}) {
        SCOPED_TRACE(std::to_string(int(type)) + "/" + std::to_string(int(metric)) + "/" + std::to_string(n4));
        const Teskra e = filled(type, metric, 100, 150, bits, n4);
        const Bytes bytes = encode(e);
        expect_same_index(e, decode(bytes));
        e.save(dir / "x.tskr");
        EXPECT_EQ(read_file(dir / "x.tskr"), bytes);
        expect_same_index(e, Teskra::load(dir / "x.tskr"));
        expect_same_index(e, Teskra::load_mmap(dir / "x.tskr"));
      }
    }
  }
  EXPECT_EQ(dir.entries(), 1u);  // no temporary file left behind
}

TEST(IndexFileRoundTrip, EmptyIndexesAndTheStoredEfSearch) {
  for (IndexType type : {IndexType::BruteForce, IndexType::Hnsw}) {
    const Teskra e(config(type, Metric::Cosine, 20));
    expect_same_index(e, decode(encode(e)));
  }
  // ef_search 0 stays 0 in the configuration; the graph searches with 2m.
  const Teskra g = decode(encode(filled(IndexType::Hnsw, Metric::Dot, 8, 30)));
  EXPECT_EQ(std::tuple(g.config().hnsw_ef_search, g.hnsw()->ef_search()), std::tuple(0u, 8u));
}

// A v6 file rewritten as an older version: a shorter header, and (version 1)
// no norms.
Bytes as_version(const Bytes& v6, uint32_t version, size_t norms_bytes = 0) {
  Bytes b = v6.substr(0, Header::size_for(version)) + v6.substr(56);
  poke<uint32_t>(b, 4, version);
  if (version == 1) b.resize(b.size() - norms_bytes);
  return b;
}

TEST(IndexFileVersions, OlderHeadersAndTheirRules) {
  const Teskra e = filled(IndexType::BruteForce, Metric::Cosine, 100, 5);
  const Bytes v6 = encode(e);
  for (uint32_t v : {2u, 3u, 4u, 5u}) expect_same_index(e, decode(as_version(v6, v)));
  const Teskra v1 = decode(as_version(v6, 1, 5 * 4));
  EXPECT_EQ(std::tuple(v1.ids(), v1.codes(), v1.norms().size()), std::tuple(e.ids(), e.codes(), 0u));
  // Versions 1-2 code every coordinate at the nominal width.
  const Teskra two_bit = decode(as_version(encode(filled(IndexType::BruteForce, Metric::Dot, 100, 5, 2)), 2));
  EXPECT_EQ(std::tuple(two_bit.config().n4_dims, two_bit.packed_bytes_per_vec()), std::tuple(0u, 32u));
  Bytes odd_width = as_version(v6, 2);
  odd_width[13] = 3;  // not validated: kept, and not 4, so no 4-bit coordinates
  EXPECT_EQ(decode(odd_width).config().n4_dims, 0u);
  EXPECT_EQ(decode(odd_width).config().bit_width, 3u);
  // From version 3 on the stored n4_dims is checked like a constructor's.
  for (uint32_t bad : {130u, 30u}) {
    Bytes b = as_version(v6, 3);
    poke<uint32_t>(b, 32, bad);
    EXPECT_EQ(error_of([&] { decode(b); }), "invalid bit width: 4 (must be 2 or 4)");
  }
  // Versions 4 and 5 carry the std-params byte without meaning.
  Bytes v5 = as_version(v6, 5);
  v5[54] = 1;
  EXPECT_FALSE(decode(v5).pipeline().std_params().has_value());
  const Bytes graph = encode(filled(IndexType::Hnsw, Metric::Cosine, 16, 10));
  EXPECT_EQ(error_of([&] { decode(as_version(graph, 4)); }),
            "invalid .tskr file: HNSW index version 4 is incompatible with v5 format (neighbor count type "
            "changed u8\u2192u16). Rebuild the index with the current version.");
  expect_same_index(filled(IndexType::Hnsw, Metric::Cosine, 16, 10), decode(as_version(graph, 5)));
}

TEST(IndexFileDamage, HeaderErrors) {
  const Bytes good = encode(filled(IndexType::BruteForce, Metric::Cosine, 10, 2));
  auto with = [&](size_t at, uint8_t v) { Bytes b = good; b[at] = char(v); return b; };
  EXPECT_EQ(error_of([&] { decode("TSK"); }), kShort);
  EXPECT_EQ(error_of([&] { decode(with(0, 'X')); }), "invalid .tskr file: bad magic bytes");
  EXPECT_EQ(error_of([&] { decode(with(4, 7)); }), "unsupported file version: 7");
  EXPECT_EQ(error_of([&] { decode(with(4, 0)); }), "unsupported file version: 0");
  EXPECT_EQ(error_of([&] { decode(with(12, 3)); }), "invalid metric byte: 3");
  EXPECT_EQ(error_of([&] { decode(with(14, 9)); }), "unsupported index type byte: 9");
  for (size_t cut = 0; cut < 56; ++cut) EXPECT_EQ(error_of([&] { decode(good.substr(0, cut)); }), kShort);
  // A dim whose padded dimension is beyond 2^26 is refused before any rotation is built.
  Bytes huge = good;
  poke<uint32_t>(huge, 8, (1u << 26) + 1);
  EXPECT_EQ(error_of([&] { decode(huge); }),
            "invalid .tskr file: dimension 67108865 pads to 134217728, above the largest supported padded "
            "dimension (67108864)");
  poke<uint32_t>(huge, 8, 1u << 26);  // the largest accepted: the short std-free file then ends early
  poke<uint32_t>(huge, 32, 1u << 26);
  EXPECT_EQ(error_of([&] { decode(huge); }), kShort);
}

TEST(IndexFileDamage, EveryTruncationFailsCleanlyOrLosesOnlyTheNorms) {
  for (IndexType type : kTypes) {
    const Teskra e = filled(type, Metric::L2, 12, 40);
    const Bytes b = encode(e);
    // BruteForce: header, std block, codes, ids; then the lenient norms.
    const size_t norms_at = b.size() - 40 * 4;
    for (size_t cut = 0; cut < b.size(); ++cut) {
      SCOPED_TRACE(std::to_string(int(type)) + " cut " + std::to_string(cut));
      if (type == IndexType::BruteForce && cut >= norms_at) {
        const Teskra t = decode(b.substr(0, cut));
        EXPECT_EQ(std::tuple(t.ids(), t.norms().size()), std::tuple(e.ids(), 0u));
      } else {
        EXPECT_EQ(error_of([&] { decode(b.substr(0, cut)); }), kShort);
      }
    }
    // Bytes after the last section are ignored.
    expect_same_index(e, decode(b + "trailing"));
  }
}

TEST(IndexFileDamage, CountsBeyondTheFileFailBeforeAllocating) {
  const uint64_t p = 16;  // dim 12 pads to 16; 4-bit codes of 8 bytes
  Bytes flat = encode(filled(IndexType::BruteForce, Metric::Dot, 12, 5));
  poke<uint64_t>(flat, 16, uint64_t{1} << 60);
  EXPECT_EQ(error_of([&] { decode(flat); }), kShort);
  Bytes fitted = encode(filled(IndexType::BruteForce, Metric::L2, 12, 5));
  poke<uint32_t>(fitted, 8, 1u << 20);  // the std block would need 8 MiB
  poke<uint32_t>(fitted, 32, 1u << 20);
  EXPECT_EQ(error_of([&] { decode(fitted); }), kShort);

  const Bytes ivf = encode(filled(IndexType::IvfFlat, Metric::Dot, 12, 30));
  Bytes lists = ivf, members = ivf, centroid = ivf;
  poke<uint32_t>(lists, 56, 0xFFFFFFFFu);
  poke<uint32_t>(members, 56 + 8 + p * 4, 0xFFFFFFFFu);
  poke<uint32_t>(centroid, 60, uint32_t(p + 1));
  EXPECT_EQ(error_of([&] { decode(lists); }), kShort);
  EXPECT_EQ(error_of([&] { decode(members); }), kShort);
  EXPECT_EQ(error_of([&] { decode(centroid); }),
            "invalid .tskr file: IvfFlat centroid length 17 differs from the padded dimension 16");

  const Bytes graph = encode(filled(IndexType::Hnsw, Metric::Dot, 12, 30));
  const size_t node0 = 56 + 12, layers0 = node0 + 8 + 8 + 4, list0 = layers0 + 1;
  Bytes nodes = graph;
  poke<uint32_t>(nodes, 56, 0xFFFFFFFFu);
  EXPECT_EQ(error_of([&] { decode(nodes); }), kShort);
  Bytes no_layers = graph;
  no_layers[layers0] = 0;
  EXPECT_EQ(error_of([&] { decode(no_layers); }), "invalid .tskr file: graph node 0 has no layers");
  Bytes long_list = graph;
  poke<uint16_t>(long_list, list0, 9);  // 2m = 8 on layer 0
  EXPECT_EQ(error_of([&] { decode(long_list); }),
            "invalid .tskr file: graph node 0 lists 9 neighbours on layer 0, more than hnsw_m allows");
  const std::string unsound = "invalid .tskr file: graph links or entry point name a node or layer the graph "
                              "does not have";
  ASSERT_GT(uint8_t(graph[list0]), 0);  // node 0 has a neighbour to corrupt
  Bytes link = graph, entry = graph;
  poke<uint32_t>(link, list0 + 2, 30);
  poke<uint32_t>(entry, 60, 30);
  EXPECT_EQ(error_of([&] { decode(link); }), unsound);
  EXPECT_EQ(error_of([&] { decode(entry); }), unsound);
  Bytes m1 = graph;
  poke<uint16_t>(m1, 48, 1);
  EXPECT_EQ(error_of([&] { decode(m1); }), "invalid .tskr file: hnsw_m 1 is below 2, which no graph can have");
}

TEST(IndexFileDamage, HostileFilesCostMemoryInProportionToTheirSize) {
  if (!TESKRA_COUNTS_ALLOCATIONS) GTEST_SKIP() << "allocations are not counted under AddressSanitizer";
  std::vector<Bytes> hostile;
  Bytes flat = encode(filled(IndexType::BruteForce, Metric::Dot, 12, 5));
  poke<uint64_t>(flat, 16, uint64_t{1} << 40);
  hostile.push_back(flat);
  // A header-sized file claiming the largest dimension and one vector: found
  // short before the rotation (64 MiB of signs) is built.
  Bytes wide = flat.substr(0, 56 + 100);
  poke<uint32_t>(wide, 8, 1u << 26);
  poke<uint32_t>(wide, 32, 1u << 26);
  poke<uint64_t>(wide, 16, 1);
  hostile.push_back(wide);
  Bytes ivf = encode(filled(IndexType::IvfFlat, Metric::Dot, 12, 30));
  poke<uint32_t>(ivf, 56, 1u << 30);
  hostile.push_back(ivf);
  Bytes graph = encode(filled(IndexType::Hnsw, Metric::Dot, 12, 30));
  poke<uint32_t>(graph, 56, 1u << 30);
  hostile.push_back(graph);
  for (const Bytes& b : hostile) {
    g_requested = 0;
    g_counting = true;
    const std::string error = error_of([&] { decode(b); });
    g_counting = false;
    EXPECT_EQ(error, kShort);
    EXPECT_LT(g_requested, 64u << 10) << "for a file of " << b.size() << " bytes";
  }
}

TEST(IndexFileDamage, HugeDegreeWithManyNodesIsRefusedNotAllocated) {
  // 600 tiny nodes with m raised to 65535 would need 600 MiB of empty slots.
  Bytes graph = encode(filled(IndexType::Hnsw, Metric::Dot, 4, 600));
  poke<uint16_t>(graph, 48, 0xFFFF);
  EXPECT_EQ(error_of([&] { decode(graph); }),
            "invalid .tskr file: graph with hnsw_m 65535 needs more neighbour-list memory than a file of its "
            "size can justify");
  // A legitimately large degree over a few nodes still loads.
  EngineConfig c = config(IndexType::Hnsw, Metric::Dot, 4);
  c.hnsw_m = kMaxHnswM;
  Teskra wide(c);
  wide.add(iota_ids(20), random_vectors(20, 4, 3));
  expect_same_index(wide, decode(encode(wide)));
}

// ---------------------------------------------------------------------------
// After loading.

TEST(LoadedIndex, VectorsAddedWithoutStoredNormsAreRankedLikeTheOriginal) {
  for (Metric metric : kMetrics) {
    Teskra original = filled(IndexType::BruteForce, metric, 24, 30, 4, -1, /*fit=*/false);  // v1: no std block
    const Bytes v1 = as_version(encode(original), 1, 30 * 4);
    // Loaded without norms and untouched: raw scores.
    const Teskra raw = decode(v1);
    const auto q = random_vectors(1, 24, 5)[0];
    const auto t = raw.pipeline().transform_query(q);
    const auto top = raw.search(q, 1, std::nullopt);
    float best = -INFINITY;
    for (size_t i = 0; i < 30; ++i) best = std::max(best, raw.pipeline().score(t.data(), raw.codes().data() + i * 16));
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
    EXPECT_NE(error_of([&] { failing.add(iota_ids(1), Vectors{std::vector<float>(5)}); }), "<no error>");
    EXPECT_TRUE(failing.norms().empty());
  }
}

TEST(LoadedIndex, IvfRebuildKeepsEveryVectorAndGraphsGrow) {
  const Teskra ivf = decode(encode(filled(IndexType::IvfFlat, Metric::Cosine, 32, 60)));
  Teskra grown = decode(encode(ivf));
  const Vectors more = random_vectors(25, 32, 8);
  grown.add(iota_ids(25, 5000), more);
  grown.build();
  grown.set_nprobe(1000);
  EXPECT_EQ(grown.n_vectors(), 85u);
  for (size_t i = 0; i < more.size(); i += 6) EXPECT_EQ(grown.search(more[i], 1, std::nullopt)[0].id, 5000 + i);
  EXPECT_EQ(grown.search(more[0], 100, std::nullopt).size(), 85u);

  Teskra graph = decode(encode(filled(IndexType::Hnsw, Metric::L2, 32, 60)));
  graph.add(iota_ids(5, 7000), random_vectors(5, 32, 9));
  EXPECT_EQ(graph.n_vectors(), 65u);
  // New nodes are linked into the restored graph (scored through the restored codes).
  for (uint32_t n = 60; n < 65; ++n) EXPECT_FALSE(graph.hnsw()->neighbours(n, 0).empty());
  expect_same_index(graph, decode(encode(graph)));
}

// ---------------------------------------------------------------------------
// Saving.

TEST(Save, RefusesIndexesNoFileCanHoldWithoutTouchingTheTarget) {
  TempDir dir;
  const std::string path = dir / "keep.tskr";
  write_file(path, "previous");
  Teskra unbuilt(config(IndexType::IvfFlat, Metric::Dot, 8));
  unbuilt.add(iota_ids(3), random_vectors(3, 8, 1));
  EXPECT_EQ(error_of([&] { unbuilt.save(path); }), "call build() before search() for IvfFlat indexes");
  Teskra pending = filled(IndexType::IvfFlat, Metric::Dot, 8, 20);
  pending.add(iota_ids(3, 50), random_vectors(3, 8, 2));
  EXPECT_EQ(error_of([&] { pending.save(path); }),
            "cannot save: 3 vectors were added after the last build() and are not in the index yet; call "
            "build() first so that they are saved");
  EngineConfig wide = config(IndexType::Hnsw, Metric::Dot, 8);
  wide.hnsw_m = kMaxHnswM + 1;
  EXPECT_EQ(error_of([&] { Teskra(wide).save(path); }),
            "cannot save: hnsw_m 32768 is above 32767, the largest an index file can hold");
  EXPECT_EQ(error_of([&] { Teskra(config(IndexType::BruteForce, Metric::Dot, 8)).save(path + '\0' + "x"); }),
            "io error: file name contained an unexpected NUL byte");
  EXPECT_EQ(read_file(path), "previous");
  EXPECT_EQ(dir.entries(), 1u);
  // Once built, the pending vectors are saved with the rest.
  pending.build();
  pending.save(path);
  EXPECT_EQ(Teskra::load(path).n_vectors(), 23u);
}

TEST(Save, FailuresLeaveTheOldFileAndNoTemporary) {
  TempDir dir;
  const Teskra e = filled(IndexType::BruteForce, Metric::Cosine, 8, 4);
  EXPECT_EQ(error_of([&] { e.save(dir / "missing/x.tskr"); }), "io error: No such file or directory");
  fs::create_directory(dir / "sub");
  EXPECT_EQ(error_of([&] { e.save(dir / "sub"); }), "io error: Is a directory");
  EXPECT_TRUE(fs::is_directory(dir / "sub"));
  EXPECT_EQ(dir.entries(), 1u);
  // An encoder that throws half-way: the replacement is abandoned.
  write_file(dir / "old", "old bytes");
  {
    ReplacementFile f(dir / "old");
    FileWriter w(f.fd());
    w.write("new", 3);
    w.flush();
  }
  EXPECT_EQ(read_file(dir / "old"), "old bytes");
  EXPECT_EQ(dir.entries(), 2u);
  // A device that is full reports the system's text.
  Fd full(::open("/dev/full", O_WRONLY));
  if (full.valid()) {
    FileWriter w(full.get());
    w.write(Bytes(100, 'x').data(), 100);
    EXPECT_EQ(error_of([&] { w.flush(); }), "io error: No space left on device");
  }
}

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
  EXPECT_EQ(fs::status(dir / "real/index.tskr").permissions(), fs::perms(0640));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "real"), fs::directory_iterator()), 2);
  fs::create_symlink("loop", dir / "loop");
  EXPECT_EQ(error_of([&] { e.save(dir / "loop"); }), "io error: Too many levels of symbolic links");
}

TEST(Load, FileErrorsAndLargeBlocksThroughTheBufferedReader) {
  TempDir dir;
  EXPECT_EQ(error_of([&] { Teskra::load(dir / "none"); }), "io error: No such file or directory");
  EXPECT_EQ(error_of([&] { Teskra::load_mmap(dir / "none"); }), "io error: No such file or directory");
  EXPECT_EQ(error_of([&] { Teskra::load_mmap(dir / std::string("a\0b", 3)); }),
            "io error: file name contained an unexpected NUL byte");
  write_file(dir / "empty", "");
  EXPECT_EQ(error_of([&] { Teskra::load_mmap(dir / "empty"); }), kShort);
  // Code blocks far larger than the 8 KiB buffer, and fields straddling it.
  const Teskra big = filled(IndexType::BruteForce, Metric::Cosine, 300, 700);
  big.save(dir / "big");
  expect_same_index(big, Teskra::load(dir / "big"));
  const Teskra graph = filled(IndexType::Hnsw, Metric::Cosine, 300, 300);
  graph.save(dir / "graph");
  const Bytes bytes = read_file(dir / "graph");
  write_file(dir / "graph", bytes.substr(0, bytes.size() - 1));
  EXPECT_EQ(error_of([&] { Teskra::load_mmap(dir / "graph"); }), kShort);
  // The loaded index owns everything: the file can go.
  write_file(dir / "graph", bytes);
  const Teskra loaded = Teskra::load_mmap(dir / "graph");
  fs::remove(dir / "graph");
  expect_same_index(graph, loaded);
}

}  // namespace
}  // namespace teskra
