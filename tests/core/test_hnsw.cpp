// The graph index, checked link for link against a plain model built the
// slow, obvious way, plus the fixed values and edge cases a model cannot show.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <latch>
#include <limits>
#include <queue>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/quantize/pipeline.h"
#include "core/search/flat_index.h"
#include "core/search/similarity.h"
#include "core/search/float_dot.h"
#include "core/search/hnsw.h"

namespace teskra {
namespace {

using Floats = std::vector<float>;
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

QuantPipeline make_pipeline(uint64_t dim, Metric metric, uint64_t n4 = kMax) {
  return QuantPipeline(EngineConfig{.dim = dim, .n4_dims = n4 == kMax ? padded_dim_for(dim) : n4,
                                    .seed = kDefaultSeed, .metric = metric});
}

// Touching clusters, like embeddings of related texts: 32 close centres, each
// spread along 8 directions of its own, plus noise. Data and queries share the
// clusters; `seed` draws the samples. Every `dup`-th vector repeats the one
// before it, so ties are common.
std::vector<Floats> clustered(size_t n, size_t dim, uint64_t seed, size_t dup = 0) {
  std::mt19937_64 world(7), rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<Floats> basis(32 * 9, Floats(dim)), out;  // per cluster: a centre, then 8 directions
  for (size_t b = 0; b < basis.size(); ++b) for (float& x : basis[b]) x = (b % 9 == 0 ? 0.3f : 0.5f) * g(world);
  for (size_t i = 0; i < n; ++i) {
    if (dup != 0 && i % dup == dup - 1) { out.push_back(out.back()); continue; }
    const size_t c = rng() % 32 * 9;
    Floats v = basis[c];
    for (size_t s = 1; s <= 8; ++s) {
      const float z = g(rng);
      for (size_t d = 0; d < dim; ++d) v[d] += z * basis[c + s][d];
    }
    for (float& x : v) x += 0.1f * g(rng);
    out.push_back(v);
  }
  return out;
}

// What the engine hands the graph: codes, norms and transformed vectors.
struct Encoded {
  std::vector<uint8_t> codes;
  Floats norms, vecs;
  size_t bpv, p;
  Encoded(const QuantPipeline& pl, const std::vector<Floats>& raw)
      : bpv(pl.packed_bytes_per_vec()), p(pl.padded_dim()) {
    for (const Floats& v : raw) {
      const Floats t = pl.transform_query(v);
      const std::vector<uint8_t> c = pl.encode(v);
      vecs.insert(vecs.end(), t.begin(), t.end());
      codes.insert(codes.end(), c.begin(), c.end());
      norms.push_back(pl.compute_norm(c.data()));
    }
  }
  const uint8_t* code(size_t i) const { return codes.data() + i * bpv; }
  std::span<const float> vec(size_t i) const { return {vecs.data() + i * p, p}; }
};

void insert_range(Hnsw& g, const Encoded& e, size_t from, size_t to, const QuantPipeline& pl) {
  for (size_t i = from; i < to; ++i) g.insert(1000 + i, e.code(i), e.norms[i], e.vec(i), pl.metric(), pl);
}

PreparedQuery prepare(const QuantPipeline& pl, const Floats& q) { return pl.prepare_query(pl.transform_query(q)); }

// (node or id, score bits), compared whole so that a mismatch prints both.
template <class Range>
std::vector<std::pair<uint64_t, uint32_t>> pairs(const Range& r) {
  std::vector<std::pair<uint64_t, uint32_t>> out;
  for (const auto& x : r) {
    if constexpr (requires { x.node; }) out.push_back({x.node, std::bit_cast<uint32_t>(x.score)});
    else out.push_back({x.id, std::bit_cast<uint32_t>(x.score)});
  }
  return out;
}

std::set<uint64_t> id_set(const std::vector<SearchHit>& hits) {
  std::set<uint64_t> ids;
  for (const SearchHit& h : hits) ids.insert(h.id);
  return ids;
}

// The graph without a shortcut: vectors of lists, a fresh hash set per walk,
// every candidate queued, and the baseline dot product (so the graph's fast
// form is checked against it too).
struct Model {
  struct C { float score; uint32_t node; };
  // Highest score first, equal scores in order of arrival.
  static void sort_desc(std::vector<C>& l) { std::ranges::stable_sort(l, std::greater{}, &C::score); }
  // Appends c; a list grown past cap is sorted and cut to cap.
  static void add_cut(std::vector<C>& l, C c, size_t cap) {
    l.push_back(c);
    if (l.size() > cap) {
      sort_desc(l);
      l.resize(cap);
    }
  }
  Model(uint64_t m, uint64_t efc, const QuantPipeline& pl, const Encoded& e) : m(m), efc(efc), pl(pl), e(e) {}
  uint64_t m, efc, top = 0;
  const QuantPipeline& pl;
  const Encoded& e;
  std::vector<std::vector<std::vector<C>>> links;
  std::optional<uint32_t> entry;
  std::vector<Floats> vecs;  // construction vectors; centroid values once released
  size_t released = 0;

  void insert(uint32_t i) {
    const uint64_t level = Hnsw::level_for(i, Hnsw::ml_for(m));
    links.emplace_back(level + 1);
    vecs.emplace_back(e.vec(i).begin(), e.vec(i).end());
    if (!entry) { entry = i; top = level; return; }
    auto score = [&, q = vecs[i].data()](uint32_t n) {
      const float* v = vecs[n].data();
      const float s = n < released ? pl.score(q, e.code(n)) : float_dot_baseline(q, v, e.p);
      return pl.metric() == Metric::L2 ? s - 0.5f * float_dot_baseline(v, v, e.p) : s;
    };
    route(score, level, efc, [&](uint64_t lc, const std::vector<C>& w) {
      const size_t cap = lc == 0 ? 2 * m : m;
      links[i][lc].assign(w.begin(), w.begin() + std::min(cap, w.size()));
      for (const C& c : links[i][lc]) add_cut(links[c.node][lc], {c.score, i}, cap);
    });
    if (level > top) { entry = i; top = level; }
  }

  void release() {
    for (size_t n = 0; n < vecs.size(); ++n) {
      pl.dequantize_into(e.code(n), vecs[n].data());
      std::vector<uint8_t> again(e.bpv);
      pl.pack_into(vecs[n], again.data());
      ASSERT_TRUE(std::equal(again.begin(), again.end(), e.code(n))) << "centroid values encode to their code";
    }
    released = vecs.size();
  }

  std::vector<SearchHit> search(const PreparedQuery& pq, uint64_t k, uint64_t ef) {
    auto score = [&](uint32_t n) { return similarity(pl.metric(), pl.score(pq.q.data(), e.code(n)), e.norms[n]); };
    std::vector<SearchHit> hits;
    route(score, 0, std::max(ef, k), [&](uint64_t, const std::vector<C>& w) {
      for (size_t j = 0; j < std::min<size_t>(k, w.size()); ++j) hits.push_back({1000 + w[j].node, w[j].score});
    });
    return hits;
  }

  // A one-entry walk on each layer above `level`, an ef walk on the others.
  template <class F, class G>
  void route(F& score, uint64_t level, uint64_t ef, G on_walk) {
    uint32_t ep = *entry;
    for (uint64_t lc = top + 1; lc-- > 0;) {
      const auto w = walk(score, ep, lc > level ? 1 : ef, lc);
      if (lc <= level) on_walk(lc, w);
      if (!w.empty()) ep = w[0].node;
    }
  }

  template <class F>
  std::vector<C> walk(F& score, uint32_t from, uint64_t ef, uint64_t layer) {
    auto lower = [](const C& a, const C& b) { return a.score < b.score || (a.score == b.score && a.node < b.node); };
    std::priority_queue<C, std::vector<C>, decltype(lower)> heap(lower);
    std::unordered_set<uint32_t> seen{from};
    std::vector<C> res{{score(from), from}};
    heap.push(res[0]);
    for (uint64_t pops = 1; !heap.empty(); ++pops) {
      const C c = heap.top();
      heap.pop();
      const float worst = res.empty() ? INFINITY : std::ranges::min(res, {}, &C::score).score;
      if (c.score < worst && pops > ef) break;
      if (layer >= links[c.node].size()) continue;
      for (const C& nb : links[c.node][layer]) {
        if (!seen.insert(nb.node).second) continue;
        const C nc{score(nb.node), nb.node};
        heap.push(nc);
        if (res.size() < ef || nc.score > worst) add_cut(res, nc, ef);
      }
    }
    sort_desc(res);
    return res;
  }
};

TEST(HnswLevels, FollowOnlyFromThePosition) {
  const double ml = Hnsw::ml_for(32);
  EXPECT_EQ(ml, 0.28853900817779266);
  std::vector<uint64_t> first(4, kMax);  // the first node of each level
  for (uint64_t i = 0; i < 30000; ++i) {
    const uint64_t l = Hnsw::level_for(i, ml);
    ASSERT_LT(l, 4u);
    for (uint64_t k = 0; k <= l; ++k) first[k] = std::min(first[k], i);
  }
  EXPECT_EQ(first, (std::vector<uint64_t>{0, 22, 3535, 22877}));
  EXPECT_DOUBLE_EQ(Hnsw::ml_for(1), 1e9);      // ln 1 = 0: the floor applies
  EXPECT_EQ(Hnsw::level_for(0, 1e300), kMax);  // saturates, no overflow
}

TEST(HnswInsert, FullListDropsTheLowestBackLinkAndHugeKOrEfFindsEveryNode) {
  // Unit vectors in a plane at these angles, used as they are: Dot scores are cosines.
  const QuantPipeline pl = make_pipeline(4, Metric::Dot);
  std::vector<Floats> raw;
  for (double d : {0., 1., -1., 2., -2., 3., -3., 4., -4., 40., 0.5}) {
    raw.push_back({float(std::cos(d * M_PI / 180)), float(std::sin(d * M_PI / 180)), 0, 0});
  }
  Encoded e(pl, raw);
  e.vecs.clear();
  for (const Floats& v : raw) e.vecs.insert(e.vecs.end(), v.begin(), v.end());
  Hnsw g(4, kMax, 0, e.bpv, e.p);  // layer 0 holds 8; no walk or list can reach this ef
  EXPECT_EQ(g.ef_search(), 8u);    // 0 stands for 2m
  auto holds = [&](uint32_t n, uint32_t x) {
    return std::ranges::count(g.neighbours(n, 0), x, &HnswNeighbour::node) == 1;
  };
  insert_range(g, e, 0, 10, pl);
  // 40 degrees has node 0 among its best eight but scores below everything
  // node 0 holds: that back-link is dropped again.
  EXPECT_TRUE(holds(9, 0) && !holds(0, 9) && holds(0, 8));
  // 0.5 degrees goes in; of the equal worst (+-4 degrees) the later one goes.
  insert_range(g, e, 10, 11, pl);
  EXPECT_EQ(g.neighbours(0, 0).size(), 8u);
  EXPECT_TRUE(holds(0, 10) && holds(0, 7) && !holds(0, 8));
  EXPECT_TRUE(std::ranges::is_sorted(g.neighbours(0, 0), std::greater{}, &HnswNeighbour::score));
  // k and ef far beyond the node count: nothing is reserved for them, and
  // every node comes back once but node 9, which no list names.
  for (uint64_t ef : {uint64_t{0}, kMax}) {
    g.set_ef_search(ef);
    const auto hits = g.search(pl, prepare(pl, raw[9]), kMax, Metric::Dot);
    EXPECT_TRUE(hits.size() == 10u && id_set(hits).size() == 10u && !id_set(hits).count(1009));
  }
}

// Every metric, pure and mixed code layouts, a dimension below one SIMD
// width, ties, short lists, ef_construction down to 0, vectors released
// midway: where the shortcuts (batched scoring, a sorted result list,
// candidates kept out of the heap, the stamped visited set) would show first.
// One search scratch serves every graph, as a caller's may.
TEST(HnswModel, GraphAndSearchesMatchThePlainAlgorithm) {
  struct Case { Metric metric; uint64_t dim, n4, m, efc; };
  Hnsw::SearchScratch scratch;
  for (const Case c : {Case{Metric::Cosine, 48, kMax, 4, 8}, Case{Metric::L2, 48, 16, 3, 1},
                       Case{Metric::Dot, 48, 0, 6, 30}, Case{Metric::L2, 4, kMax, 2, 0}}) {
    SCOPED_TRACE(testing::Message() << "metric " << int(c.metric) << " m " << c.m << " efc " << c.efc);
    const QuantPipeline pl = make_pipeline(c.dim, c.metric, c.n4);
    const Encoded e(pl, clustered(600, c.dim, c.m, 7));
    Hnsw g(c.m, c.efc, 0, e.bpv, e.p);
    Model model(c.m, c.efc, pl, e);
    for (uint32_t i = 0; i < 600; ++i) {
      insert_range(g, e, i, i + 1, pl);
      model.insert(i);
      if (i == 350) { g.release_vectors(); model.release(); }
      if (i == 0) { EXPECT_TRUE(g.entry_point() == 0u && g.neighbours(0, 0).empty()); }
      if (i == 1) {  // the first two nodes hold each other, with the one score of the walk
        const auto a = pairs(g.neighbours(0, 0)), b = pairs(g.neighbours(1, 0));
        EXPECT_TRUE(a.size() == 1 && b.size() == 1 && a[0].first == 1 && b[0].first == 0 && a[0].second == b[0].second);
      }
    }
    ASSERT_TRUE(g.size() == model.links.size() && g.entry_point() == model.entry && g.max_level() == model.top);
    for (uint32_t n = 0; n < g.size(); ++n) {
      ASSERT_EQ(g.level(n) + 1, model.links[n].size()) << n;
      for (uint64_t l = 0; l <= g.level(n); ++l) ASSERT_EQ(pairs(g.neighbours(n, l)), pairs(model.links[n][l])) << n;
    }
    for (uint64_t ef : {0, 1, 20, 200}) {
      g.set_ef_search(ef);
      for (const Floats& q : clustered(20, c.dim, 99)) {
        const PreparedQuery pq = prepare(pl, q);
        for (uint64_t k : {0, 1, 17}) ASSERT_EQ(pairs(g.search(pl, pq, k, c.metric, scratch)), pairs(model.search(pq, k, ef)));
      }
    }
  }
}

TEST(HnswSearch, RecallAgainstTheExhaustiveScanAlsoAfterRelease) {
  const QuantPipeline pl = make_pipeline(128, Metric::Cosine);
  const Encoded e(pl, clustered(4000, 128, 21));
  std::vector<uint64_t> ids(4000);
  for (size_t i = 0; i < ids.size(); ++i) ids[i] = 1000 + i;
  const FlatIndex scan(CodeStore(e.bpv, CodeStore::CodeArray(e.codes.begin(), e.codes.end()), ids, e.norms, true));
  auto recall = [&](const Hnsw& g) {
    size_t hit = 0;
    for (const Floats& q : clustered(200, 128, 22)) {
      const PreparedQuery pq = prepare(pl, q);
      const auto truth = id_set(scan.search(pl, pq, 10, std::nullopt));
      for (const SearchHit& h : g.search(pl, pq, 10, pl.metric())) hit += truth.count(h.id);
    }
    return hit / 2000.0;
  };
  Hnsw whole(16, 100, 64, e.bpv, e.p), split(16, 100, 64, e.bpv, e.p);
  insert_range(whole, e, 0, 4000, pl);
  insert_range(split, e, 0, 2000, pl);
  split.release_vectors();  // the second half is built against codes
  insert_range(split, e, 2000, 4000, pl);
  EXPECT_EQ(split.first_held_vector(), 2000u);
  const double r = recall(whole);
  EXPECT_GE(r, 0.95);
  EXPECT_GE(recall(split), r - 0.03);
}

// Searches only read the graph: two threads, one with its own scratch and one
// with the thread's implicit one, each switching between two graphs, get what
// a lone search gets.
TEST(HnswSearch, ConcurrentSearchesGetTheSingleThreadedResults) {
  const QuantPipeline pl = make_pipeline(48, Metric::Cosine);
  const Encoded e(pl, clustered(3000, 48, 8));
  Hnsw big(8, 40, 0, e.bpv, e.p), small(4, 20, 0, e.bpv, e.p);
  insert_range(big, e, 0, 3000, pl);
  insert_range(small, e, 0, 300, pl);
  std::vector<PreparedQuery> qs;
  for (const Floats& q : clustered(60, 48, 9)) qs.push_back(prepare(pl, q));
  std::vector<std::vector<std::pair<uint64_t, uint32_t>>> expected;
  for (const PreparedQuery& pq : qs) {
    for (const Hnsw* g : {&big, &small}) {
      Hnsw::SearchScratch fresh;
      expected.push_back(pairs(g->search(pl, pq, 20, Metric::Cosine, fresh)));
    }
  }
  size_t mismatches[2] = {0, 0};
  std::latch start(2);
  auto run = [&](int t) {
    Hnsw::SearchScratch own;
    start.arrive_and_wait();
    for (int round = 0; round < 10; ++round) {
      for (size_t j = 0; j < expected.size(); ++j) {
        const size_t at = t == 0 ? j : expected.size() - 1 - j;  // the threads cross midway
        const Hnsw& g = at % 2 == 0 ? big : small;
        const PreparedQuery& pq = qs[at / 2];
        const auto hits = t == 0 ? g.search(pl, pq, 20, Metric::Cosine, own) : g.search(pl, pq, 20, Metric::Cosine);
        mismatches[t] += pairs(hits) != expected[at];
      }
    }
  };
  std::thread a(run, 0), b(run, 1);
  a.join();
  b.join();
  EXPECT_EQ(mismatches[0], 0u);
  EXPECT_EQ(mismatches[1], 0u);
}

// reserve(n) leaves room for the next n nodes, upper-layer slots included
// (their levels follow from their positions), so that none of them moves an
// array; a batch beyond the most nodes a graph holds is refused up front.
TEST(HnswReserve, RoomForTheNextNodesAndRefusalBeyondTheLimit) {
  const QuantPipeline pl = make_pipeline(16, Metric::L2);
  const Encoded e(pl, clustered(400, 16, 12));
  Hnsw g(3, 10, 0, e.bpv, e.p);
  g.reserve(400);
  insert_range(g, e, 0, 1, pl);
  uint32_t upper = 1;
  while (Hnsw::level_for(upper, g.ml()) == 0) ++upper;
  insert_range(g, e, 1, upper + 1, pl);
  const auto where = [&] {
    return std::vector<const void*>{g.code(0), g.neighbours(0, 0).data(), g.neighbours(upper, 1).data()};
  };
  const auto before = where();
  insert_range(g, e, upper + 1, 400, pl);
  EXPECT_EQ(where(), before);
  for (const uint64_t count : {Hnsw::kMaxNodes - 399, kMax}) {  // the second wraps size + count around
    try {
      g.reserve(count);
      ADD_FAILURE() << count;
    } catch (const std::length_error& err) {
      EXPECT_STREQ(err.what(), "Hnsw graph is full: it holds at most 4294967295 vectors");
    }
  }
  EXPECT_EQ(g.size(), 400u);
}

// A graph rebuilt through the loader's calls from another's nodes and lists,
// none of which may hold a self-link or a duplicate.
Hnsw restored_copy(const Hnsw& from, const Encoded& e) {
  Hnsw r(4, 20, 0, e.bpv, e.p);
  for (uint32_t n = 0; n < from.size(); ++n) {
    EXPECT_TRUE(r.restore_node(from.id(n), from.code(n), from.norm(n), from.level(n)));
  }
  for (uint32_t n = 0; n < from.size(); ++n) {
    for (uint64_t l = 0; l <= from.level(n); ++l) {
      std::vector<uint32_t> ids{n};
      for (const HnswNeighbour& nb : from.neighbours(n, l)) ids.push_back(nb.node);
      EXPECT_EQ(std::set(ids.begin(), ids.end()).size(), ids.size()) << n;
      EXPECT_TRUE(r.restore_neighbours(n, l, std::span(ids).subspan(1)));
    }
  }
  return r;
}

TEST(HnswRestore, RebuildsAGraphAndRefusesUnsoundInput) {
  const QuantPipeline pl = make_pipeline(32, Metric::L2);
  std::vector<Floats> raw = clustered(700, 32, 3, 11);
  // NaN construction scores leave the walk order undefined; the lists must
  // stay sound regardless.
  for (size_t i = 500; i < raw.size(); i += 7) raw[i][i % 32] = NAN;
  const Encoded e(pl, raw);
  Hnsw g(4, 20, 0, e.bpv, e.p);
  insert_range(g, e, 0, 500, pl);
  const auto copy = [&](const Hnsw& from) { return restored_copy(from, e); };
  const uint32_t top = *g.entry_point(), none[] = {500}, ground[] = {1};
  ASSERT_TRUE(g.level(top) >= 1 && g.level(1) == 0);
  const auto finish = [&](Hnsw& r) { return r.finish_restore(top, g.max_level()); };
  // Refused at once (nothing changes), or by the final check once every node
  // is known (nothing is kept).
  struct Refusal { const char* what; bool at_finish; std::function<bool(Hnsw&)> step; };
  const Refusal cases[] = {
      {"nothing wrong", false, [](Hnsw&) { return false; }},
      {"level above 254", false, [&](Hnsw& r) { return r.restore_node(1, e.code(0), 1.0f, 255); }},
      {"list over capacity", false, [&](Hnsw& r) { return r.restore_neighbours(0, 0, std::vector<uint32_t>(9, 1)); }},
      {"list above the level", false, [&](Hnsw& r) { return r.restore_neighbours(1, 1, {}); }},
      {"unknown neighbour", true, [&](Hnsw& r) { return !r.restore_neighbours(3, 0, none) || finish(r); }},
      {"neighbour lacks the layer", true, [&](Hnsw& r) { return !r.restore_neighbours(top, 1, ground) || finish(r); }},
      {"entry below the top", true, [&](Hnsw& r) { return r.finish_restore(top, g.max_level() + 1); }},
      {"entry not a node", true, [&](Hnsw& r) { return r.finish_restore(500, g.max_level()); }},
      {"no entry", true, [&](Hnsw& r) { return r.finish_restore(std::nullopt, 0); }}};
  for (const Refusal& c : cases) {
    Hnsw r = copy(g);
    EXPECT_FALSE(c.step(r)) << c.what;
    EXPECT_EQ(r.size(), c.at_finish ? 0u : 500u) << c.what;
    if (c.at_finish) continue;
    ASSERT_TRUE(finish(r)) << c.what;
    for (const Floats& q : clustered(10, 32, 4)) {
      const PreparedQuery pq = prepare(pl, q);
      ASSERT_EQ(pairs(r.search(pl, pq, 10, Metric::L2)), pairs(g.search(pl, pq, 10, Metric::L2))) << c.what;
    }
  }
  // Growing on, from codes only and from held vectors, through the NaN rows.
  Hnsw r = copy(g);
  ASSERT_TRUE(finish(r));
  for (Hnsw* x : {&r, &g}) {
    insert_range(*x, e, 500, 700, pl);
    EXPECT_TRUE(copy(*x).finish_restore(x->entry_point(), x->max_level()));
  }
  EXPECT_EQ(r.first_held_vector(), 500u);
  EXPECT_EQ(id_set(r.search(pl, prepare(pl, raw[501]), 50, Metric::L2)).size(), 50u);
}

// A restored graph's lists carry placeholder scores (0). Unless the first
// insertion rescores them, a back-link into a full list is judged against
// those stale 0s instead of real scores: positive ones evict old links
// at random, negative ones never get in. Counted against the same
// insertions into the original graph, released so that it also scores its
// old nodes through their codes but knows their real scores.
TEST(HnswRestore, InsertionsAfterARestoreGetLinkedIn) {
  for (const Metric metric : {Metric::L2, Metric::Cosine}) {
    const QuantPipeline pl = make_pipeline(32, metric);
    const Encoded e(pl, clustered(300, 32, 5));
    Hnsw g(4, 20, 0, e.bpv, e.p);
    insert_range(g, e, 0, 200, pl);
    Hnsw r = restored_copy(g, e);
    ASSERT_TRUE(r.finish_restore(g.entry_point(), g.max_level()));
    // Layer-0 links from old nodes to new ones.
    const auto links_in = [](const Hnsw& x) {
      size_t in = 0;
      for (uint32_t n = 0; n < 200; ++n) {
        for (const HnswNeighbour& nb : x.neighbours(n, 0)) in += nb.node >= 200;
      }
      return in;
    };
    g.release_vectors();
    insert_range(r, e, 200, 300, pl);
    insert_range(g, e, 200, 300, pl);
    // Rescored from codes rather than the original floats: close, not equal
    // (without the rescoring, cosine gets 43 % more).
    EXPECT_NEAR(double(links_in(r)), double(links_in(g)), 0.15 * double(links_in(g))) << int(metric);
  }
}

}  // namespace
}  // namespace teskra
