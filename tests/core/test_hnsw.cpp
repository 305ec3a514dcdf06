// The graph index, checked link for link against a plain model built the
// slow, obvious way, plus the fixed values and edge cases a model cannot show.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <latch>
#include <limits>
#include <map>
#include <queue>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/engine.h"
#include "core/io/byte_stream.h"
#include "core/io/index_file.h"
#include "core/quantize/pipeline.h"
#include "core/search/filter.h"
#include "core/search/flat_index.h"
#include "core/search/float_dot.h"
#include "core/search/hnsw.h"
#include "core/search/hnsw_index.h"
#include "core/search/similarity.h"
#include "test_util.h"

namespace teskra {
namespace {

using namespace test_util;
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// Touching clusters, like embeddings of related texts: 32 close centres, each
// spread along 8 directions of its own, plus noise. Data and queries share the
// clusters; `seed` draws the samples. Every `dup`-th vector repeats the one
// before it, so ties are common.
Vectors clustered(size_t n, size_t dim, uint64_t seed, size_t dup = 0) {
  std::mt19937_64 world(7), rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  Vectors basis(32 * 9, Floats(dim)), out;  // per cluster: a centre, then 8 directions
  for (size_t b = 0; b < basis.size(); ++b)
    for (float& x : basis[b]) x = (b % 9 == 0 ? 0.3f : 0.5f) * g(world);
  for (size_t i = 0; i < n; ++i) {
    if (dup != 0 && i % dup == dup - 1) {
      out.push_back(out.back());
      continue;
    }
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

// Well-separated tight clusters: `clusters` random directions of norm 0.9,
// each vector one of them plus a little noise. The data on which a graph of
// best-scored neighbours splits into islands.
Vectors separated(size_t n, size_t dim, size_t clusters, uint64_t seed) {
  std::mt19937_64 world(11), rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  Vectors centres(clusters, Floats(dim)), out;
  for (Floats& c : centres) {
    for (float& x : c) x = g(world);
    const float scale = 0.9f / std::sqrt(float_dot_baseline(c.data(), c.data(), dim));
    for (float& x : c) x *= scale;
  }
  for (size_t i = 0; i < n; ++i) {
    Floats v = centres[rng() % clusters];
    for (float& x : v) x += 0.02f * g(rng);
    out.push_back(v);
  }
  return out;
}

// What the engine hands the graph: codes, norms and transformed vectors.
struct Encoded {
  std::vector<uint8_t> codes;
  Floats norms, vecs;
  size_t bpv, p;
  Encoded(const QuantPipeline& pl, const Vectors& raw) : bpv(pl.packed_bytes_per_vec()), p(pl.padded_dim()) {
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

PreparedQuery prepare(const QuantPipeline& pl, const Floats& q) {
  return pl.prepare_query(pl.transform_query(q));
}

// A list as (node, score bits); Diverse keeps no scores (0 bits).
HitBits links(const Hnsw& g, uint32_t n, uint64_t l) {
  HitBits out;
  const auto nodes = g.neighbours(n, l);
  const auto scores = g.neighbour_scores(n, l);  // empty under Diverse
  for (size_t j = 0; j < nodes.size(); ++j)
    out.push_back({nodes[j], scores.empty() ? 0u : std::bit_cast<uint32_t>(scores[j])});
  return out;
}

// The same nodes, levels, entry point and lists.
bool same_graph(const Hnsw& a, const Hnsw& b) {
  if (a.size() != b.size() || a.entry_point() != b.entry_point() || a.max_level() != b.max_level())
    return false;
  for (uint32_t n = 0; n < a.size(); ++n) {
    if (a.level(n) != b.level(n)) return false;
    for (uint64_t l = 0; l <= a.level(n); ++l)
      if (vec(a.neighbours(n, l)) != vec(b.neighbours(n, l))) return false;
  }
  return true;
}

// The exhaustive scan over the codes of the nodes `keep` allows (all by
// default), with the ids insert_range gives them.
FlatIndex scan_of(const Encoded& e, const std::function<bool(size_t)>& keep = {}) {
  std::vector<uint64_t> ids;
  CodeStore::CodeArray codes;
  Floats norms;
  for (size_t i = 0; i < e.norms.size(); ++i) {
    if (keep && !keep(i)) continue;
    ids.push_back(1000 + i);
    codes.append(e.code(i), e.bpv);
    norms.push_back(e.norms[i]);
  }
  return FlatIndex(CodeStore(e.bpv, std::move(codes), ids, norms, true));
}

// Recall@10 of the graph's searches against the scan's.
double recall(const Hnsw& g, const FlatIndex& scan, const QuantPipeline& pl, const Vectors& qs) {
  size_t hit = 0;
  for (const Floats& q : qs) {
    const PreparedQuery pq = prepare(pl, q);
    const auto truth = id_set(scan.search(pl, pq, 10, std::nullopt));
    for (const SearchHit& h : g.search(pl, pq, 10, pl.metric())) hit += truth.count(h.id);
  }
  return hit / (10.0 * qs.size());
}

// The graph without a shortcut: vectors of lists, a fresh hash set per walk,
// every candidate queued, scores recomputed from scratch. Nearest scores
// construction with the baseline dot product (so the graph's fast form is
// checked against it too); Diverse scores everything through the codes.
struct Model {
  struct C {
    float score;
    uint32_t node;
  };
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
  uint64_t m, efc, top = 0;
  const QuantPipeline& pl;
  const Encoded& e;
  bool diverse;
  std::vector<std::vector<std::vector<C>>> links{};
  std::optional<uint32_t> entry{};
  Vectors vecs{};  // construction vectors; centroid values once released
  size_t released = 0;

  // x scored from the side of the dequantized code of `from`, by the
  // metric's similarity (rule: the diversity rule's, Euclidean under Dot).
  float from_code(uint32_t from, uint32_t x, bool rule = false) {
    Floats q(e.p);
    pl.dequantize_into(e.code(from), q.data());
    const Metric metric = rule && pl.metric() == Metric::Dot ? Metric::L2 : pl.metric();
    return similarity(metric, pl.score(q.data(), e.code(x)), e.norms[x]);
  }

  // The diversity rule over candidates sorted best first: a candidate stays
  // unless a kept one beats the owner from the candidate's side; a kept twin
  // of the owner (the same code) competes only with other twins. beaten:
  // for each candidate turned away by a kept one strictly more similar to
  // it than the owner, that one.
  std::vector<C> diverse_pick(uint32_t owner, std::vector<C> cands, size_t cap,
                              std::map<uint32_t, uint32_t>* beaten = nullptr) {
    sort_desc(cands);
    auto twin = [&](uint32_t n) { return std::equal(e.code(n), e.code(n) + e.bpv, e.code(owner)); };
    std::vector<C> kept;
    for (const C& c : cands) {
      if (kept.size() == cap) break;
      const auto by = std::ranges::find_if(kept, [&](const C& k) {
        return !(twin(k.node) && !twin(c.node)) &&
               !(from_code(c.node, owner, true) > from_code(c.node, k.node, true));
      });
      if (by == kept.end()) {
        kept.push_back(c);
      } else if (beaten && from_code(c.node, by->node, true) > from_code(c.node, owner, true)) {
        (*beaten)[c.node] = by->node;
      }
    }
    return kept;
  }

  // Layer 0 of Diverse: how many lists name each node.
  std::vector<size_t> in_links{};

  // Diverse: node joins the list of `to`; a full list chooses again, and
  // on layer 0 every node left in no list is passed on to a kept neighbour
  // (the one that turned it away, else the most similar), at most 4m times.
  void back_link(uint32_t to, uint64_t lc, uint32_t node) {
    const size_t cap = lc == 0 ? 2 * m : m;
    std::deque<std::pair<uint32_t, uint32_t>> queue;
    size_t queued = 0;
    for (;;) {
      std::vector<C>& list = links[to][lc];
      if (std::ranges::find(list, node, &C::node) != list.end()) {
      } else if (list.size() < cap) {
        list.push_back({0.0f, node});
        if (lc == 0) ++in_links[node];
      } else {
        std::vector<C> before = list;
        before.push_back({0.0f, node});
        for (C& b : before) b.score = from_code(to, b.node);
        std::map<uint32_t, uint32_t> beaten;
        list = diverse_pick(to, before, cap, &beaten);
        if (lc == 0) {
          sort_desc(before);
          for (const C& b : before) {
            const bool kept = std::ranges::find(list, b.node, &C::node) != list.end();
            if (b.node == node) {
              in_links[node] += kept;
              if (kept) continue;
            } else if (!kept)
              --in_links[b.node];
            if (kept || in_links[b.node] != 0 || queued == 4 * m) continue;
            uint32_t by = beaten.count(b.node) ? beaten[b.node] : list[0].node;
            for (const C& k : list)
              if (!beaten.count(b.node) && from_code(b.node, k.node, true) > from_code(b.node, by, true))
                by = k.node;
            queue.push_back({by, b.node});
            ++queued;
          }
        }
      }
      if (queue.empty()) return;
      std::tie(to, node) = queue.front();
      queue.pop_front();
    }
  }

  void insert(uint32_t i) {
    const uint64_t level = Hnsw::level_for(i, Hnsw::ml_for(m));
    links.emplace_back(level + 1);
    in_links.push_back(0);
    vecs.emplace_back(e.vec(i).begin(), e.vec(i).end());
    if (!entry) {
      entry = i;
      top = level;
      return;
    }
    std::function<float(uint32_t)> score = [&, q = vecs[i].data()](uint32_t n) {
      if (diverse) return similarity(pl.metric(), pl.score(q, e.code(n)), e.norms[n]);
      const float* v = vecs[n].data();
      const float s = n < released ? pl.score(q, e.code(n)) : float_dot_baseline(q, v, e.p);
      return pl.metric() == Metric::L2 ? s - 0.5f * float_dot_baseline(v, v, e.p) : s;
    };
    route(score, level, efc, [&](uint64_t lc, const std::vector<C>& w) {
      const size_t cap = lc == 0 ? 2 * m : m;
      if (!diverse) {
        links[i][lc].assign(w.begin(), w.begin() + std::min(cap, w.size()));
        for (const C& c : links[i][lc]) add_cut(links[c.node][lc], {c.score, i}, cap);
        return;
      }
      links[i][lc] = diverse_pick(i, w, cap);
      if (lc == 0)
        for (const C& c : links[i][lc]) ++in_links[c.node];
      const std::vector<C> chosen = links[i][lc];  // passing on may change the list meanwhile
      for (const C& c : chosen) back_link(c.node, lc, i);
    });
    if (level > top) {
      entry = i;
      top = level;
    }
  }

  void release() {
    if (diverse) return;  // nothing is held
    for (size_t n = 0; n < vecs.size(); ++n) {
      pl.dequantize_into(e.code(n), vecs[n].data());
      std::vector<uint8_t> again(e.bpv);
      pl.pack_into(vecs[n], again.data());
      ASSERT_TRUE(std::equal(again.begin(), again.end(), e.code(n)))
          << "centroid values encode to their code";
    }
    released = vecs.size();
  }

  // allowed: the nodes a filtered search may return (none: every node).
  std::vector<SearchHit> search(const PreparedQuery& pq, uint64_t k, uint64_t ef,
                                const std::set<uint32_t>* allowed = nullptr) {
    std::function<float(uint32_t)> score = [&](uint32_t n) {
      return similarity(pl.metric(), pl.score(pq.q.data(), e.code(n)), e.norms[n]);
    };
    std::vector<SearchHit> hits;
    uint64_t list = std::max(ef, k);
    if (allowed) {  // shrunk by the allowed share
      const double share = std::min(1.0, double(allowed->size()) / double(links.size()));
      list = std::min(list, std::max<uint64_t>(k, uint64_t(double(list) * share + 0.5)));
    }
    route(
        score, 0, list,
        [&](uint64_t, const std::vector<C>& w) {
          for (size_t j = 0; j < std::min<size_t>(k, w.size()); ++j)
            hits.push_back({1000 + w[j].node, w[j].score});
        },
        allowed);
    return hits;
  }

  // A one-entry walk on each layer above `level`, an ef walk on the others.
  template <class G>
  void route(std::function<float(uint32_t)>& score, uint64_t level, uint64_t ef, G on_walk,
             const std::set<uint32_t>* allowed = nullptr) {
    uint32_t ep = *entry;
    for (uint64_t lc = top + 1; lc-- > 0;) {
      const auto w = walk(score, ep, lc > level ? 1 : ef, lc, lc == 0 ? allowed : nullptr);
      if (lc <= level) on_walk(lc, w);
      if (!w.empty()) ep = w[0].node;
    }
  }

  // Filtered: only allowed nodes enter the results, and only a full list
  // ends the walk.
  std::vector<C> walk(std::function<float(uint32_t)>& score, uint32_t from, uint64_t ef, uint64_t layer,
                      const std::set<uint32_t>* allowed) {
    auto lower = [](const C& a, const C& b) {
      return a.score < b.score || (a.score == b.score && a.node < b.node);
    };
    auto ok = [&](uint32_t n) { return allowed == nullptr || allowed->count(n) != 0; };
    std::priority_queue<C, std::vector<C>, decltype(lower)> heap(lower);
    std::unordered_set<uint32_t> seen{from};
    std::vector<C> res;
    heap.push({score(from), from});
    if (ok(from)) res.push_back(heap.top());
    for (uint64_t pops = 1; !heap.empty(); ++pops) {
      const C c = heap.top();
      heap.pop();
      const float worst = res.empty() ? INFINITY : std::ranges::min(res, {}, &C::score).score;
      if (c.score < worst && (allowed ? res.size() >= ef : pops > ef)) break;
      if (layer >= links[c.node].size()) continue;
      for (const C& nb : links[c.node][layer]) {
        if (!seen.insert(nb.node).second) continue;
        const C nc{score(nb.node), nb.node};
        heap.push(nc);
        if (ok(nc.node) && (res.size() < ef || nc.score > worst)) add_cut(res, nc, ef);
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

// Both rules, every metric, pure and mixed code layouts, a dimension below
// one SIMD width, ties, short lists, ef_construction down to 0, construction
// memory freed midway (which changes nothing under Diverse), filtered
// searches: where the shortcuts (batched scoring, a sorted result list,
// candidates kept out of the heap, the stamped visited set, the scratch of
// the diversity rule) would show first. One search scratch serves every
// graph, as a caller's may.
TEST(HnswModel, GraphAndSearchesMatchThePlainAlgorithm) {
  using Case = std::tuple<Metric, uint64_t, int64_t, uint64_t, uint64_t>;  // metric, dim, n4, m, efc
  const Case cases[] = {{Metric::Cosine, 48, -1, 4, 8},
                        {Metric::L2, 48, 16, 3, 1},
                        {Metric::Dot, 48, 0, 6, 30},
                        {Metric::L2, 4, -1, 2, 0},
                        {Metric::Dot, 4, -1, 4, 600}};
  Hnsw::SearchScratch scratch;
  for (const HnswSelection rule : {HnswSelection::Nearest, HnswSelection::Diverse}) {
    const bool diverse = rule == HnswSelection::Diverse;
    for (const auto& [metric, dim, n4, m, efc] : cases) {
      SCOPED_TRACE(testing::Message()
                   << "diverse " << diverse << " metric " << int(metric) << " m " << m << " efc " << efc);
      const QuantPipeline pl = pipeline(dim, metric, n4);
      const Encoded e(pl, clustered(600, dim, m, 7));
      Hnsw g(m, efc, 0, e.bpv, e.p, rule);
      Model model{.m = m, .efc = efc, .pl = pl, .e = e, .diverse = diverse};
      for (uint32_t i = 0; i < 600; ++i) {
        insert_range(g, e, i, i + 1, pl);
        model.insert(i);
        if (i == 350) {
          g.release_construction();
          model.release();
        }
        EXPECT_TRUE(i != 0 || (g.entry_point() == 0u && g.neighbours(0, 0).empty()));
        if (i == 1) {  // the first two nodes hold each other (Nearest: with the one score of the walk)
          const auto a = links(g, 0, 0), b = links(g, 1, 0);
          EXPECT_TRUE(a.size() == 1 && b.size() == 1 && a[0].first == 1 && b[0].first == 0 &&
                      a[0].second == b[0].second);
        }
      }
      ASSERT_TRUE(g.size() == model.links.size() && g.entry_point() == model.entry &&
                  g.max_level() == model.top);
      for (uint32_t n = 0; n < g.size(); ++n) {
        ASSERT_EQ(g.level(n) + 1, model.links[n].size()) << n;
        for (uint64_t l = 0; l <= g.level(n); ++l) {
          HitBits want;  // Diverse keeps no scores
          for (const Model::C& x : model.links[n][l]) want.push_back({x.node, diverse ? 0 : bits(x.score)});
          ASSERT_EQ(links(g, n, l), want) << n << " layer " << l;
        }
      }
      // Filtered searches: a few nodes, a tenth, half.
      std::vector<std::pair<std::set<uint32_t>, std::vector<uint64_t>>> filters;
      for (const uint32_t every : {200u, 10u, 2u}) {
        auto& [nodes, ids] = filters.emplace_back();
        for (uint32_t n = 7; n < 600; n += every) nodes.insert(n), ids.push_back(1000 + n);
      }
      for (uint64_t ef : {0, 1, 20, 200}) {
        g.set_ef_search(ef);
        for (const Floats& q : clustered(10, dim, 99)) {
          const PreparedQuery pq = prepare(pl, q);
          for (uint64_t k : {0, 1, 17}) {
            ASSERT_EQ(hit_bits(g.search(pl, pq, k, metric, scratch)), hit_bits(model.search(pq, k, ef)));
            for (const auto& [nodes, ids] : filters) {
              const Allowlist allow(ids);
              ASSERT_EQ(hit_bits(g.search(pl, pq, k, metric, scratch, &allow, ids.size())),
                        hit_bits(model.search(pq, k, ef, &nodes)))
                  << ids.size() << " allowed";
            }
          }
        }
      }
    }
  }
}

// Recall@10 against the exhaustive scan over the same codes, on touching
// clusters (Nearest also with its float vectors freed halfway, the second
// half built against codes). Well-separated clusters, where only the
// diversity rule keeps the graph linked: HnswDiverse and HnswFiltered.
// (Concurrent searches of graphs of several sizes: test_view.cpp.)
TEST(HnswSearch, RecallAgainstOurOwnScan) {
  const QuantPipeline pl = pipeline(128, Metric::Cosine);
  const Encoded e(pl, clustered(2000, 128, 21));
  const Vectors qs = clustered(100, 128, 22);
  const FlatIndex scan = scan_of(e);
  Hnsw whole(16, 100, 24, e.bpv, e.p, HnswSelection::Nearest),
      split(16, 100, 24, e.bpv, e.p, HnswSelection::Nearest), diverse(16, 100, 12, e.bpv, e.p);
  insert_range(whole, e, 0, 2000, pl);
  insert_range(split, e, 0, 1000, pl);
  split.release_construction();  // the second half is built against codes
  insert_range(split, e, 1000, 2000, pl);
  insert_range(diverse, e, 0, 2000, pl);
  EXPECT_EQ(split.first_held_vector(), 1000u);
  const double r = recall(whole, scan, pl, qs);
  EXPECT_GE(r, 0.95);
  EXPECT_GE(recall(split, scan, pl, qs), r - 0.03);
  EXPECT_GE(recall(diverse, scan, pl, qs), 0.95);  // at half the ef
}

// reserve(n) leaves room for the next n nodes, upper-layer slots included
// (their levels follow from their positions), so that none of them moves an
// array; a batch beyond the most nodes a graph holds is refused up front.
TEST(HnswReserve, RoomForTheNextNodesAndRefusalBeyondTheLimit) {
  const QuantPipeline pl = pipeline(16, Metric::L2);
  const Encoded e(pl, clustered(400, 16, 12));
  for (const HnswSelection rule : {HnswSelection::Nearest, HnswSelection::Diverse}) {
    Hnsw g(3, kMax, 0, e.bpv, e.p, rule);  // no walk reaches this ef_construction: nothing is reserved for it
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
      EXPECT_EQ(error_of<std::length_error>([&] { g.reserve(count); }),
                "Hnsw graph is full: it holds at most 4294967295 vectors");
    }
    EXPECT_EQ(g.size(), 400u);
  }
}

// A graph rebuilt through the loader's calls from another's nodes and lists,
// none of which may hold a self-link or a duplicate; finished unless told.
Hnsw restored_copy(const Hnsw& from, const Encoded& e, bool finish = true) {
  Hnsw r(from.m(), from.ef_construction(), from.ef_search(), e.bpv, e.p, from.selection());
  for (uint32_t n = 0; n < from.size(); ++n)
    EXPECT_TRUE(r.restore_node(from.id(n), from.code(n), from.norm(n), from.level(n)));
  for (uint32_t n = 0; n < from.size(); ++n) {
    for (uint64_t l = 0; l <= from.level(n); ++l) {
      std::vector<uint32_t> ids{n};
      for (const uint32_t nb : from.neighbours(n, l)) ids.push_back(nb);
      EXPECT_EQ(std::set(ids.begin(), ids.end()).size(), ids.size()) << n;
      EXPECT_TRUE(r.restore_neighbours(n, l, std::span(ids).subspan(1)));
    }
  }
  EXPECT_TRUE(!finish || r.finish_restore(from.entry_point(), from.max_level()));
  return r;
}

TEST(HnswRestore, RebuildsAGraphAndRefusesUnsoundInput) {
  const QuantPipeline pl = pipeline(32, Metric::L2);
  Vectors raw = clustered(700, 32, 3, 11);
  // NaN construction scores leave the walk order undefined; the lists must
  // stay sound regardless.
  for (size_t i = 500; i < raw.size(); i += 7) raw[i][i % 32] = NAN;
  const Encoded e(pl, raw);
  for (const HnswSelection rule : {HnswSelection::Nearest, HnswSelection::Diverse}) {
    SCOPED_TRACE(int(rule));
    Hnsw g(4, 20, 0, e.bpv, e.p, rule);
    insert_range(g, e, 0, 500, pl);
    const uint32_t top = *g.entry_point(), none[] = {500}, ground[] = {1};
    ASSERT_TRUE(g.level(top) >= 1 && g.level(1) == 0);
    const auto finish = [&](Hnsw& r) { return r.finish_restore(top, g.max_level()); };
    // Refused at once (nothing changes), or by the final check once every node
    // is known (nothing is kept).
    struct Refusal {
      const char* what;
      bool at_finish;
      std::function<bool(Hnsw&)> step;
    };
    const Refusal cases[] = {
        {"nothing wrong", false, [](Hnsw&) { return false; }},
        {"level above 254", false, [&](Hnsw& r) { return r.restore_node(1, e.code(0), 1.0f, 255); }},
        {"list over capacity", false,
         [&](Hnsw& r) { return r.restore_neighbours(0, 0, std::vector<uint32_t>(9, 1)); }},
        {"list above the level", false, [&](Hnsw& r) { return r.restore_neighbours(1, 1, {}); }},
        {"unknown neighbour", true, [&](Hnsw& r) { return !r.restore_neighbours(3, 0, none) || finish(r); }},
        {"neighbour lacks the layer", true,
         [&](Hnsw& r) { return !r.restore_neighbours(top, 1, ground) || finish(r); }},
        {"entry below the top", true, [&](Hnsw& r) { return r.finish_restore(top, g.max_level() + 1); }},
        {"entry not a node", true, [&](Hnsw& r) { return r.finish_restore(500, g.max_level()); }},
        {"no entry", true, [&](Hnsw& r) { return r.finish_restore(std::nullopt, 0); }}};
    for (const Refusal& c : cases) {
      Hnsw r = restored_copy(g, e, false);
      EXPECT_FALSE(c.step(r)) << c.what;
      EXPECT_EQ(r.size(), c.at_finish ? 0u : 500u) << c.what;
      if (c.at_finish) continue;
      ASSERT_TRUE(finish(r)) << c.what;
      for (const Floats& q : clustered(10, 32, 4)) {
        const PreparedQuery pq = prepare(pl, q);
        ASSERT_EQ(hit_bits(r.search(pl, pq, 10, Metric::L2)), hit_bits(g.search(pl, pq, 10, Metric::L2)))
            << c.what;
      }
    }
    // Growing on, from codes only and from held vectors, through the NaN rows.
    Hnsw r = restored_copy(g, e);
    for (Hnsw* x : {&r, &g}) {
      insert_range(*x, e, 500, 700, pl);
      restored_copy(*x, e);  // still sound
    }
    EXPECT_EQ(r.first_held_vector(), rule == HnswSelection::Nearest ? 500u : 700u);
    EXPECT_EQ(id_set(r.search(pl, prepare(pl, raw[501]), 50, Metric::L2)).size(), 50u);
  }
}

// A restored graph's lists carry placeholder scores (0). Unless the first
// insertion rescores them, a back-link into a full list is judged against
// those stale 0s instead of real scores: positive ones evict old links
// at random, negative ones never get in. Counted against the same
// insertions into the original graph, released so that it also scores its
// old nodes through their codes but knows their real scores.
TEST(HnswRestore, InsertionsAfterARestoreGetLinkedIn) {
  for (const Metric metric : {Metric::L2, Metric::Cosine}) {
    const QuantPipeline pl = pipeline(32, metric);
    const Encoded e(pl, clustered(300, 32, 5));
    Hnsw g(4, 20, 0, e.bpv, e.p, HnswSelection::Nearest);
    insert_range(g, e, 0, 200, pl);
    Hnsw r = restored_copy(g, e);
    // Layer-0 links from old nodes to new ones.
    const auto links_in = [](const Hnsw& x) {
      size_t in = 0;
      for (uint32_t n = 0; n < 200; ++n)
        for (const uint32_t nb : x.neighbours(n, 0)) in += nb >= 200;
      return in;
    };
    g.release_construction();
    insert_range(r, e, 200, 300, pl);
    insert_range(g, e, 200, 300, pl);
    // Rescored from codes rather than the original floats: close, not equal
    // (without the rescoring, cosine gets 43 % more).
    EXPECT_NEAR(double(links_in(r)), double(links_in(g)), 0.15 * double(links_in(g))) << int(metric);
  }
}

// The same vectors in the same order give the same graph, however the
// insertions are batched (reserve), whenever construction memory is freed,
// and across a save and load (the loader's calls): a loaded graph grows on
// exactly as the one it was saved from.
TEST(HnswDiverse, SameVectorsSameGraphWhateverHappensBetweenInsertions) {
  const QuantPipeline pl = pipeline(48, Metric::L2, 24);
  const Encoded e(pl, clustered(1500, 48, 31, 9));
  Hnsw straight(5, 24, 0, e.bpv, e.p), stepped(5, 24, 0, e.bpv, e.p);
  insert_range(straight, e, 0, 1500, pl);
  for (size_t at = 0; at < 800; at += 200) {
    stepped.reserve(200);
    insert_range(stepped, e, at, at + 200, pl);
    stepped.release_construction();
  }
  Hnsw loaded = restored_copy(stepped, e);
  insert_range(loaded, e, 800, 1500, pl);
  EXPECT_TRUE(same_graph(loaded, straight));
}

// Filtered searches of the index return k allowed vectors whenever k are
// allowed: scanned for small allowlists, walked for larger ones, also when
// the allowed vectors lie in clusters far from the query; a tiny allowlist
// gives exactly its vectors, scored as the exhaustive scan scores them.
TEST(HnswFiltered, KHitsAtEverySelectivityAndExactlyTheAllowedForTinyLists) {
  const QuantPipeline pl = pipeline(32, Metric::Cosine);
  const Vectors raw = separated(4000, 32, 40, 5);
  const Encoded e(pl, raw);
  HnswIndex index(Hnsw(8, 40, 32, e.bpv, e.p), Metric::Cosine);
  const std::vector<uint64_t> ids = iota_ids(4000, 1000);
  for (uint32_t i = 0; i < 4000; ++i) index.add(ids[i], e.code(i), e.norms[i], e.vec(i), pl);
  const FlatIndex scan = scan_of(e);
  const Vectors qs = separated(40, 32, 40, 6);
  std::mt19937_64 rng(1);
  // Shares of the index (the first two within kScanShare's bound), then a
  // few far clusters: the ids of the vectors nearest to one vector.
  std::vector<std::vector<uint64_t>> lists;
  for (const double share : {0.005, 0.02, 0.1, 0.5}) {
    auto& l = lists.emplace_back();
    for (const uint64_t id : ids)
      if (std::uniform_real_distribution<>(0, 1)(rng) < share) l.push_back(id);
  }
  ASSERT_TRUE(lists[1].size() <= 4000 / HnswIndex::kScanShare &&
              lists[2].size() > 4000 / HnswIndex::kScanShare);
  auto& far = lists.emplace_back();
  for (const SearchHit& h : scan.search(pl, prepare(pl, raw[1]), 300, std::nullopt)) far.push_back(h.id);
  for (const auto& allowed : lists) {
    const std::set<uint64_t> ok(allowed.begin(), allowed.end());
    size_t found = 0;
    for (const Floats& q : qs) {
      const PreparedQuery pq = prepare(pl, q);
      const auto hits = index.search(pl, pq, 10, allowed);
      ASSERT_EQ(hits.size(), 10u) << allowed.size();
      for (const SearchHit& h : hits) ASSERT_TRUE(ok.count(h.id)) << allowed.size();
      const auto truth = id_set(scan.search(pl, pq, 10, allowed));
      for (const SearchHit& h : hits) found += truth.count(h.id);
    }
    // The walk's list shrinks with the allowed share; an allowlist confined
    // to clusters far from the query pays for that in recall.
    EXPECT_GE(found, (&allowed == &far ? 0.85 : 0.95) * 10 * qs.size()) << allowed.size();
  }
  // Tiny: listed twice, with ids the index does not hold; and none at all.
  const std::vector<uint64_t> tiny = {4999, 1017, 5, 1017, 3000, 5000};
  for (const Floats& q : qs) {
    const PreparedQuery pq = prepare(pl, q);
    EXPECT_EQ(hit_bits(index.search(pl, pq, 10, tiny)), hit_bits(scan.search(pl, pq, 10, tiny)));
    EXPECT_TRUE(index.search(pl, pq, 10, std::vector<uint64_t>{}).empty());
  }
}

// A loaded graph grows by the rule it was saved with (the header byte and
// its refusals: tests/python/test_hnsw_selection.py): a diverse graph
// exactly as the original does, a nearest one keeping link scores.
TEST(HnswSelectionFiles, ALoadedGraphGrowsByItsRule) {
  const Vectors first = random_vectors(300, 16, 1), more = random_vectors(100, 16, 2);
  for (const HnswSelection rule : {HnswSelection::Diverse, HnswSelection::Nearest}) {
    EngineConfig c = config(16, Metric::Cosine, IndexType::Hnsw);
    c.hnsw_m = 4, c.hnsw_ef_construction = 20, c.hnsw_selection = rule;
    Teskra saved(c);
    saved.add(iota_ids(300), first);
    Teskra loaded = decode(encode(saved));
    for (Teskra* t : {&saved, &loaded}) t->add(iota_ids(100, 300), more);
    const Hnsw& g = dynamic_cast<const HnswIndex&>(loaded.index()).graph();
    ASSERT_TRUE(loaded.config().hnsw_selection == rule && g.selection() == rule);
    const bool keeps_scores =
        !g.neighbours(399, 0).empty() && g.neighbour_scores(399, 0).size() == g.neighbours(399, 0).size();
    EXPECT_TRUE(rule == HnswSelection::Diverse ? encode(loaded) == encode(saved) : keeps_scores);
  }
}

// Removal: the repaired graph holds exactly the survivors, in order, with
// their codes and levels; it is sound (finish_restore's checks, an entry
// point on the top level left), keeps unchanged every list that named no
// removed node, finds every survivor (Diverse), and grows on by insertion.
// An interrupted removal changes nothing. Under Diverse on these
// well-separated clusters, where a graph of best-scored neighbours splits
// into islands, a search for every node (k = n) finds every node also
// before the removal and in a graph loaded (the loader's calls) and grown on.
TEST(HnswRemoval, RepairedGraphsHoldTheSurvivorsSoundAndReachable) {
  for (const HnswSelection rule : {HnswSelection::Diverse, HnswSelection::Nearest}) {
    for (const Metric metric : kMetrics) {
      SCOPED_TRACE(testing::Message() << int(rule) << " " << int(metric));
      const QuantPipeline pl = pipeline(32, metric);
      const Vectors raw = separated(3000, 32, 60, 3);
      const Encoded e(pl, raw);
      const auto finds_all = [&](const Hnsw& graph) {
        return id_set(graph.search(pl, prepare(pl, raw[7]), kMax, metric)).size() == graph.size();
      };
      Hnsw g(6, 30, 0, e.bpv, e.p, rule);
      insert_range(g, e, 0, 2000, pl);
      if (rule == HnswSelection::Diverse) {
        EXPECT_TRUE(finds_all(g));
        Hnsw loaded = restored_copy(g, e);
        insert_range(loaded, e, 2000, 3000, pl);
        EXPECT_TRUE(finds_all(loaded));
      }
      // Every third node, the entry point and every node of its level.
      std::vector<uint64_t> doomed;
      for (uint32_t n = 0; n < 2000; ++n)
        if (n % 3 == 1 || g.level(n) == g.max_level()) doomed.push_back(g.id(n));
      const std::set<uint64_t> gone(doomed.begin(), doomed.end());

      StopAfter stop(0);
      EXPECT_THROW(g.without(doomed, 0, metric, pl, Execution{1, &stop}), Interrupted);
      ASSERT_EQ(g.size(), 2000u);

      Hnsw r = g.without(doomed, 1000, metric, pl, {});
      std::vector<uint32_t> old_of;  // new node -> old node
      for (uint32_t n = 0; n < 2000; ++n)
        if (!gone.count(g.id(n))) old_of.push_back(n);
      ASSERT_EQ(r.size(), old_of.size());
      uint64_t top = 0;
      for (uint32_t n = 0; n < r.size(); ++n) {
        const uint32_t o = old_of[n];
        ASSERT_TRUE(r.id(n) == g.id(o) && r.level(n) == g.level(o) &&
                    !std::memcmp(r.code(n), g.code(o), e.bpv));
        top = std::max(top, r.level(n));
        for (uint64_t l = 0; l <= r.level(n); ++l) {
          const auto now = r.neighbours(n, l);
          for (const uint32_t nb : now) ASSERT_TRUE(nb < r.size() && nb != n && r.level(nb) >= l);
          const auto before = g.neighbours(o, l);
          if (std::none_of(before.begin(), before.end(), [&](uint32_t b) { return gone.count(g.id(b)); })) {
            std::vector<uint64_t> a, b;
            for (const uint32_t nb : now) a.push_back(r.id(nb));
            for (const uint32_t nb : before) b.push_back(g.id(nb));
            // Only a passed-on link may have joined a list that lost nothing.
            ASSERT_TRUE(a == b || (rule == HnswSelection::Diverse && l == 0 &&
                                   std::includes(a.begin(), a.end(), b.begin(), b.end())))
                << n;
          }
        }
      }
      ASSERT_TRUE(r.entry_point().has_value());
      EXPECT_TRUE(r.max_level() == top && r.level(*r.entry_point()) == top);
      EXPECT_TRUE(rule == HnswSelection::Nearest || finds_all(r));
      for (uint32_t i = 2000; i < 3000; ++i) r.insert(1000 + i, e.code(i), e.norms[i], e.vec(i), metric, pl);
      EXPECT_TRUE(rule == HnswSelection::Nearest || finds_all(r));

      // Everything: an empty graph that takes new nodes.
      std::vector<uint64_t> all(r.store().ids().begin(), r.store().ids().end());
      std::sort(all.begin(), all.end());
      Hnsw none = r.without(all, 0, metric, pl, {});
      EXPECT_TRUE(none.size() == 0 && !none.entry_point());
      insert_range(none, e, 0, 10, pl);
      EXPECT_TRUE(none.size() == 10 && finds_all(none));
    }
  }
}

// A graph repaired after losing a tenth of its nodes finds the survivors'
// nearest neighbours about as well as a graph built over them alone.
TEST(HnswRemoval, RecallOfTheSurvivorsMatchesAFreshGraph) {
  const QuantPipeline pl = pipeline(64, Metric::Cosine);
  const Encoded e(pl, clustered(3000, 64, 41));
  Hnsw g(8, 60, 16, e.bpv, e.p), fresh(8, 60, 16, e.bpv, e.p);
  insert_range(g, e, 0, 3000, pl);
  std::vector<uint64_t> doomed;
  std::mt19937_64 rng(3);
  for (size_t i = 0; i < 3000; ++i)
    if (rng() % 10 == 0) doomed.push_back(1000 + i);
  const auto kept = [&](size_t i) { return !std::binary_search(doomed.begin(), doomed.end(), 1000 + i); };
  for (size_t i = 0; i < 3000; ++i)
    if (kept(i)) insert_range(fresh, e, i, i + 1, pl);
  const FlatIndex scan = scan_of(e, kept);
  const Vectors qs = clustered(200, 64, 42);
  const double want = recall(fresh, scan, pl, qs);
  EXPECT_GE(want, 0.9);
  EXPECT_GE(recall(g.without(doomed, 0, Metric::Cosine, pl, {}), scan, pl, qs), want - 0.02);
}

// Batch insertion: the graph depends on the vectors and the calls, never on
// the thread count; it is as good as one-by-one insertion; a group stopped
// half-way leaves nothing of itself, and the graph takes the rest later.
TEST(HnswBatch, SameGraphForAnyThreadCountAndWholeGroupsOnly) {
  const QuantPipeline pl = pipeline(64, Metric::L2);
  const Vectors raw = clustered(1500, 64, 51, 7);
  const Encoded e(pl, raw);
  const std::vector<uint64_t> ids = iota_ids(1500, 1000);
  const auto batch = [&](Hnsw& g, size_t from, size_t to, const Execution& exec) {
    g.reserve(to - from);
    g.insert_batch(std::span(ids).subspan(from, to - from), e.code(from), e.norms.data() + from,
                   e.vecs.data() + from * e.p, Metric::L2, pl, exec);
  };
  Hnsw one(8, 40, 0, e.bpv, e.p), three(8, 40, 0, e.bpv, e.p), single(8, 40, 0, e.bpv, e.p);
  batch(one, 0, 1500, {1, nullptr});
  batch(three, 0, 1500, {3, nullptr});
  EXPECT_TRUE(same_graph(one, three));
  insert_range(single, e, 0, 1500, pl);
  const FlatIndex scan = scan_of(e);
  const Vectors qs = clustered(100, 64, 52);
  EXPECT_GE(recall(one, scan, pl, qs), recall(single, scan, pl, qs) - 0.02);

  // Stopped while its third group walks: the first node and two whole
  // groups stay.
  Hnsw cut(8, 40, 0, e.bpv, e.p);
  struct StopAt final : Interrupt {
    const Hnsw& g;
    explicit StopAt(const Hnsw& graph) : g(graph) {}
    bool requested() override { return g.size() > 1 + 2 * Hnsw::kInsertGroup; }
  };
  StopAt stop(cut);
  EXPECT_THROW(batch(cut, 0, 1500, {1, &stop}), Interrupted);
  EXPECT_EQ(cut.size(), 1 + 2 * Hnsw::kInsertGroup);
  Hnsw whole(8, 40, 0, e.bpv, e.p);
  batch(whole, 0, cut.size(), {1, nullptr});
  EXPECT_TRUE(same_graph(cut, whole));
  batch(cut, cut.size(), 1500, {2, nullptr});
  EXPECT_EQ(id_set(cut.search(pl, prepare(pl, raw[0]), kMax, Metric::L2)).size(), 1500u);
}

}  // namespace
}  // namespace teskra
