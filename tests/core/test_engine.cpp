// The engine: construction, adding, and the exhaustive search end to end,
// checked against an independent full scan over the pipeline's scores.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "core/engine.h"
#include "core/search/brute.h"

namespace teskra {
namespace {

EngineConfig config(uint64_t dim, uint8_t bits = 4, Metric metric = Metric::Cosine,
                    IndexType type = IndexType::BruteForce, int64_t n4 = -1) {
  EngineConfig c;
  c.dim = dim;
  c.seed = kDefaultSeed;
  c.bit_width = bits;
  c.metric = static_cast<uint8_t>(metric);
  c.index_type = static_cast<uint8_t>(type);
  const uint64_t p = padded_dim_for(dim);
  c.n4_dims = n4 >= 0 ? static_cast<uint64_t>(n4) : (bits == 2 ? 0 : p);
  return c;
}

std::vector<std::vector<float>> random_vectors(size_t n, size_t dim, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<std::vector<float>> out(n, std::vector<float>(dim));
  for (auto& v : out)
    for (auto& x : v) x = g(rng);
  return out;
}

std::vector<uint64_t> iota_ids(size_t n, uint64_t first = 0) {
  std::vector<uint64_t> ids(n);
  for (size_t i = 0; i < n; ++i) ids[i] = first + i;
  return ids;
}

std::string message_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const TeskraError& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(EngineConstruction, SizesFollowTheLayout) {
  struct Case { uint64_t dim; uint8_t bits; int64_t n4; uint64_t p, n4_out, bytes; };
  const Case cases[] = {
      {100, 4, -1, 128, 128, 64}, {100, 2, -1, 128, 0, 32}, {100, 4, 64, 128, 64, 48},
      {100, 4, 36, 128, 36, 41},  {1, 4, -1, 1, 1, 1},      {0, 2, -1, 1, 0, 1},
  };
  for (const auto& c : cases) {
    Teskra e(config(c.dim, c.bits, Metric::Cosine, IndexType::BruteForce, c.n4));
    EXPECT_EQ(e.pipeline().padded_dim(), c.p);
    EXPECT_EQ(e.config().n4_dims, c.n4_out);
    EXPECT_EQ(e.packed_bytes_per_vec(), c.bytes) << c.dim << " " << c.n4;
    EXPECT_EQ(e.n_vectors(), 0u);
    EXPECT_TRUE(e.is_empty());
  }
}

TEST(EngineConstruction, RejectsBadWidthsAndLayouts) {
  EXPECT_EQ(message_of([] { Teskra e(config(8, 3)); }), "invalid bit width: 3 (must be 2 or 4)");
  // A bad n4_dims is reported with the configured (valid) width.
  EXPECT_EQ(message_of([] { Teskra e(config(100, 2, Metric::Cosine, IndexType::BruteForce, 130)); }),
            "invalid bit width: 2 (must be 2 or 4)");
  EXPECT_EQ(message_of([] { Teskra e(config(100, 4, Metric::Cosine, IndexType::BruteForce, 30)); }),
            "invalid bit width: 4 (must be 2 or 4)");
}

TEST(EngineAdd, CountAndDimensionRules) {
  Teskra e(config(128));
  auto vs = random_vectors(3, 128, 1);
  std::vector<uint64_t> two = {1, 2};
  std::vector<std::vector<float>> one = {vs[0]};
  EXPECT_EQ(message_of([&] { e.add(two, one); }), "id/vector count mismatch: 2 ids vs 1 vectors");
  EXPECT_EQ(e.n_vectors(), 0u);

  // The third vector is short: the first two stay added.
  vs[2].resize(127);
  auto three = iota_ids(3);
  EXPECT_EQ(message_of([&] { e.add(three, vs); }), "dimension mismatch: expected 128, got 127");
  EXPECT_EQ(e.n_vectors(), 2u);
  EXPECT_EQ(e.ids().size(), 2u);
  EXPECT_EQ(e.norms().size(), 2u);
  EXPECT_EQ(e.codes().size(), 2 * e.packed_bytes_per_vec());

  e.add({}, {});
  EXPECT_EQ(e.n_vectors(), 2u);
}

TEST(EngineAdd, FlatCountRules) {
  Teskra e(config(4));
  std::vector<float> ten(10, 1.0f);
  auto three = iota_ids(3);
  EXPECT_EQ(message_of([&] { e.add_flat(three, ten); }), "id/vector count mismatch: 3 ids vs 2 vectors");
  EXPECT_EQ(e.n_vectors(), 0u);

  Teskra zero(config(0));
  EXPECT_EQ(message_of([&] { zero.add_flat(three, std::span<const float>{}); }),
            "id/vector count mismatch: 3 ids vs 0 vectors");
}

TEST(EngineAdd, FlatAndListPathsStoreTheSameCodes) {
  const size_t n = 50, dim = 100;
  auto vs = random_vectors(n, dim, 2);
  std::vector<float> flat;
  for (auto& v : vs) flat.insert(flat.end(), v.begin(), v.end());
  for (Metric m : {Metric::Cosine, Metric::Dot, Metric::L2}) {
    Teskra a(config(dim, 4, m, IndexType::BruteForce, 36)), b(config(dim, 4, m, IndexType::BruteForce, 36));
    auto ids = iota_ids(n, 7);
    a.add(ids, vs);
    b.add_flat(ids, flat);
    EXPECT_EQ(a.codes(), b.codes());
    EXPECT_EQ(a.ids(), b.ids());
    ASSERT_EQ(a.norms().size(), n);
    EXPECT_EQ(0, std::memcmp(a.norms().data(), b.norms().data(), n * sizeof(float)));
    // Each stored code is exactly the pipeline's encoding of its vector.
    for (size_t i = 0; i < n; i += 17) {
      auto code = a.pipeline().encode(vs[i]);
      EXPECT_TRUE(std::equal(code.begin(), code.end(), a.codes().begin() + i * a.packed_bytes_per_vec()));
    }
  }
}

// Independent reference: score every vector, keep the best k by a full sort
// (ties broken by insertion order, which is what the heap yields for distinct
// scores).
std::vector<SearchHit> reference_search(const Teskra& e, const std::vector<float>& query, uint64_t k,
                                        const std::set<uint64_t>* allowed) {
  auto t = e.pipeline().transform_query(query);
  std::vector<SearchHit> all;
  const size_t bpv = e.packed_bytes_per_vec();
  for (size_t i = 0; i < e.ids().size(); ++i) {
    if (allowed && !allowed->count(e.ids()[i])) continue;
    float raw = e.pipeline().score(t.data(), e.codes().data() + i * bpv);
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

TEST(EngineSearch, MatchesAFullScanForEveryMetricAndLayout) {
  const size_t n = 700, dim = 100;  // several scan blocks, a partial last one
  auto vs = random_vectors(n, dim, 3);
  auto qs = random_vectors(5, dim, 4);
  for (Metric m : {Metric::Cosine, Metric::Dot, Metric::L2}) {
    for (auto [bits, n4] : {std::pair<uint8_t, int64_t>{4, -1}, {2, -1}, {4, 64}, {4, 36}}) {
      Teskra e(config(dim, bits, m, IndexType::BruteForce, n4));
      e.add(iota_ids(n, 1000), vs);
      for (auto& q : qs) {
        for (uint64_t k : {1u, 10u, 699u, 5000u}) {
          expect_same_hits(e.search(q, k, std::nullopt), reference_search(e, q, k, nullptr));
        }
      }
    }
  }
}

TEST(EngineSearch, AllowlistRestrictsBeforeScoring) {
  const size_t n = 600, dim = 64;
  auto vs = random_vectors(n, dim, 5);
  Teskra e(config(dim));
  e.add(iota_ids(n), vs);
  auto q = random_vectors(1, dim, 6)[0];

  std::vector<uint64_t> some = {3, 70, 500, 599, 12345};  // 12345 is not stored
  std::set<uint64_t> some_set(some.begin(), some.end());
  auto hits = e.search(q, 10, std::span<const uint64_t>(some));
  expect_same_hits(hits, reference_search(e, q, 10, &some_set));
  EXPECT_EQ(hits.size(), 4u);

  // The set form (a huge id) gives the same answer as the bitmap form.
  std::vector<uint64_t> with_far = some;
  with_far.push_back(uint64_t{1} << 40);
  expect_same_hits(e.search(q, 10, std::span<const uint64_t>(with_far)), hits);

  EXPECT_TRUE(e.search(q, 10, std::span<const uint64_t>{}).empty());
}

TEST(EngineSearch, EdgeCasesOfKAndErrors) {
  Teskra e(config(128));
  std::vector<float> short_q(64, 1.0f), q(128, 1.0f);
  // The length check comes before the emptiness check.
  EXPECT_EQ(message_of([&] { e.search(short_q, 10, std::nullopt); }),
            "dimension mismatch: expected 128, got 64");
  EXPECT_EQ(message_of([&] { e.search(q, 10, std::nullopt); }), "index is empty");

  auto vs = random_vectors(5, 128, 8);
  e.add(iota_ids(5), vs);
  EXPECT_TRUE(e.search(q, 0, std::nullopt).empty());
  auto all = e.search(q, std::numeric_limits<uint64_t>::max(), std::nullopt);
  ASSERT_EQ(all.size(), 5u);
  for (size_t i = 1; i < all.size(); ++i) EXPECT_GE(all[i - 1].score, all[i].score);
}

TEST(EngineSearch, DuplicateIdsAndEqualScores) {
  Teskra e(config(16));
  auto v = random_vectors(1, 16, 9)[0];
  // Five identical vectors: equal scores. With k = 3 the first three offered
  // are kept, later equal ones are discarded.
  std::vector<std::vector<float>> same(5, v);
  std::vector<uint64_t> ids = {40, 10, 30, 20, 10};
  e.add(ids, same);
  EXPECT_EQ(e.n_vectors(), 5u);
  auto hits = e.search(v, 3, std::nullopt);
  std::multiset<uint64_t> got;
  for (auto& h : hits) got.insert(h.id);
  EXPECT_EQ(got, (std::multiset<uint64_t>{40, 10, 30}));
  // Both copies of id 10 come back when k covers them.
  auto all = e.search(v, 10, std::nullopt);
  EXPECT_EQ(std::count_if(all.begin(), all.end(), [](auto& h) { return h.id == 10; }), 2);
}

TEST(EngineSearch, StoredVectorIsItsOwnNearestNeighbour) {
  const size_t n = 2000, dim = 96;
  auto vs = random_vectors(n, dim, 10);
  for (Metric m : {Metric::Cosine, Metric::Dot}) {
    Teskra e(config(dim, 4, m));
    e.add(iota_ids(n), vs);
    int found = 0;
    for (size_t i = 0; i < n; i += 97) found += e.search(vs[i], 1, std::nullopt)[0].id == i;
    EXPECT_EQ(found, 21) << metric_name(m);
  }
}

TEST(EngineSearch, IvfFlatIsNotSearchableBeforeBuild) {
  Teskra e(config(8, 4, Metric::Cosine, IndexType::IvfFlat));
  std::vector<float> q(8, 1.0f);
  EXPECT_EQ(message_of([&] { e.search(q, 1, std::nullopt); }), "index is empty");
  e.add(iota_ids(2), random_vectors(2, 8, 11));
  EXPECT_EQ(e.n_vectors(), 2u);
  EXPECT_EQ(message_of([&] { e.search(q, 1, std::nullopt); }),
            "call build() before search() for IvfFlat indexes");
}

}  // namespace
}  // namespace teskra
