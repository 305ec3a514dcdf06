// The graph index: levels, linking and pruning, search, and the fast paths
// (batched scoring, the sorted result list, candidates kept out of the heap,
// the stamped visited set), which are checked against a plain model of the
// graph built the slow, obvious way.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <queue>
#include <random>
#include <set>
#include <unordered_set>
#include <vector>

#include "core/quantize/pipeline.h"
#include "core/search/brute.h"
#include "core/search/float_dot.h"
#include "core/search/hnsw.h"

namespace teskra {
namespace {

using Floats = std::vector<float>;
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

QuantPipeline make_pipeline(uint64_t dim, Metric metric, uint64_t n4 = kMax) {
  const uint64_t p = padded_dim_for(dim);
  return QuantPipeline(EngineConfig{.dim = dim, .n4_dims = n4 == kMax ? p : n4,
                                    .seed = kDefaultSeed, .metric = uint8_t(metric)});
}

// Clusters that touch, like embeddings of related texts: 32 centres close
// together, each cluster spread along 8 directions of its own, plus a little
// noise. `world` fixes centres and directions (data and queries share it),
// `seed` the samples. Every `dup`-th vector repeats the one before it, so
// equal scores (ties) are common.
std::vector<Floats> clustered(size_t n, size_t dim, uint64_t seed, size_t dup = 0) {
  std::mt19937_64 world(7), rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<Floats> centers(32, Floats(dim));
  std::vector<Floats> spread(32 * 8, Floats(dim));
  for (auto& c : centers) for (float& x : c) x = 0.3f * g(world);
  for (auto& d : spread) for (float& x : d) x = 0.5f * g(world);
  std::vector<Floats> out;
  for (size_t i = 0; i < n; ++i) {
    if (dup != 0 && i % dup == dup - 1) { out.push_back(out.back()); continue; }
    const size_t k = rng() % centers.size();
    Floats v = centers[k];
    for (size_t s = 0; s < 8; ++s) {
      const float z = g(rng);
      for (size_t d = 0; d < dim; ++d) v[d] += z * spread[k * 8 + s][d];
    }
    for (float& x : v) x += 0.1f * g(rng);
    out.push_back(v);
  }
  return out;
}

std::vector<Floats> gaussian(size_t n, size_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<Floats> out(n, Floats(dim));
  for (auto& v : out) for (float& x : v) x = g(rng);
  return out;
}

// What the engine hands the graph for each vector.
struct Encoded {
  std::vector<uint8_t> codes;
  Floats norms, transformed;
  size_t bpv = 0, p = 0;
  const uint8_t* code(size_t i) const { return codes.data() + i * bpv; }
  std::span<const float> vec(size_t i) const { return {transformed.data() + i * p, p}; }
};

Encoded encode_all(const QuantPipeline& pl, const std::vector<Floats>& raw) {
  Encoded e;
  e.bpv = pl.packed_bytes_per_vec();
  e.p = pl.padded_dim();
  for (const Floats& v : raw) {
    const Floats t = pl.transform_query(v);
    e.transformed.insert(e.transformed.end(), t.begin(), t.end());
    const std::vector<uint8_t> c = pl.encode(v);
    e.codes.insert(e.codes.end(), c.begin(), c.end());
    e.norms.push_back(pl.compute_norm(c.data()));
  }
  return e;
}

void insert_range(Hnsw& g, const Encoded& e, size_t from, size_t to, const QuantPipeline& pl) {
  for (size_t i = from; i < to; ++i) g.insert(1000 + i, e.code(i), e.norms[i], e.vec(i), pl.metric(), pl);
}

PreparedQuery prepare(const QuantPipeline& pl, const Floats& q) {
  return pl.prepare_query(pl.transform_query(q));
}

// The graph built the plain, obvious way, with none of the shortcuts: vectors of
// lists, a fresh hash set per walk, a priority queue, stable sort and cut.
class Model {
 public:
  struct C { float score; uint32_t node; };
  Model(uint64_t m, uint64_t efc, uint64_t efs, const QuantPipeline& pl, const Encoded& e)
      : efs_(efs), m_(m), efc_(efc), pl_(pl), e_(e) {}

  void insert(uint32_t i) {
    const uint64_t level = Hnsw::level_for(i, Hnsw::ml_for(m_));
    layers_.emplace_back(level + 1);
    vecs_.push_back(Floats(e_.vec(i).begin(), e_.vec(i).end()));
    if (!entry_) { entry_ = i; max_level_ = level; return; }
    const float* q = vecs_[i].data();
    // Nodes without their vector: the inner product with the code, which
    // the kernels compute; their offset from the code's centroid values.
    auto score = [&](uint32_t n) {
      const float* v = vecs_[n].data();
      const float s = n < released_ ? pl_.score(q, e_.code(n)) : float_dot(q, v, e_.p);
      return pl_.metric() == Metric::L2 ? s - 0.5f * float_dot(v, v, e_.p) : s;
    };
    uint32_t ep = *entry_;
    for (uint64_t lc = max_level_; lc > level; --lc) ep = walk(score, ep, 1, lc).at(0).node;
    for (uint64_t lc = std::min(level, max_level_) + 1; lc-- > 0;) {
      const auto w = walk(score, ep, efc_, lc);
      const size_t cap = lc == 0 ? 2 * m_ : m_;
      for (size_t j = 0; j < std::min(cap, w.size()); ++j) {
        layers_[i][lc].push_back({w[j].node, w[j].score});
        auto& back = layers_[w[j].node][lc];
        back.push_back({i, w[j].score});
        if (back.size() > cap) {
          std::stable_sort(back.begin(), back.end(), [](auto& a, auto& b) { return a.score > b.score; });
          back.resize(cap);
        }
      }
      if (!w.empty()) ep = w[0].node;
    }
    if (level > max_level_) { entry_ = i; max_level_ = level; }
  }

  // Nodes present now lose their vectors: their codes stand in.
  void release() {
    for (size_t n = 0; n < vecs_.size(); ++n) pl_.dequantize_into(e_.code(n), vecs_[n].data());
    released_ = vecs_.size();
  }

  std::vector<SearchHit> search(const PreparedQuery& pq, uint64_t k) {
    auto score = [&](uint32_t n) {
      return similarity(pl_.metric(), pl_.score(pq.q.data(), e_.code(n)), e_.norms[n]);
    };
    uint32_t ep = *entry_;
    for (uint64_t lc = max_level_; lc >= 1; --lc) ep = walk(score, ep, 1, lc).at(0).node;
    const auto w = walk(score, ep, std::max(efs_, k), 0);
    std::vector<SearchHit> hits;
    for (size_t j = 0; j < std::min<size_t>(k, w.size()); ++j) hits.push_back({1000 + w[j].node, w[j].score});
    return hits;
  }

  std::vector<std::vector<std::vector<HnswNeighbour>>> layers_;
  std::optional<uint32_t> entry_;
  uint64_t max_level_ = 0;
  uint64_t efs_;

 private:
  template <class F>
  std::vector<C> walk(F score, uint32_t e, uint64_t ef, uint64_t layer) {
    auto lower = [](const C& a, const C& b) {
      return a.score < b.score || (!(b.score < a.score) && a.node < b.node);
    };
    auto by_score = [](const C& a, const C& b) { return a.score > b.score; };
    std::priority_queue<C, std::vector<C>, decltype(lower)> heap(lower);
    std::unordered_set<uint32_t> visited{e};
    std::vector<C> results{{score(e), e}};
    heap.push(results[0]);
    for (uint64_t pops = 1; !heap.empty(); ++pops) {
      const C c = heap.top();
      heap.pop();
      float worst = std::numeric_limits<float>::infinity();
      for (const C& r : results) worst = std::min(worst, r.score);
      if (c.score < worst && pops > ef) break;
      if (layers_[c.node].size() <= layer) continue;
      for (const HnswNeighbour& nb : layers_[c.node][layer]) {
        if (!visited.insert(nb.node).second) continue;
        const C nc{score(nb.node), nb.node};
        heap.push(nc);
        if (results.size() < ef || nc.score > worst) {
          results.push_back(nc);
          if (results.size() > ef) {
            std::stable_sort(results.begin(), results.end(), by_score);
            results.resize(ef);
          }
        }
      }
    }
    std::stable_sort(results.begin(), results.end(), by_score);
    return results;
  }

  uint64_t m_, efc_;
  const QuantPipeline& pl_;
  const Encoded& e_;
  std::vector<Floats> vecs_;
  size_t released_ = 0;
};

void expect_same_graph(const Hnsw& g, const Model& model) {
  ASSERT_EQ(g.size(), model.layers_.size());
  ASSERT_EQ(g.entry_point(), model.entry_);
  ASSERT_EQ(g.max_level(), model.max_level_);
  for (uint32_t n = 0; n < g.size(); ++n) {
    ASSERT_EQ(g.level(n) + 1, model.layers_[n].size());
    for (uint64_t l = 0; l <= g.level(n); ++l) {
      const auto got = g.neighbours(n, l);
      const auto& want = model.layers_[n][l];
      ASSERT_EQ(got.size(), want.size()) << "node " << n << " layer " << l;
      for (size_t j = 0; j < got.size(); ++j) {
        ASSERT_EQ(got[j].node, want[j].node) << "node " << n << " layer " << l << " slot " << j;
        ASSERT_EQ(std::bit_cast<uint32_t>(got[j].score), std::bit_cast<uint32_t>(want[j].score));
      }
    }
  }
}

void expect_same_hits(const std::vector<SearchHit>& got, const std::vector<SearchHit>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t j = 0; j < got.size(); ++j) {
    ASSERT_EQ(got[j].id, want[j].id) << "rank " << j;
    ASSERT_EQ(std::bit_cast<uint32_t>(got[j].score), std::bit_cast<uint32_t>(want[j].score));
  }
}

double recall_at_10(const Hnsw& g, const QuantPipeline& pl, const Encoded& e,
                    const std::vector<Floats>& queries) {
  std::vector<uint64_t> ids(e.norms.size());
  for (size_t i = 0; i < ids.size(); ++i) ids[i] = 1000 + i;
  const FlatStoreView store{e.codes, e.bpv, ids, e.norms};
  size_t hit = 0;
  for (const Floats& q : queries) {
    const PreparedQuery pq = prepare(pl, q);
    std::set<uint64_t> truth;
    for (const SearchHit& h : brute_force_search(pl, pq, store, 10, nullptr)) truth.insert(h.id);
    for (const SearchHit& h : g.search(pl, pq, 10, pl.metric())) hit += truth.count(h.id);
  }
  return static_cast<double>(hit) / (10.0 * queries.size());
}

TEST(HnswLevels, FollowOnlyFromThePosition) {
  const double ml = Hnsw::ml_for(32);
  EXPECT_EQ(ml, 0.28853900817779266);
  uint64_t first[4] = {kMax, kMax, kMax, kMax};
  for (uint64_t i = 0; i < 30000; ++i) {
    const uint64_t l = Hnsw::level_for(i, ml);
    ASSERT_LT(l, 4u);
    for (uint64_t k = 0; k <= l; ++k) first[k] = std::min(first[k], i);
    if (i < 22) {
      EXPECT_EQ(l, 0u) << i;
    }
  }
  EXPECT_EQ(first[1], 22u);
  EXPECT_EQ(first[2], 3535u);
  EXPECT_EQ(first[3], 22877u);
  EXPECT_DOUBLE_EQ(Hnsw::ml_for(1), 1e9);  // ln 1 = 0: the floor applies
  // Levels past the integer range saturate instead of overflowing.
  EXPECT_EQ(Hnsw::level_for(0, 1e300), kMax);
}

TEST(HnswInsert, FirstNodeIsTheEntryAndNewHigherLevelsTakeOver) {
  const QuantPipeline pl = make_pipeline(16, Metric::Cosine);
  const Encoded e = encode_all(pl, clustered(24, 16, 1));
  Hnsw g(32, 50, 0, e.bpv, e.p);
  EXPECT_EQ(g.ef_search(), 64u);
  EXPECT_FALSE(g.entry_point().has_value());
  insert_range(g, e, 0, 1, pl);
  EXPECT_EQ(g.entry_point(), 0u);
  EXPECT_EQ(g.max_level(), 0u);
  EXPECT_TRUE(g.neighbours(0, 0).empty());
  insert_range(g, e, 1, 2, pl);
  // Two level-0 nodes hold each other, with the inserting walk's score.
  ASSERT_EQ(g.neighbours(0, 0).size(), 1u);
  ASSERT_EQ(g.neighbours(1, 0).size(), 1u);
  EXPECT_EQ(g.neighbours(0, 0)[0].node, 1u);
  EXPECT_EQ(g.neighbours(1, 0)[0].node, 0u);
  EXPECT_EQ(g.neighbours(0, 0)[0].score, g.neighbours(1, 0)[0].score);
  insert_range(g, e, 2, 24, pl);
  EXPECT_EQ(g.entry_point(), 22u);  // the first node of level 1
  EXPECT_EQ(g.max_level(), 1u);
  EXPECT_EQ(g.neighbours(22, 1).size(), 0u);  // alone on layer 1
  EXPECT_EQ(g.neighbours(23, 1).size(), 0u);  // above its level: no list
}

TEST(HnswInsert, FullListSortsAndDropsTheLowestBackLink) {
  // Unit vectors in a plane, scored by their dot product (cos of the angle).
  const QuantPipeline pl = make_pipeline(4, Metric::Dot);
  const double deg[] = {0, 1, -1, 2, -2, 3, -3, 4, -4, 40, 0.5};
  std::vector<Floats> raw;
  for (double d : deg) raw.push_back({float(std::cos(d * M_PI / 180)), float(std::sin(d * M_PI / 180)), 0, 0});
  Encoded e = encode_all(pl, raw);
  e.transformed.clear();  // the construction vectors are the plane vectors themselves
  for (const Floats& v : raw) e.transformed.insert(e.transformed.end(), v.begin(), v.end());
  const uint64_t m = 4;  // layer 0 holds 8
  Hnsw g(m, 100, 0, e.bpv, e.p);
  insert_range(g, e, 0, 9, pl);
  auto holds = [&](uint32_t n, uint32_t x) {
    for (const HnswNeighbour& nb : g.neighbours(n, 0)) if (nb.node == x) return true;
    return false;
  };
  ASSERT_EQ(g.neighbours(0, 0).size(), 8u);
  ASSERT_TRUE(holds(0, 8));
  // Node 9 at 40 degrees has node 0 among its best eight, but scores below
  // everything node 0 holds: its back-link is dropped again.
  insert_range(g, e, 9, 10, pl);
  EXPECT_TRUE(holds(9, 0));
  EXPECT_FALSE(holds(0, 9));
  EXPECT_EQ(g.neighbours(0, 0).size(), 8u);
  // Node 10 at 0.5 degrees beats the worst entry (4 or -4 degrees): it goes
  // in, the list comes out sorted, and the lowest entry is cut.
  insert_range(g, e, 10, 11, pl);
  const auto list = g.neighbours(0, 0);
  EXPECT_EQ(list.size(), 8u);
  EXPECT_TRUE(holds(0, 10));
  EXPECT_FALSE(holds(0, 8));  // -4 degrees arrived last among the equal worst
  for (size_t j = 1; j < list.size(); ++j) EXPECT_GE(list[j - 1].score, list[j].score);
}

// The optimized graph against the model, link for link and score for score,
// for every metric, mixed codes, duplicates (ties), small lists and small
// walks, where the shortcuts would show first.
TEST(HnswModel, GraphAndSearchesMatchThePlainAlgorithm) {
  struct Case { Metric metric; uint64_t n4; uint64_t m, efc; };
  const Case cases[] = {{Metric::Cosine, kMax, 4, 8}, {Metric::L2, kMax, 3, 1},
                        {Metric::Dot, 32, 6, 30}, {Metric::Cosine, 0, 2, 0},
                        {Metric::L2, 16, 5, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "metric " << int(c.metric) << " m " << c.m << " efc " << c.efc);
    const QuantPipeline pl = make_pipeline(48, c.metric, c.n4);
    const Encoded e = encode_all(pl, clustered(700, 48, c.m, 7));
    Hnsw g(c.m, c.efc, 0, e.bpv, e.p);
    Model model(c.m, c.efc, 2 * c.m, pl, e);
    for (uint32_t i = 0; i < 700; ++i) {
      insert_range(g, e, i, i + 1, pl);
      model.insert(i);
      if (i == 400) {  // vectors gone from here: the codes stand in
        g.release_vectors();
        model.release();
        EXPECT_EQ(g.first_held_vector(), 401u);
      }
    }
    expect_same_graph(g, model);
    const auto queries = clustered(40, 48, 99);
    for (uint64_t ef : {0, 1, 3, 20, 200}) {
      g.set_ef_search(ef);
      model.efs_ = ef;
      for (uint64_t k : {1, 5, 17}) {
        for (const Floats& q : queries) {
          const PreparedQuery pq = prepare(pl, q);
          expect_same_hits(g.search(pl, pq, k, c.metric), model.search(pq, k));
        }
      }
    }
  }
}

// No self-links, no duplicates, capacity kept, every neighbour has the
// layer, and the entry point sits on the top level.
void expect_sound(const Hnsw& g) {
  uint64_t top = 0;
  for (uint32_t n = 0; n < g.size(); ++n) {
    top = std::max(top, g.level(n));
    for (uint64_t l = 0; l <= g.level(n); ++l) {
      const auto list = g.neighbours(n, l);
      EXPECT_LE(list.size(), l == 0 ? 2 * g.m() : g.m());
      std::set<uint32_t> seen;
      for (const HnswNeighbour& nb : list) {
        ASSERT_LT(nb.node, g.size());
        EXPECT_NE(nb.node, n);
        EXPECT_TRUE(seen.insert(nb.node).second) << "duplicate in " << n;
        EXPECT_GE(g.level(nb.node), l);
      }
    }
  }
  EXPECT_EQ(g.max_level(), top);
  EXPECT_EQ(g.level(*g.entry_point()), top);
}

TEST(HnswInvariants, ListsStayWithinTheRulesEvenWithNanScores) {
  const QuantPipeline pl = make_pipeline(32, Metric::L2);
  std::vector<Floats> raw = clustered(1500, 32, 5, 11);
  // NaN inputs give NaN construction scores, for which the walk's order has
  // no well-defined answer; the lists must stay sound regardless.
  for (size_t i = 1000; i < raw.size(); i += 7) raw[i][i % 32] = std::numeric_limits<float>::quiet_NaN();
  const Encoded e = encode_all(pl, raw);
  Hnsw g(3, 12, 0, e.bpv, e.p);
  insert_range(g, e, 0, 1000, pl);
  expect_sound(g);
  insert_range(g, e, 1000, 1500, pl);
  expect_sound(g);
  std::set<uint64_t> ids;
  for (const SearchHit& h : g.search(pl, prepare(pl, raw[1001]), 50, Metric::L2)) {
    EXPECT_TRUE(ids.insert(h.id).second);
  }
  EXPECT_EQ(ids.size(), 50u);
}

TEST(HnswSearch, LargeKReturnsEveryNodeOnceWithoutReservingForK) {
  const QuantPipeline pl = make_pipeline(24, Metric::Cosine);
  // Unclustered data, so that layer 0 is one connected piece.
  const Encoded e = encode_all(pl, gaussian(300, 24, 8));
  // An ef_construction no list can reach must not be reserved either.
  Hnsw g(8, kMax, 0, e.bpv, e.p);
  insert_range(g, e, 0, 300, pl);
  const PreparedQuery pq = prepare(pl, gaussian(1, 24, 77)[0]);
  EXPECT_TRUE(g.search(pl, pq, 0, Metric::Cosine).empty());
  for (uint64_t ef : {uint64_t{0}, kMax}) {
    g.set_ef_search(ef);
    const auto hits = g.search(pl, pq, kMax, Metric::Cosine);
    ASSERT_EQ(hits.size(), 300u);
    std::set<uint64_t> ids;
    for (const SearchHit& h : hits) ids.insert(h.id);
    EXPECT_EQ(ids.size(), 300u);
    EXPECT_EQ(*ids.begin(), 1000u);
    for (size_t j = 1; j < hits.size(); ++j) EXPECT_GE(hits[j - 1].score, hits[j].score);
  }
  // ef_search 0 means the list is k long: the same walk as ef_search = k.
  g.set_ef_search(0);
  const auto a = g.search(pl, pq, 7, Metric::Cosine);
  g.set_ef_search(7);
  expect_same_hits(a, g.search(pl, pq, 7, Metric::Cosine));
}

TEST(HnswSearch, RecallAgainstTheExhaustiveScanOverTheSameCodes) {
  const QuantPipeline pl = make_pipeline(128, Metric::Cosine);
  const auto data = clustered(4000, 128, 21);
  const auto queries = clustered(200, 128, 22);
  const Encoded e = encode_all(pl, data);
  Hnsw whole(16, 100, 64, e.bpv, e.p);
  insert_range(whole, e, 0, 4000, pl);
  const double r_whole = recall_at_10(whole, pl, e, queries);
  EXPECT_GE(r_whole, 0.95);
  // Half built, vectors released, then completed from the codes.
  Hnsw split(16, 100, 64, e.bpv, e.p);
  insert_range(split, e, 0, 2000, pl);
  split.release_vectors();
  insert_range(split, e, 2000, 4000, pl);
  EXPECT_EQ(split.first_held_vector(), 2000u);
  EXPECT_GE(recall_at_10(split, pl, e, queries), r_whole - 0.03);
}

TEST(HnswRestore, RebuildsAGraphAndRejectsUnsoundOnes) {
  const QuantPipeline pl = make_pipeline(32, Metric::L2);
  const Encoded e = encode_all(pl, clustered(600, 32, 3));
  Hnsw g(4, 20, 0, e.bpv, e.p);
  insert_range(g, e, 0, 500, pl);
  auto copy = [&](Hnsw& r) {
    for (uint32_t n = 0; n < g.size(); ++n) ASSERT_TRUE(r.restore_node(g.id(n), g.code(n), g.norm(n), g.level(n)));
    for (uint32_t n = 0; n < g.size(); ++n) {
      for (uint64_t l = 0; l <= g.level(n); ++l) {
        std::vector<uint32_t> ids;
        for (const HnswNeighbour& nb : g.neighbours(n, l)) ids.push_back(nb.node);
        ASSERT_TRUE(r.restore_neighbours(n, l, ids));
      }
    }
  };
  Hnsw r(4, 20, 0, e.bpv, e.p);
  copy(r);
  EXPECT_FALSE(r.restore_neighbours(0, 0, std::vector<uint32_t>(9, 1)));  // over capacity
  EXPECT_FALSE(r.restore_neighbours(0, g.level(0) + 1, {}));              // above its level
  EXPECT_FALSE(r.restore_node(1, e.code(0), 1.0f, 255));
  ASSERT_TRUE(r.finish_restore(g.entry_point(), g.max_level()));
  for (const Floats& q : clustered(20, 32, 4)) {
    const PreparedQuery pq = prepare(pl, q);
    expect_same_hits(r.search(pl, pq, 10, Metric::L2), g.search(pl, pq, 10, Metric::L2));
  }
  // More insertions into the restored graph work from the codes.
  insert_range(r, e, 500, 600, pl);
  EXPECT_EQ(r.first_held_vector(), 500u);
  expect_sound(r);

  Hnsw bad(4, 20, 0, e.bpv, e.p);
  copy(bad);
  const uint32_t far[] = {100000};
  EXPECT_TRUE(bad.restore_neighbours(3, 0, far));  // checked once all nodes are known
  EXPECT_FALSE(bad.finish_restore(g.entry_point(), g.max_level()));
  EXPECT_EQ(bad.size(), 0u);  // nothing of it is kept
  copy(bad);
  EXPECT_FALSE(bad.finish_restore(g.entry_point(), g.max_level() + 1));  // not the entry's level
}

TEST(HnswPieces, DequantizedCodesEncodeBackToThemselves) {
  for (uint64_t n4 : {uint64_t{64}, uint64_t{0}, uint64_t{24}}) {
    const QuantPipeline pl = make_pipeline(40, Metric::L2, n4);
    for (const Floats& v : clustered(20, 40, n4)) {
      const std::vector<uint8_t> code = pl.encode(v);
      Floats d(pl.padded_dim());
      pl.dequantize_into(code.data(), d.data());
      std::vector<uint8_t> again(code.size());
      pl.pack_into(d, again.data());
      EXPECT_EQ(again, code);  // every centroid encodes to its own code
      double sq = 0, dot = 0;
      const Floats q = pl.transform_query(v);
      for (size_t i = 0; i < d.size(); ++i) { sq += double(d[i]) * d[i]; dot += double(d[i]) * q[i]; }
      EXPECT_NEAR(std::sqrt(sq), pl.compute_norm(code.data()), 1e-3);
      EXPECT_NEAR(dot, pl.score(q.data(), code.data()), 1e-2);
    }
  }
}

TEST(HnswPieces, FloatDotIsTheSameBitsInEveryForm) {
  const std::vector<Floats> v = gaussian(14, 700, 5);
  std::vector<const float*> rows;
  for (size_t r = 1; r < 14; ++r) rows.push_back(v[r].data());
  auto bits = [](float f) { return std::bit_cast<uint32_t>(f); };
  for (size_t n : {1, 7, 8, 9, 31, 64, 512, 700}) {
    for (size_t count = 1; count <= 13; ++count) {
      Floats fast(count), base(count);
      float_dot_rows(v[0].data(), rows.data(), count, n, fast.data());
      float_dot_rows_baseline(v[0].data(), rows.data(), count, n, base.data());
      for (size_t r = 0; r < count; ++r) {
        const float one = float_dot(v[0].data(), rows[r], n);
        ASSERT_EQ(bits(fast[r]), bits(one)) << n << " " << r;
        ASSERT_EQ(bits(base[r]), bits(one));
        ASSERT_EQ(bits(float_dot_baseline(v[0].data(), rows[r], n)), bits(one));
        double exact = 0;
        for (size_t i = 0; i < n; ++i) exact += double(v[0][i]) * rows[r][i];
        ASSERT_NEAR(one, exact, 1e-5 * (1 + n));
      }
    }
  }
}

}  // namespace
}  // namespace teskra
