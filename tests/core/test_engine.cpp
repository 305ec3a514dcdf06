// The engine: adding, and the exhaustive search end to end, checked against
// an independent full scan over the pipeline's scores. Layouts are pinned in
// test_quantize.cpp, allowlists in test_search.cpp and through Python, ties
// by the Python model test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "core/engine.h"
#include "core/search/similarity.h"
#include "test_util.h"

namespace teskra {
namespace {

using namespace test_util;

TEST(EngineAdd, CountDimensionAndOrderOfErrors) {
  Teskra e(config(128));
  auto vs = random_vectors(3, 128, 1);
  std::vector<float> long_by_one(3 * 128 + 1, 1.0f);  // as many whole vectors as ids, and one value more
  const std::vector<uint64_t> two = {1, 2}, three = iota_ids(3);
  EXPECT_EQ(error_of([&] { e.add(two, Vectors{vs[0]}); }), "id/vector count mismatch: 2 ids vs 1 vectors");
  EXPECT_EQ(error_of([&] { e.add_flat(three, long_by_one); }),
            "id/vector count mismatch: 3 ids vs 3 vectors");
  EXPECT_EQ(error_of([&] { Teskra(config(0)).add_flat(three, {}); }),
            "id/vector count mismatch: 3 ids vs 0 vectors");
  // The query's length is checked before the index's emptiness.
  EXPECT_EQ(error_of([&] { e.search(std::vector<float>(64), 1, std::nullopt); }),
            "dimension mismatch: expected 128, got 64");
  EXPECT_EQ(error_of([&] { e.search(vs[0], 1, std::nullopt); }), "index is empty");
  // The third vector is short: the first two stay added, the flat store parallel.
  vs[2].resize(127);
  EXPECT_EQ(error_of([&] { e.add(three, vs); }), "dimension mismatch: expected 128, got 127");
  e.add({}, {});  // an empty batch adds nothing
  EXPECT_EQ(std::tuple(e.n_vectors(), e.ids().size(), e.norms().size(), e.codes().size()),
            std::tuple(2u, 2u, 2u, 2 * e.packed_bytes_per_vec()));
}

// Independent reference: score every vector, keep the best k by a full sort
// (ties broken by insertion order, which is what the heap yields for distinct
// scores).
std::vector<SearchHit> reference_search(const Teskra& e, const std::vector<float>& query, uint64_t k) {
  auto t = e.pipeline().transform_query(query);
  std::vector<SearchHit> all;
  for (size_t i = 0; i < e.ids().size(); ++i) {
    float raw = e.pipeline().score(t.data(), e.codes().data() + i * e.packed_bytes_per_vec());
    all.push_back({e.ids()[i], similarity(e.metric(), raw, e.norms()[i])});
  }
  std::stable_sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.score > b.score; });
  if (all.size() > k) all.resize(k);
  return all;
}

TEST(EngineSearch, FlatAndListAddsMatchAFullScanForEveryMetricAndLayout) {
  const size_t n = 700, dim = 100;  // several scan blocks, a partial last one
  const Vectors vs = random_vectors(n, dim, 3), qs = random_vectors(5, dim, 4);
  const std::vector<float> flat = flatten(vs);
  for (Metric m : kMetrics) {
    for (auto [bits, n4] : {std::pair<uint8_t, int64_t>{4, -1}, {2, -1}, {4, 64}, {4, 36}}) {
      Teskra e(config(dim, m, IndexType::BruteForce, bits, n4)), f(e.config());
      e.add(iota_ids(n, 1000), vs);
      f.add_flat(iota_ids(n, 1000), flat);
      ASSERT_EQ(e.norms().size(), n);
      EXPECT_EQ(std::tuple(vec(e.codes()), vec(e.ids()), bits_of(e.norms())),
                std::tuple(vec(f.codes()), vec(f.ids()), bits_of(f.norms())));
      // Each stored code is exactly the pipeline's encoding of its vector.
      for (size_t i = 0; i < n; i += 97) {
        auto code = e.pipeline().encode(vs[i]);
        EXPECT_TRUE(std::equal(code.begin(), code.end(), e.codes().begin() + i * e.packed_bytes_per_vec()));
      }
      for (auto& q : qs) {
        for (uint64_t k : std::initializer_list<uint64_t>{0, 1, 10, 699, 5000, UINT64_MAX})
          EXPECT_EQ(hit_bits(e.search(q, k, std::nullopt)), hit_bits(reference_search(e, q, k))) << k;
      }
    }
  }
}

}  // namespace
}  // namespace teskra
