// The engine: construction, adding, and the exhaustive search end to end,
// checked against an independent full scan over the pipeline's scores.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/engine.h"
#include "core/search/brute.h"

namespace teskra {
namespace {

using Vectors = std::vector<std::vector<float>>;
constexpr Metric kMetrics[] = {Metric::Cosine, Metric::Dot, Metric::L2};

// n4 < 0: the width's default layout (all 4-bit, or all 2-bit).
EngineConfig config(uint64_t dim, uint8_t bits = 4, Metric metric = Metric::Cosine,
                    IndexType type = IndexType::BruteForce, int64_t n4 = -1) {
  return {.dim = dim, .n4_dims = n4 >= 0 ? uint64_t(n4) : bits == 2 ? 0 : padded_dim_for(dim),
          .seed = kDefaultSeed, .bit_width = bits, .metric = static_cast<uint8_t>(metric),
          .index_type = static_cast<uint8_t>(type)};
}

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

std::string message_of(const std::function<void()>& f) {
  try { f(); } catch (const TeskraError& e) { return e.what(); }
  return "<no error>";
}

TEST(EngineConstruction, SizesFollowTheLayoutAndBadLayoutsAreRefused) {
  struct Case { uint64_t dim; uint8_t bits; int64_t n4; uint64_t p, n4_out, bytes; };
  for (const Case& c : {Case{100, 4, -1, 128, 128, 64}, Case{100, 2, -1, 128, 0, 32},
                        Case{100, 4, 64, 128, 64, 48}, Case{100, 4, 36, 128, 36, 41}, Case{1, 4, -1, 1, 1, 1},
                        Case{0, 2, -1, 1, 0, 1}}) {
    Teskra e(config(c.dim, c.bits, Metric::Cosine, IndexType::BruteForce, c.n4));
    EXPECT_EQ(std::tuple(e.pipeline().padded_dim(), e.config().n4_dims, e.packed_bytes_per_vec()),
              std::tuple(c.p, c.n4_out, c.bytes)) << c.dim << " " << c.n4;
  }
  EXPECT_EQ(message_of([] { Teskra e(config(8, 3)); }), "invalid bit width: 3 (must be 2 or 4)");
  // A bad n4_dims (beyond padded_dim, or not a multiple of 4) is reported with the configured width.
  for (auto [bits, n4] : {std::pair<uint8_t, int64_t>{2, 130}, {4, 30}}) {
    EXPECT_EQ(message_of([&] { Teskra e(config(100, bits, Metric::Cosine, IndexType::BruteForce, n4)); }),
              "invalid bit width: " + std::to_string(bits) + " (must be 2 or 4)");
  }
}

TEST(EngineAdd, CountAndDimensionRules) {
  Teskra e(config(128));
  auto vs = random_vectors(3, 128, 1);
  std::vector<float> long_by_one(3 * 128 + 1, 1.0f);  // as many whole vectors as ids, and one value more
  const std::vector<uint64_t> two = {1, 2}, three = iota_ids(3);
  EXPECT_EQ(message_of([&] { e.add(two, Vectors{vs[0]}); }), "id/vector count mismatch: 2 ids vs 1 vectors");
  EXPECT_EQ(message_of([&] { e.add_flat(three, long_by_one); }),
            "id/vector count mismatch: 3 ids vs 3 vectors");
  EXPECT_EQ(message_of([&] { Teskra(config(0)).add_flat(three, {}); }),
            "id/vector count mismatch: 3 ids vs 0 vectors");
  EXPECT_EQ(e.n_vectors(), 0u);
  // The third vector is short: the first two stay added, the flat store parallel.
  vs[2].resize(127);
  EXPECT_EQ(message_of([&] { e.add(three, vs); }), "dimension mismatch: expected 128, got 127");
  e.add({}, {});  // an empty batch adds nothing
  EXPECT_EQ(std::tuple(e.n_vectors(), e.ids().size(), e.norms().size(), e.codes().size()),
            std::tuple(2u, 2u, 2u, 2 * e.packed_bytes_per_vec()));
}

// Independent reference: score every vector, keep the best k by a full sort
// (ties broken by insertion order, which is what the heap yields for distinct
// scores).
std::vector<SearchHit> reference_search(const Teskra& e, const std::vector<float>& query, uint64_t k,
                                        const std::set<uint64_t>* allowed = nullptr) {
  auto t = e.pipeline().transform_query(query);
  std::vector<SearchHit> all;
  for (size_t i = 0; i < e.ids().size(); ++i) {
    if (allowed && !allowed->count(e.ids()[i])) continue;
    float raw = e.pipeline().score(t.data(), e.codes().data() + i * e.packed_bytes_per_vec());
    all.push_back({e.ids()[i], similarity(e.metric(), raw, e.norms()[i])});
  }
  std::stable_sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.score > b.score; });
  if (all.size() > k) all.resize(k);
  return all;
}

void expect_same_hits(const std::vector<SearchHit>& got, const std::vector<SearchHit>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id, want[i].id) << "rank " << i;
    EXPECT_EQ(std::bit_cast<uint32_t>(got[i].score), std::bit_cast<uint32_t>(want[i].score)) << "rank " << i;
  }
}

TEST(EngineSearch, FlatAndListAddsMatchAFullScanForEveryMetricAndLayout) {
  const size_t n = 700, dim = 100;  // several scan blocks, a partial last one
  auto vs = random_vectors(n, dim, 3);
  auto qs = random_vectors(5, dim, 4);
  std::vector<float> flat;
  for (auto& v : vs) flat.insert(flat.end(), v.begin(), v.end());
  for (Metric m : kMetrics) {
    for (auto [bits, n4] : {std::pair<uint8_t, int64_t>{4, -1}, {2, -1}, {4, 64}, {4, 36}}) {
      Teskra e(config(dim, bits, m, IndexType::BruteForce, n4)), f(e.config());
      e.add(iota_ids(n, 1000), vs);
      f.add_flat(iota_ids(n, 1000), flat);
      EXPECT_EQ(e.codes(), f.codes());
      EXPECT_EQ(e.ids(), f.ids());
      ASSERT_EQ(e.norms().size(), n);
      EXPECT_EQ(0, std::memcmp(e.norms().data(), f.norms().data(), n * sizeof(float)));
      // Each stored code is exactly the pipeline's encoding of its vector.
      for (size_t i = 0; i < n; i += 97) {
        auto code = e.pipeline().encode(vs[i]);
        EXPECT_TRUE(std::equal(code.begin(), code.end(), e.codes().begin() + i * e.packed_bytes_per_vec()));
      }
      for (auto& q : qs) {
        for (uint64_t k : std::initializer_list<uint64_t>{0, 1, 10, 699, 5000, UINT64_MAX}) {
          expect_same_hits(e.search(q, k, std::nullopt), reference_search(e, q, k));
        }
      }
    }
  }
}

TEST(EngineSearch, AllowlistRestrictsBeforeScoring) {
  Teskra e(config(64));
  e.add(iota_ids(600), random_vectors(600, 64, 5));
  auto q = random_vectors(1, 64, 6)[0];
  std::vector<uint64_t> some = {3, 70, 500, 599, 12345};  // 12345 is not stored
  std::set<uint64_t> some_set(some.begin(), some.end());
  auto hits = e.search(q, 10, std::span<const uint64_t>(some));
  expect_same_hits(hits, reference_search(e, q, 10, &some_set));
  EXPECT_EQ(hits.size(), 4u);
  // A huge id (the set form) and a list longer than the index (cut to the stored ids): the same answer.
  for (size_t len : {6u, 1000u}) {
    some.resize(len, uint64_t{1} << 40);
    expect_same_hits(e.search(q, 10, std::span<const uint64_t>(some)), hits);
  }
  EXPECT_TRUE(e.search(q, 10, std::span<const uint64_t>{}).empty());
}

TEST(EngineSearch, ErrorsInOrderAndIvfFlatNotBuilt) {
  std::vector<float> short_q(64, 1.0f), q(128, 1.0f);
  for (IndexType type : {IndexType::BruteForce, IndexType::IvfFlat}) {
    Teskra e(config(128, 4, Metric::Cosine, type));
    // The length check comes before the emptiness check.
    EXPECT_EQ(message_of([&] { e.search(short_q, 1, std::nullopt); }),
              "dimension mismatch: expected 128, got 64");
    EXPECT_EQ(message_of([&] { e.search(q, 1, std::nullopt); }), "index is empty");
    e.add(iota_ids(2), random_vectors(2, 128, 11));
    EXPECT_EQ(e.n_vectors(), 2u);
    EXPECT_EQ(message_of([&] { e.search(q, 1, std::nullopt); }),
              type == IndexType::IvfFlat ? "call build() before search() for IvfFlat indexes" : "<no error>");
  }
}

TEST(EngineSearch, DuplicateIdsAndEqualScores) {
  Teskra e(config(16));
  auto v = random_vectors(1, 16, 9)[0];
  // Five identical vectors: equal scores. With k = 3 the first three offered
  // are kept, later equal ones are discarded.
  e.add(std::vector<uint64_t>{40, 10, 30, 20, 10}, Vectors(5, v));
  std::multiset<uint64_t> got;
  for (auto& h : e.search(v, 3, std::nullopt)) got.insert(h.id);
  EXPECT_EQ(got, (std::multiset<uint64_t>{40, 10, 30}));
  // Both copies of id 10 come back when k covers them.
  auto all = e.search(v, 10, std::nullopt);
  EXPECT_EQ(std::count_if(all.begin(), all.end(), [](auto& h) { return h.id == 10; }), 2);
}

}  // namespace
}  // namespace teskra
