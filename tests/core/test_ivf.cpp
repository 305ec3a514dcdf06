// The IVF index: k-means against a plain transcription
// of its rules (with and without row skipping), the list probe, and the
// engine's fit / build / tuning. The states around a build (empty, unbuilt,
// pending, nprobe set before and after one) are checked against a model in
// tests/python/test_model.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/engine.h"
#include "core/search/ivf.h"
#include "core/search/ivf_index.h"
#include "core/search/kmeans.h"
#include "test_util.h"

namespace teskra {
namespace {

using namespace test_util;

EngineConfig ivf_config(uint64_t dim, uint64_t nlist, uint64_t nprobe, Metric metric = Metric::Cosine,
                        IndexType type = IndexType::IvfFlat) {
  EngineConfig c = config(dim, metric, type);
  c.ivf_nlist = nlist, c.ivf_nprobe = nprobe;
  return c;
}

// n rows of dim values around `blobs` random centres.
Vectors blobs(size_t n, size_t dim, size_t blobs, float spread, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  Vectors centres(blobs, std::vector<float>(dim)), out(n, std::vector<float>(dim));
  for (auto& c : centres)
    for (auto& x : c) x = g(rng);
  for (auto& v : out) {
    const auto& c = centres[rng() % blobs];
    for (size_t i = 0; i < dim; ++i) v[i] = c[i] + spread * g(rng);
  }
  return out;
}

// k-means written out from its rules: every row scored against every
// centroid in every pass, sums in row order.
KMeansResult plain_kmeans(const std::vector<float>& rows, size_t d, uint64_t nlist, uint64_t seed,
                          Metric metric) {
  const size_t n = rows.size() / d, k = std::min<size_t>(n, std::max<uint64_t>(nlist, 1));
  const size_t step = std::max<size_t>(n / k, 1);
  KMeansResult p{
      .k = k, .dim = d, .centroids = std::vector<float>(k * d), .assignment = std::vector<uint32_t>(n, 0)};
  auto copy_row = [&](size_t row, size_t c) { std::copy_n(&rows[row * d], d, &p.centroids[c * d]); };
  auto dot = [d](const float* a, const float* b) { return std::inner_product(a, a + d, b, 0.0f); };
  auto pass = [&] {
    bool changed = false;
    for (size_t j = 0; j < n; ++j) {
      uint32_t best = 0;
      float best_score = 0.0f;
      for (uint32_t c = 0; c < k; ++c) {  // ties (and NaNs) go to the later centroid
        const float* ce = &p.centroids[c * d];
        const float s =
            metric == Metric::L2 ? 2.0f * dot(&rows[j * d], ce) - dot(ce, ce) : dot(&rows[j * d], ce);
        if (c == 0 || !(best_score > s)) {
          best = c;
          best_score = s;
        }
      }
      changed |= best != p.assignment[j];
      p.assignment[j] = best;
    }
    return changed;
  };
  for (size_t c = 0; c < k; ++c) copy_row((c * step + seed % step) % n, c);
  while (p.iterations < 25) {
    ++p.iterations;
    if (!pass()) return p;
    std::vector<float> sum(k * d, 0.0f);
    std::vector<uint64_t> count(k, 0);
    for (size_t j = 0; j < n; ++j) {
      ++count[p.assignment[j]];
      for (size_t i = 0; i < d; ++i) sum[p.assignment[j] * d + i] += rows[j * d + i];
    }
    for (size_t c = 0; c < k; ++c) {
      float* ce = &p.centroids[c * d];
      if (count[c] == 0)
        copy_row((seed + c * 7919) % n, c);
      else
        for (size_t i = 0; i < d; ++i) ce[i] = sum[c * d + i] / static_cast<float>(count[c]);
      const float norm = std::sqrt(dot(ce, ce));
      if (metric == Metric::Cosine && norm > 1e-9f)
        for (size_t i = 0; i < d; ++i) ce[i] /= norm;
    }
  }
  pass();  // memberships against the final centroids
  return p;
}

TEST(KMeans, MatchesThePlainRulesBitForBitWithAndWithoutSkipping) {
  Vectors odd = blobs(400, 12, 8, 0.2f, 4);
  odd[17].assign(12, 0.0f);
  odd[40][3] = kNaN;
  odd[41][0] = kInf;
  const std::tuple<const char*, Vectors, uint64_t> cases[] = {
      {"blobs", blobs(3000, 32, 20, 0.2f, 9), 32},
      {"three distinct rows: lists empty out and are reseeded", blobs(300, 8, 3, 0.0f, 3), 40},
      {"zero, NaN and infinite rows", odd, 10},
      {"k near n", blobs(60, 6, 5, 0.5f, 5), 50}};
  for (const auto& [name, raw, nlist] : cases) {
    const std::vector<float> rows = flatten(raw);
    for (Metric m : kMetrics) {
      SCOPED_TRACE(testing::Message() << name << " " << metric_name(m));
      const KMeansResult want = plain_kmeans(rows, raw[0].size(), nlist, kDefaultSeed, m);
      uint64_t rescored[2] = {};
      for (bool prune : {false, true}) {
        const KMeansResult got =
            kmeans(FlatRows(rows, raw[0].size()), nlist, kDefaultSeed, m, {.prune = prune});
        EXPECT_EQ(got.assignment, want.assignment);
        ASSERT_TRUE(got.iterations == want.iterations && got.centroids.size() == want.centroids.size());
        for (size_t i = 0; i < want.centroids.size(); ++i)
          ASSERT_TRUE(same_value(got.centroids[i], want.centroids[i])) << i;
        rescored[prune] = got.rows_rescored;
      }
      // Clustered rows mostly keep their list after the first passes: skipped.
      if (m != Metric::Dot && nlist == 32) {
        EXPECT_LT(rescored[1], rescored[0] / 2);
      }
    }
  }
}

// An IvfFlat built from one segment of ids, codes, norms and float rows.
IvfFlat build_lists(uint64_t nlist, uint64_t bytes, uint64_t dim, std::vector<uint64_t> ids,
                    const std::vector<uint8_t>& codes, std::vector<float> norms,
                    const std::vector<float>& rows, Metric metric) {
  const CodeStore store(bytes, CodeStore::CodeArray(codes.begin(), codes.end()), std::move(ids),
                        std::move(norms), true);
  const CodeStore* members[] = {&store};
  return IvfFlat::build(nlist, 1, bytes, dim, members, FlatRows(rows, rows.size() / store.size()),
                        kDefaultSeed, metric);
}

TEST(KMeans, FixedExamplesAndDegenerateInputs) {
  const std::vector<float> four = {0, 0, 1, 0, 10, 0, 11, 0};
  const KMeansResult r = kmeans(FlatRows(four, 2), 2, kDefaultSeed, Metric::L2);
  EXPECT_EQ(r.assignment, (std::vector<uint32_t>{0, 0, 1, 1}));
  EXPECT_EQ(r.centroids, (std::vector<float>{0.5f, 0, 10.5f, 0}));
  EXPECT_EQ(r.iterations, 2u);  // the second pass changes nothing
  const IvfFlat ivf =
      build_lists(2, 1, 2, iota_ids(4, 100), {10, 11, 12, 13}, {1, 2, 3, 4}, four, Metric::L2);
  ASSERT_EQ(ivf.lists().size(), 2u);
  const IvfList &l0 = ivf.lists()[0], &l1 = ivf.lists()[1];
  EXPECT_EQ(std::tuple(l0.centroid, vec(l0.members.ids()), vec(l1.members.ids())),
            std::tuple(std::vector<float>{0.5f, 0}, iota_ids(2, 100), iota_ids(2, 102)));
  EXPECT_EQ(std::tuple(vec(l1.members.codes()), vec(l1.members.norms())),
            std::tuple(std::vector<uint8_t>{12, 13}, std::vector<float>{3, 4}));
  // L2 ranks lists by 2 q.c - |c|^2: (1, 0) is nearest list 0, though list 1
  // has the larger dot product.
  const auto near = ivf.rank_lists(std::vector<float>{1, 0});
  EXPECT_TRUE(near[0].id == 0 && near[0].score == 0.75f && near[1].score == -89.25f);

  // nlist 0 is one list (never a division by zero); nlist above the row
  // count one list per row; no rows at all an error.
  const std::vector<float> five = {3, 1, 4, 1, 5};
  const KMeansResult one = kmeans(FlatRows(five, 1), 0, kDefaultSeed, Metric::L2);
  EXPECT_TRUE(one.k == 1 && one.assignment == std::vector<uint32_t>(5, 0));
  EXPECT_EQ(kmeans(FlatRows(five, 1), 256, kDefaultSeed, Metric::L2).k, 5u);
  EXPECT_EQ(error_of([] { kmeans(FlatRows({}, 4), 8, 1, Metric::L2); }), "index is empty");
  // All rows identical: every score ties, so everything goes to the last list.
  const IvfFlat same = build_lists(4, 1, 3, iota_ids(10), std::vector<uint8_t>(10), std::vector<float>(10),
                                   std::vector<float>(30, 0.25f), Metric::Cosine);
  ASSERT_EQ(same.lists().size(), 4u);
  EXPECT_TRUE(same.n_members() == 10 && vec(same.lists()[3].members.ids()) == iota_ids(10));
  // The reseeded lists hold the same centroid: equal scores rank in list order.
  const auto ranked = same.rank_lists(same.lists()[3].centroid);
  for (uint64_t c = 0; c < 4; ++c) EXPECT_EQ(ranked[c].id, c);
}

// Filtered searches used to filter the probed top k afterwards and came back
// with about k x (share allowed) hits. Now they return k whenever k allowed
// vectors exist, and a small allowlist is searched exactly.
TEST(EngineIvf, FilteredSearchesReturnKAndSmallAllowlistsAreExact) {
  const Vectors vs = blobs(3000, 32, 30, 0.5f, 21);
  Teskra e(ivf_config(32, 30, 1, Metric::Dot)),
      flat(ivf_config(32, 30, 1, Metric::Dot, IndexType::BruteForce));
  for (Teskra* t : {&e, &flat}) t->add(iota_ids(3000), vs);
  e.build();
  std::mt19937 rng(3);
  for (size_t share : {1000, 100, 10, 2}) {  // per mille allowed; nprobe 1 of 30 lists holds ~33 per mille
    std::vector<uint64_t> allow;
    for (uint64_t id = 0; id < 3000; ++id)
      if (rng() % 1000 < share) allow.push_back(id);
    allow.push_back(1u << 30);  // not in the index
    for (size_t q = 0; q < 5; ++q) {
      const auto hits = e.search(vs[q * 97], 10, std::span(allow));
      ASSERT_EQ(hits.size(), std::min<size_t>(10, allow.size() - 1)) << share;
      for (const SearchHit& h : hits) ASSERT_TRUE(std::binary_search(allow.begin(), allow.end(), h.id));
      // Below the probed share every allowed vector is scored: the exact answer.
      if (share <= 10) {
        EXPECT_EQ(hit_bits(hits), hit_bits(flat.search(vs[q * 97], 10, std::span(allow))));
      }
    }
  }
  EXPECT_TRUE(e.search(vs[0], 10, std::span<const uint64_t>()).empty());
}

TEST(EngineIvf, RebuildAfterAddKeepsEveryVectorAndSearchesLikeAFreshBuild) {
  const Vectors all = blobs(4100, 48, 40, 1.5f, 17);
  const Vectors base(all.begin(), all.begin() + 4000), queries(all.begin() + 4000, all.end());
  Teskra flat(ivf_config(48, 32, 2, Metric::Cosine, IndexType::BruteForce)), fresh(ivf_config(48, 32, 2)),
      grown(ivf_config(48, 32, 2));
  for (Teskra* t : {&flat, &fresh}) t->add(iota_ids(4000), base);
  fresh.build();
  for (const auto& [from, to] : {std::pair<size_t, size_t>{0, 1000}, {1000, 3000}, {3000, 4000}}) {
    grown.add(iota_ids(to - from, from), std::span(base).subspan(from, to - from));
    grown.build();
  }
  std::set<uint64_t> members;
  const auto& ivf = dynamic_cast<const IvfFlatIndex&>(grown.index());
  for (const IvfList& l : ivf.built()->lists())
    members.insert(l.members.ids().begin(), l.members.ids().end());
  EXPECT_TRUE(grown.n_vectors() == 4000 && members.size() == 4000);
  // The pending store is released once built.
  EXPECT_TRUE(ivf.pending().codes().data() == nullptr && ivf.pending_vectors().capacity() == 0);
  // Recall@10 against the exhaustive scan over the same codes.
  size_t found[2] = {};
  for (const auto& q : queries) {
    const std::set<uint64_t> truth = id_set(flat.search(q, 10, std::nullopt));
    for (const auto& h : fresh.search(q, 10, std::nullopt)) found[0] += truth.count(h.id);
    for (const auto& h : grown.search(q, 10, std::nullopt)) found[1] += truth.count(h.id);
  }
  EXPECT_GT(found[0], 500u);  // recall 0.5 over 100 queries
  EXPECT_GE(found[1] + 20, found[0]) << "fresh " << found[0] << " rebuilt " << found[1];  // within 0.02
  grown.set_nprobe(1000);  // every list: the exhaustive scan's answer, bit for bit
  for (const auto& q : std::span(queries).first(10))
    EXPECT_EQ(hit_bits(grown.search(q, 10, std::nullopt)), hit_bits(flat.search(q, 10, std::nullopt)));
}

TEST(EngineFit, ValuesAndErrorsInOrder) {
  const std::tuple<Vectors, float, float> cases[] = {
      {{{1, 2}, {3, 4}}, 2.5f, static_cast<float>(1.0 / std::sqrt(2.5))},
      {{{7, 7}, {7, 7}, {7, 7}}, 7.0f, 1.0f},  // no spread: factor 1
      {{{1e-6f, 1e-6f}}, 1e-6f, 1.0f}};
  for (const auto& [samples, mean, inv_std] : cases) {
    Teskra e(ivf_config(2, 1, 1, Metric::L2));
    e.fit(samples);
    ASSERT_TRUE(e.pipeline().std_params().has_value());
    EXPECT_EQ(std::tuple(e.pipeline().std_params()->mean, e.pipeline().std_params()->inv_std),
              std::tuple(std::vector<float>(2, mean), std::vector<float>(2, inv_std)));
  }
  // A failed fit changes nothing; a second one replaces the first; once
  // vectors are stored, that is reported before the sample is looked at.
  Teskra e(ivf_config(3, 1, 1, Metric::L2));
  auto mean = [&] { return e.pipeline().std_params()->mean; };
  EXPECT_EQ(error_of([&] { e.fit({}); }), "sample is empty — provide at least 1 vector for profiling");
  e.fit(Vectors{{1, 2, 3}, {4, 5, 6}});
  const Vectors ragged = {{1, 2, 3}, {1, 2}, {1}};
  EXPECT_EQ(error_of([&] { e.fit(ragged); }), "dimension mismatch: expected 3, got 2");
  EXPECT_EQ(mean(), std::vector<float>(3, 3.5f));
  e.fit(Vectors{{0, 0, 0}, {2, 2, 2}});
  EXPECT_EQ(mean(), std::vector<float>(3, 1.0f));
  e.add(iota_ids(1), Vectors{{1, 2, 3}});
  EXPECT_EQ(error_of([&] { e.fit({}); }),
            "fit() must be called before add() — index already contains vectors");
  EXPECT_EQ(mean(), std::vector<float>(3, 1.0f));
}

}  // namespace
}  // namespace teskra
