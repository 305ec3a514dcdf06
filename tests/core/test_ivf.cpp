// The IVF index: the centroid kernels, the k-means clustering (against a
// plain reimplementation, with and without row skipping), the list probe,
// and the engine's fit / build / tuning state machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "core/engine.h"
#include "core/search/brute.h"
#include "core/search/centroid_panel.h"
#include "core/search/ivf.h"
#include "core/search/kmeans.h"
#include "core/search/topk.h"

namespace teskra {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::string message_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const TeskraError& e) {
    return e.what();
  }
  return "<no error>";
}

EngineConfig ivf_config(uint64_t dim, uint64_t nlist, uint64_t nprobe, Metric metric = Metric::Cosine,
                        IndexType type = IndexType::IvfFlat) {
  EngineConfig c;
  c.dim = dim;
  c.seed = kDefaultSeed;
  c.n4_dims = padded_dim_for(dim);
  c.metric = static_cast<uint8_t>(metric);
  c.index_type = static_cast<uint8_t>(type);
  c.ivf_nlist = nlist;
  c.ivf_nprobe = nprobe;
  return c;
}

// Gaussian blobs: n rows of dim values around `blobs` random centres.
std::vector<std::vector<float>> blobs(size_t n, size_t dim, size_t blobs, float spread, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<std::vector<float>> centres(blobs, std::vector<float>(dim));
  for (auto& c : centres)
    for (auto& x : c) x = g(rng);
  std::vector<std::vector<float>> out(n, std::vector<float>(dim));
  for (auto& v : out) {
    const auto& c = centres[rng() % blobs];
    for (size_t i = 0; i < dim; ++i) v[i] = c[i] + spread * g(rng);
  }
  return out;
}

std::vector<float> flatten(const std::vector<std::vector<float>>& rows) {
  std::vector<float> out;
  for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

std::vector<uint64_t> iota_ids(size_t n, uint64_t first = 0) {
  std::vector<uint64_t> ids(n);
  for (size_t i = 0; i < n; ++i) ids[i] = first + i;
  return ids;
}

bool same_bits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }
// Identical bits, or both NaN: the compiler may order the operands of a
// commutative add either way, and x86 passes on the first operand's NaN, so a
// NaN's sign and payload are not reproducible (nor meaningful here).
bool same_value(float a, float b) { return same_bits(a, b) || (std::isnan(a) && std::isnan(b)); }

// ---------------------------------------------------------------------------
// Centroid kernels.

TEST(CentroidPanel, EveryKernelReturnsTheSequentialLoopBitForBit) {
  std::mt19937 rng(5);
  std::normal_distribution<float> g(0.0f, 3.0f);
  const float specials[] = {kNaN, kInf, -kInf, 1e-40f, -0.0f, 3e38f, -3e38f, 0.0f};
  for (size_t dim : {1, 7, 64, 131}) {
    for (size_t k : {1, 5, 63, 64, 65, 130}) {
      std::vector<float> cents(k * dim), rows(13 * dim);
      for (auto& x : cents) x = g(rng);
      for (auto& x : rows) x = g(rng);
      // Adversarial values in a few places, overflow-prone products included.
      for (size_t s = 0; s < 8; ++s) {
        cents[rng() % cents.size()] = specials[s];
        rows[rng() % rows.size()] = specials[(s + 3) % 8];
      }
      CentroidPanel panel(cents, k, dim);
      std::vector<const float*> ptrs;
      for (size_t r = 0; r < 13; ++r) ptrs.push_back(rows.data() + r * dim);
      int kernels_run = 0;
      for (const char* name : {"scalar", "avx2", "avx512"}) {
        // Row counts hitting full tiles and tails.
        for (size_t n_rows : {1, 6, 13}) {
          std::vector<float> out(n_rows * panel.stride(), -1.0f);
          if (!panel.dots_with(name, ptrs.data(), n_rows, out.data())) continue;
          ++kernels_run;
          for (size_t r = 0; r < n_rows; ++r) {
            for (size_t c = 0; c < k; ++c) {
              const float want = sequential_dot(ptrs[r], cents.data() + c * dim, dim);
              ASSERT_TRUE(same_value(out[r * panel.stride() + c], want))
                  << name << " dim " << dim << " k " << k << " row " << r << " centroid " << c;
            }
          }
        }
      }
      EXPECT_GE(kernels_run, 3);  // the scalar kernel always runs
    }
  }
}

// ---------------------------------------------------------------------------
// k-means, checked against a plain transcription of the clustering rules.

struct Plain {
  std::vector<float> centroids;
  std::vector<uint32_t> assignment;
};

Plain plain_kmeans(const std::vector<float>& rows, size_t d, uint64_t nlist, uint64_t seed, Metric metric) {
  const size_t n = rows.size() / d;
  const size_t k = std::min<size_t>(n, std::max<uint64_t>(nlist, 1));
  const size_t step = std::max<size_t>(n / k, 1), offset = seed % step;
  std::vector<float> cent(k * d);
  for (size_t c = 0; c < k; ++c)
    std::copy_n(rows.begin() + ((c * step + offset) % n) * d, d, cent.begin() + c * d);
  std::vector<uint32_t> asg(n, 0);
  auto score = [&](size_t j, size_t c) {
    float dot = 0.0f, sq = 0.0f;
    for (size_t i = 0; i < d; ++i) dot += rows[j * d + i] * cent[c * d + i];
    for (size_t i = 0; i < d; ++i) sq += cent[c * d + i] * cent[c * d + i];
    return metric == Metric::L2 ? 2.0f * dot - sq : dot;
  };
  auto pass = [&] {
    bool changed = false;
    for (size_t j = 0; j < n; ++j) {
      uint32_t best = 0;
      float bs = score(j, 0);
      for (size_t c = 1; c < k; ++c) {
        const float s = score(j, c);
        if (!(bs > s)) best = static_cast<uint32_t>(c), bs = s;
      }
      changed |= best != asg[j];
      asg[j] = best;
    }
    return changed;
  };
  bool settled = false;
  for (int it = 0; it < 25 && !settled; ++it) {
    if (!pass()) {
      settled = true;
      break;
    }
    std::vector<float> sum(k * d, 0.0f);
    std::vector<uint64_t> count(k, 0);
    for (size_t j = 0; j < n; ++j) {
      ++count[asg[j]];
      for (size_t i = 0; i < d; ++i) sum[asg[j] * d + i] += rows[j * d + i];
    }
    for (size_t c = 0; c < k; ++c) {
      float* ce = cent.data() + c * d;
      if (count[c] == 0) {
        std::copy_n(rows.begin() + ((seed + c * 7919) % n) * d, d, ce);
      } else {
        for (size_t i = 0; i < d; ++i) ce[i] = sum[c * d + i] / static_cast<float>(count[c]);
      }
      if (metric == Metric::Cosine) {
        float sq = 0.0f;
        for (size_t i = 0; i < d; ++i) sq += ce[i] * ce[i];
        const float norm = std::sqrt(sq);
        if (norm > 1e-9f)
          for (size_t i = 0; i < d; ++i) ce[i] /= norm;
      }
    }
  }
  if (!settled) pass();
  return {cent, asg};
}

TEST(KMeans, MatchesThePlainRulesBitForBitWithAndWithoutSkipping) {
  struct Case {
    const char* name;
    std::vector<float> rows;
    size_t dim;
    uint64_t nlist;
  };
  std::vector<Case> cases;
  cases.push_back({"blobs", flatten(blobs(700, 24, 12, 0.3f, 1)), 24, 16});
  cases.push_back({"noise", flatten(blobs(500, 16, 500, 1.0f, 2)), 16, 20});
  // Three distinct rows: clusters empty out and are reseeded.
  cases.push_back({"duplicates", flatten(blobs(300, 8, 3, 0.0f, 3)), 8, 40});
  {
    auto rows = blobs(400, 12, 8, 0.2f, 4);
    rows[17].assign(12, 0.0f);
    rows[40][3] = kNaN;
    rows[41][0] = kInf;
    cases.push_back({"non-finite", flatten(rows), 12, 10});
  }
  cases.push_back({"k near n", flatten(blobs(60, 6, 5, 0.5f, 5)), 6, 50});
  for (const Case& c : cases) {
    for (Metric m : {Metric::Cosine, Metric::Dot, Metric::L2}) {
      const Plain want = plain_kmeans(c.rows, c.dim, c.nlist, kDefaultSeed, m);
      FlatRows rows(c.rows, c.dim);
      for (bool prune : {true, false}) {
        KMeansOptions opt;
        opt.prune = prune;
        const KMeansResult got = kmeans(rows, c.nlist, kDefaultSeed, m, opt);
        EXPECT_EQ(got.assignment, want.assignment) << c.name << " " << metric_name(m) << " " << prune;
        ASSERT_EQ(got.centroids.size(), want.centroids.size());
        for (size_t i = 0; i < want.centroids.size(); ++i) {
          ASSERT_TRUE(same_value(got.centroids[i], want.centroids[i]))
              << c.name << " " << metric_name(m) << " entry " << i;
        }
      }
    }
  }
}

TEST(KMeans, SkipsRowsOnClusteredData) {
  const auto data = flatten(blobs(3000, 32, 20, 0.2f, 9));
  FlatRows rows(data, 32);
  for (Metric m : {Metric::Cosine, Metric::L2}) {
    const KMeansResult r = kmeans(rows, 32, kDefaultSeed, m);
    ASSERT_GT(r.iterations, 3u) << metric_name(m);
    // Every pass after the first would rescore all 3000 rows without bounds.
    EXPECT_LT(r.rows_rescored, 3000u * r.iterations / 2) << metric_name(m);
  }
}

TEST(KMeans, FourPointL2Example) {
  const std::vector<float> rows = {0, 0, 1, 0, 10, 0, 11, 0};
  const KMeansResult r = kmeans(FlatRows(rows, 2), 2, kDefaultSeed, Metric::L2);
  EXPECT_EQ(r.assignment, (std::vector<uint32_t>{0, 0, 1, 1}));
  EXPECT_EQ(r.centroids, (std::vector<float>{0.5f, 0, 10.5f, 0}));
  EXPECT_EQ(r.iterations, 2u);  // the second pass changes nothing

  const std::vector<uint8_t> codes = {10, 11, 12, 13};
  const std::vector<float> norms = {1, 2, 3, 4};
  const IvfFlat ivf = IvfFlat::build(2, 1, 1, 2, iota_ids(4, 100), codes, norms, rows, kDefaultSeed, Metric::L2);
  ASSERT_EQ(ivf.lists().size(), 2u);
  EXPECT_EQ(ivf.lists()[0].ids, (std::vector<uint64_t>{100, 101}));
  EXPECT_EQ(ivf.lists()[1].ids, (std::vector<uint64_t>{102, 103}));
  EXPECT_EQ(ivf.lists()[1].codes, (std::vector<uint8_t>{12, 13}));
  EXPECT_EQ(ivf.lists()[1].norms, (std::vector<float>{3, 4}));
  EXPECT_EQ(ivf.lists()[0].centroid, (std::vector<float>{0.5f, 0}));
  EXPECT_EQ(ivf.n_members(), 4u);
}

TEST(KMeans, SeedsEvenlySpacedRowsShiftedBySeed) {
  // Dot metric: row 1 has by far the largest first coordinate, so every row
  // prefers centroid 0 (a copy of row 1) and the loop stops at once, leaving
  // the seeds in place. The second coordinate tags the row.
  std::vector<float> rows;
  for (size_t j = 0; j < 1000; ++j) {
    rows.push_back(j == 1 ? 1e4f : 1.0f);
    rows.push_back(static_cast<float>(j) * 1e-3f);
  }
  ASSERT_EQ(kDefaultSeed % 3, 1u);
  const KMeansResult r = kmeans(FlatRows(rows, 2), 256, kDefaultSeed, Metric::Dot);
  EXPECT_EQ(r.iterations, 1u);
  ASSERT_EQ(r.k, 256u);
  for (size_t c = 0; c < 256; ++c) ASSERT_EQ(r.centroids[2 * c + 1], rows[2 * (3 * c + 1) + 1]) << c;
  EXPECT_TRUE(std::all_of(r.assignment.begin(), r.assignment.end(), [](uint32_t a) { return a == 0; }));
}

TEST(KMeans, ListCountAndDegenerateInputs) {
  const std::vector<float> five = {3, 1, 4, 1, 5};
  EXPECT_EQ(kmeans(FlatRows(five, 1), 256, kDefaultSeed, Metric::L2).k, 5u);  // fewer rows than nlist
  // All rows identical: every score ties, so all go to the last list and the
  // other lists stay (reseeded, empty).
  const std::vector<float> same(10 * 3, 0.25f);
  const IvfFlat ivf = IvfFlat::build(4, 1, 1, 3, iota_ids(10), std::vector<uint8_t>(10), std::vector<float>(10),
                                     same, kDefaultSeed, Metric::Cosine);
  ASSERT_EQ(ivf.lists().size(), 4u);
  for (size_t c = 0; c < 3; ++c) EXPECT_TRUE(ivf.lists()[c].ids.empty());
  EXPECT_EQ(ivf.lists()[3].ids, iota_ids(10));
  // nlist 0 is one list, never a division by zero.
  const KMeansResult one = kmeans(FlatRows(five, 1), 0, kDefaultSeed, Metric::L2);
  EXPECT_EQ(one.k, 1u);
  EXPECT_EQ(one.assignment, std::vector<uint32_t>(5, 0));
  EXPECT_EQ(message_of([] { kmeans(FlatRows({}, 4), 8, 1, Metric::L2); }), "index is empty");
}

// ---------------------------------------------------------------------------
// Search over the lists.

struct Built {
  QuantPipeline pipeline;
  std::vector<std::vector<float>> vectors;
  IvfFlat ivf;
};

Built build_index(Metric metric, uint8_t bits, size_t n, uint64_t nlist, uint64_t nprobe) {
  EngineConfig c = ivf_config(40, nlist, nprobe, metric);
  c.bit_width = bits == 2 ? 2 : 4;
  c.n4_dims = bits == 4 ? 64 : (bits == 2 ? 0 : 32);  // 3: a mixed layout
  QuantPipeline p(c);
  auto vs = blobs(n, 40, 10, 0.4f, 21);
  std::vector<uint8_t> codes;
  std::vector<float> norms, transformed;
  for (const auto& v : vs) {
    const auto code = p.encode(v);
    codes.insert(codes.end(), code.begin(), code.end());
    norms.push_back(p.compute_norm(code.data()));
    const auto t = p.transform_query(v);
    transformed.insert(transformed.end(), t.begin(), t.end());
  }
  IvfFlat ivf = IvfFlat::build(nlist, nprobe, p.packed_bytes_per_vec(), p.padded_dim(), iota_ids(n), codes,
                               norms, transformed, kDefaultSeed, metric);
  return {std::move(p), std::move(vs), std::move(ivf)};
}

TEST(IvfSearch, ProbesTheBestListsWithPerCodeScores) {
  for (Metric m : {Metric::Cosine, Metric::Dot, Metric::L2}) {
    for (uint8_t bits : {4, 2, 3}) {
      Built b = build_index(m, bits, 600, 12, 3);
      for (size_t qi = 0; qi < 600; qi += 150) {
        PreparedQuery pq = b.pipeline.prepare_query(b.pipeline.transform_query(b.vectors[qi]));
        // The probe order: centroid scores, highest first.
        const auto ranked = b.ivf.rank_lists(pq.q);
        for (size_t i = 1; i < ranked.size(); ++i) ASSERT_GE(ranked[i - 1].score, ranked[i].score);
        TopK heap(10, 600);
        for (size_t p = 0; p < 3; ++p) {
          const IvfList& list = b.ivf.lists()[ranked[p].id];
          for (size_t j = 0; j < list.ids.size(); ++j) {
            const float raw = b.pipeline.score(pq.q.data(), list.codes.data() + j * b.ivf.bytes_per_vec());
            heap.offer(list.ids[j], similarity(m, raw, list.norms[j]));
          }
        }
        const auto want = heap.into_sorted();
        const auto got = b.ivf.search(b.pipeline, pq, 10);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
          EXPECT_EQ(got[i].id, want[i].id);
          EXPECT_TRUE(same_bits(got[i].score, want[i].score));
        }
        // A vector's list is the one whose centroid its transformed form
        // scores best, so it is probed first and the vector is found.
        if (m != Metric::Dot) {
          EXPECT_EQ(got.front().id, qi) << metric_name(m) << " bits " << int(bits);
        }
      }
    }
  }
}

TEST(IvfSearch, RankingIsStableAndRaggedCentroidsRankTheSame) {
  // Equal centroids: equal scores keep ascending list order.
  std::vector<IvfList> lists(5);
  for (auto& l : lists) l.centroid = {1, 2, 3, 4};
  lists[3].centroid = {2, 2, 3, 4};
  const IvfFlat equal(lists, 1, 5, 4, Metric::Dot);
  const auto r = equal.rank_lists(std::vector<float>{1, 1, 1, 1});
  std::vector<uint64_t> order;
  for (const auto& h : r) order.push_back(h.id);
  EXPECT_EQ(order, (std::vector<uint64_t>{3, 0, 1, 2, 4}));
  // A file may hold centroids of several lengths: the common length is
  // scored, |c|^2 over the whole centroid, with the panel's bits.
  lists.assign(3, IvfList{});
  lists[0].centroid = {0.5f, -1, 2, 0.25f};
  lists[1].centroid = {0.5f, -1, 2};
  lists[2].centroid = {0.5f, -1, 2, 0.25f, 3};
  const auto ragged = IvfFlat(lists, 1, 3, 4, Metric::L2).rank_lists(std::vector<float>{1, 2, 3, 4});
  const float dot = sequential_dot(lists[0].centroid.data(), std::vector<float>{1, 2, 3, 4}.data(), 4);
  const float sq = sequential_dot(lists[0].centroid.data(), lists[0].centroid.data(), 4);
  EXPECT_EQ(ragged[0].id, 0u);
  EXPECT_TRUE(same_bits(ragged[0].score, 2.0f * dot - sq));
  EXPECT_TRUE(same_bits(ragged[2].score, 2.0f * dot - (sq + 9.0f)));  // the fifth entry counts in |c|^2 only
}

// ---------------------------------------------------------------------------
// The engine: states, rebuilds, tuning.

TEST(EngineIvf, StateMachine) {
  Teskra e(ivf_config(16, 4, 4));
  const auto vs = blobs(40, 16, 4, 0.3f, 8);
  const std::vector<float> q = vs[0];
  EXPECT_EQ(message_of([&] { e.build(); }), "index is empty");
  EXPECT_EQ(message_of([&] { e.search(q, 3, std::nullopt); }), "index is empty");
  e.set_nprobe(0);  // lost: the build takes ivf_nprobe
  e.add(iota_ids(30), std::span(vs).first(30));
  EXPECT_EQ(e.n_vectors(), 30u);
  EXPECT_EQ(message_of([&] { e.search(q, 3, std::nullopt); }), "call build() before search() for IvfFlat indexes");

  e.build();
  EXPECT_TRUE(e.codes().empty() && e.ids().empty() && e.norms().empty() && e.pending_vectors().empty());
  EXPECT_EQ(e.codes().capacity() + e.pending_vectors().capacity(), 0u);  // released
  ASSERT_TRUE(e.ivf().has_value());
  EXPECT_EQ(e.ivf()->nprobe(), 4u);
  EXPECT_EQ(e.n_vectors(), 30u);
  EXPECT_EQ(e.search(q, 3, std::nullopt).front().id, 0u);
  EXPECT_TRUE(e.search(q, 0, std::nullopt).empty());
  EXPECT_EQ(e.search(q, ~0ull, std::nullopt).size(), 30u);
  // Nothing new: the second build fails and the index stays.
  EXPECT_EQ(message_of([&] { e.build(); }), "index is empty");
  EXPECT_EQ(e.search(q, 1, std::nullopt).front().id, 0u);

  // Built with pending vectors: neither counted nor found.
  e.add(iota_ids(10, 30), std::span(vs).subspan(30));
  EXPECT_EQ(e.n_vectors(), 30u);
  for (const auto& h : e.search(vs[35], 40, std::nullopt)) EXPECT_LT(h.id, 30u);
  e.build();
  EXPECT_EQ(e.n_vectors(), 40u);
  EXPECT_EQ(e.search(vs[35], 1, std::nullopt).front().id, 35u);

  // nprobe applies to the built index, never to the configuration.
  e.set_nprobe(0);
  EXPECT_TRUE(e.search(q, 10, std::nullopt).empty());
  EXPECT_EQ(e.config().ivf_nprobe, 4u);
}

TEST(EngineIvf, AllowlistFiltersTheTopKAndHugeListsWork) {
  for (IndexType type : {IndexType::IvfFlat, IndexType::BruteForce}) {
    Teskra e(ivf_config(8, 2, 2, Metric::Dot, type));
    const auto vs = blobs(50, 8, 3, 0.5f, 4);
    e.add(iota_ids(50), vs);
    e.build();
    const auto full = e.search(vs[0], 10, std::nullopt);
    // A list of 3 million ids, almost none stored (the exhaustive scan keeps
    // only the stored ones; the post-filter scans the list per hit).
    std::vector<uint64_t> allow(3000000);
    for (size_t i = 0; i < allow.size(); ++i) allow[i] = 1000 + i * 7;
    allow[123456] = full[2].id;
    allow[7] = full[5].id;
    const auto got = e.search(vs[0], 10, std::span<const uint64_t>(allow));
    // IvfFlat filters its top 10 in order; the exhaustive scan scores only
    // the allowed ids, which here are the same two.
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(std::set<uint64_t>({got[0].id, got[1].id}), std::set<uint64_t>({full[2].id, full[5].id}));
    if (type == IndexType::IvfFlat) {
      EXPECT_EQ(got[0].id, full[2].id);
    }
    EXPECT_TRUE(e.search(vs[0], 10, std::span<const uint64_t>()).empty());
  }
}

// Recall@10 of e against the exhaustive scan over the same codes.
double recall_at_10(const Teskra& e, const Teskra& flat, const std::vector<std::vector<float>>& queries) {
  size_t hits = 0;
  for (const auto& q : queries) {
    std::set<uint64_t> truth;
    for (const auto& h : flat.search(q, 10, std::nullopt)) truth.insert(h.id);
    for (const auto& h : e.search(q, 10, std::nullopt)) hits += truth.count(h.id);
  }
  return static_cast<double>(hits) / (10.0 * queries.size());
}

TEST(EngineIvf, RebuildAfterAddKeepsEveryVectorAndSearchesLikeAFreshBuild) {
  const auto all = blobs(4100, 48, 40, 1.5f, 17);
  const std::vector<std::vector<float>> base(all.begin(), all.begin() + 4000), queries(all.begin() + 4000, all.end());

  Teskra flat(ivf_config(48, 32, 2, Metric::Cosine, IndexType::BruteForce)), fresh(ivf_config(48, 32, 2));
  for (Teskra* t : {&flat, &fresh}) t->add(iota_ids(4000), base);
  fresh.build();

  Teskra grown(ivf_config(48, 32, 2));
  grown.add(iota_ids(1000), std::span(base).first(1000));
  grown.build();
  grown.add(iota_ids(2000, 1000), std::span(base).subspan(1000, 2000));
  grown.build();
  grown.add(iota_ids(1000, 3000), std::span(base).subspan(3000));
  grown.build();
  ASSERT_EQ(grown.n_vectors(), 4000u);
  std::set<uint64_t> members;
  for (const IvfList& l : grown.ivf()->lists()) members.insert(l.ids.begin(), l.ids.end());
  EXPECT_EQ(members.size(), 4000u);

  const double a = recall_at_10(fresh, flat, queries), b = recall_at_10(grown, flat, queries);
  EXPECT_GT(a, 0.5);
  EXPECT_GE(b, a - 0.02) << "fresh " << a << " rebuilt " << b;
  std::printf("recall@10 nprobe 2/32: fresh build %.3f, built in three steps %.3f\n", a, b);
}

// ---------------------------------------------------------------------------
// fit.

TEST(EngineFit, ValuesOfTheStandardization) {
  struct Case {
    std::vector<std::vector<float>> samples;
    float mean, inv_std;
  };
  const Case cases[] = {{{{1, 2}, {3, 4}}, 2.5f, static_cast<float>(1.0 / std::sqrt(1.25 * 2))},
                        {{{7, 7}, {7, 7}, {7, 7}}, 7.0f, 1.0f},  // no spread: factor 1
                        {{{1e-6f, 1e-6f}}, 1e-6f, 1.0f}};
  for (const Case& c : cases) {
    Teskra e(ivf_config(2, 1, 1, Metric::L2));
    e.fit(c.samples);
    const auto& p = e.pipeline().std_params();
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->mean, std::vector<float>(2, c.mean));
    EXPECT_EQ(p->inv_std, std::vector<float>(2, c.inv_std));
  }
  EXPECT_NEAR(1.0 / std::sqrt(2.5), 0.632456, 1e-6);
}

TEST(EngineFit, ErrorsInOrderAndNoChangeOnFailure) {
  const std::vector<std::vector<float>> good = {{1, 2, 3}, {4, 5, 6}};
  Teskra e(ivf_config(3, 1, 1, Metric::L2));
  EXPECT_EQ(message_of([&] { e.fit({}); }), "sample is empty — provide at least 1 vector for profiling");
  e.fit(good);
  const StdParams first = *e.pipeline().std_params();
  EXPECT_EQ(message_of([&] { e.fit(std::vector<std::vector<float>>{{1, 2, 3}, {1, 2}, {1}}); }),
            "dimension mismatch: expected 3, got 2");
  EXPECT_EQ(e.pipeline().std_params()->mean, first.mean);
  e.fit(std::vector<std::vector<float>>{{0, 0, 0}, {2, 2, 2}});  // a second fit replaces the first
  EXPECT_EQ(e.pipeline().std_params()->mean, std::vector<float>(3, 1.0f));

  const std::string after_add = "fit() must be called before add() — index already contains vectors";
  e.add(iota_ids(1), std::span(good).first(1));
  EXPECT_EQ(message_of([&] { e.fit({}); }), after_add);  // before the sample checks
  EXPECT_EQ(e.pipeline().std_params()->mean, std::vector<float>(3, 1.0f));
}

}  // namespace
}  // namespace teskra
