#include "core/search/hnsw.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "core/exec/free_heap.h"
#include "core/search/float_dot.h"
#include "core/search/similarity.h"
#include "core/search/topk.h"

namespace teskra {

namespace {

// ---------------------------------------------------------------------------
// Ordering rules of the walk.

using Candidate = HnswCandidate;

// The candidate heap: higher score first, and among equal (or unordered,
// NaN) scores the larger node index first.
inline bool above(const Candidate& a, const Candidate& b) {
  if (a.score > b.score) return true;
  if (b.score > a.score) return false;
  return a.node > b.node;
}

template <class Heap>
void heap_push(Heap& h, Candidate c) {
  size_t i = h.size();
  h.push_back(c);
  while (i > 0) {
    const size_t parent = (i - 1) / 2;
    if (!above(c, h[parent])) break;
    h[i] = h[parent];
    i = parent;
  }
  h[i] = c;
}

template <class Heap>
Candidate heap_pop(Heap& h) {
  const Candidate top = h.front();
  const Candidate last = h.back();
  h.pop_back();
  const size_t n = h.size();
  if (n == 0) return top;
  size_t i = 0;
  for (;;) {
    const size_t l = 2 * i + 1;
    if (l >= n) break;
    size_t best = l;
    if (l + 1 < n && above(h[l + 1], h[l])) best = l + 1;
    if (!above(h[best], last)) break;
    h[i] = h[best];
    i = best;
  }
  h[i] = last;
  return top;
}

// The result list is kept in the order a stable sort by score, highest
// first, would give it: each arrival goes after every entry that does not
// score strictly lower. Cutting the last entry when the list overflows is
// then the same as sorting the arrivals and keeping the first ef.
// With a NaN in the list it is not sorted in any usable sense; the
// arrival then walks back from the end as far as it scores higher.
void insert_sorted(std::vector<Candidate>& list, Candidate c, size_t nans) {
  if (nans == 0) {
    const auto pos =
        std::upper_bound(list.begin(), list.end(), c,
                         [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    list.insert(pos, c);
    return;
  }
  size_t pos = list.size();
  list.push_back(c);
  while (pos > 0 && c.score > list[pos - 1].score) {
    list[pos] = list[pos - 1];
    --pos;
  }
  list[pos] = c;
}

// The lowest score in the list, NaNs ignored; +inf for an empty list.
float lowest_score(const std::vector<Candidate>& list, size_t nans) {
  if (list.empty()) return std::numeric_limits<float>::infinity();
  if (nans == 0) return list.back().score;
  float lo = std::numeric_limits<float>::infinity();
  for (const Candidate& c : list) {
    if (c.score < lo) lo = c.score;
  }
  return lo;
}

inline void prefetch_bytes(const void* at, size_t bytes) {
  const char* p = static_cast<const char*>(at);
  for (size_t off = 0; off < bytes; off += 64) __builtin_prefetch(p + off);
}

// Which nodes may enter a walk's result list.
struct EveryNode {
  static constexpr bool kFiltered = false;
  bool allowed(uint32_t) const { return true; }
};

template <class Graph>
struct AllowedIds {
  static constexpr bool kFiltered = true;
  const Allowlist& allow;
  const Graph& graph;
  bool allowed(uint32_t node) const { return allow.contains(graph.id(node)); }
};

// Makes room for `need` elements with the usual geometric growth, so that
// the appends that follow cannot throw. std::bad_alloc for a need no vector
// can hold.
template <class Vec>
void make_room(Vec& v, size_t need) {
  if (need > v.max_size()) throw std::bad_alloc();
  if (v.capacity() < need) v.reserve(std::max(need, std::min(v.max_size(), 2 * v.capacity())));
}

template <class T>
void make_room(PageArray<T>& v, size_t need) {
  v.make_room(need);
}

// Element counts of arrays: one that does not fit in a size_t cannot be
// allocated either.
size_t count_sum(size_t a, size_t b) {
  size_t r;
  if (__builtin_add_overflow(a, b, &r)) throw std::bad_alloc();
  return r;
}

size_t count_product(size_t a, size_t b) {
  size_t r;
  if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
  return r;
}

constexpr const char* kGraphFull = "Hnsw graph is full: it holds at most 4294967295 vectors";
static_assert(Hnsw::kMaxNodes == 4294967295u);

}  // namespace

// ---------------------------------------------------------------------------
// Scorers: how the walk scores a node against its query.

// Nearest's insertion: dot products with the float vectors. A node whose
// vector was released takes part through its code: the inner product with
// the code's centroid values is what the scoring kernels compute, on 8 to 16
// times fewer bytes than a float vector. L2 subtracts half the squared norm
// of whichever form the node has (half_sq_).
class Hnsw::ConstructionScorer {
 public:
  // pq: the query prepared for the kernels; needed only when some node has
  // no float vector.
  ConstructionScorer(const Hnsw& g, SearchScratch& scratch, const float* q, const PreparedQuery* pq,
                     Metric metric, const QuantPipeline& pipeline)
      : g_(g),
        s_(scratch),
        q_(q),
        pq_(pq),
        l2_(metric == Metric::L2),
        pipeline_(pipeline),
        p_(static_cast<size_t>(g.padded_dim_)),
        first_held_(static_cast<size_t>(g.first_held_)) {}

  float score(uint32_t node) const {
    const float s = node >= first_held_ ? float_dot(q_, row(node), p_) : pipeline_.score(q_, g_.code(node));
    return l2_ ? s - g_.half_sq_[node] : s;
  }

  // Held vectors are read side by side so their memory loads overlap;
  // released nodes go through the kernels as one batch of codes.
  void score_batch(const uint32_t* nodes, size_t n, float* out) const {
    const float** rows = s_.batch_rows.data();
    const uint8_t** codes = s_.batch_codes.data();
    uint32_t* row_slot = s_.batch_slots.data();
    uint32_t* code_slot = row_slot + n;
    size_t held = 0, released = 0;
    for (size_t j = 0; j < n; ++j) {
      if (nodes[j] >= first_held_) {
        rows[held] = row(nodes[j]);
        row_slot[held++] = static_cast<uint32_t>(j);
      } else {
        codes[released] = g_.code(nodes[j]);
        code_slot[released++] = static_cast<uint32_t>(j);
      }
    }
    float* tmp = s_.batch_dots.data();
    if (held > 0) {
      float_dot_rows(q_, rows, held, p_, tmp);
      for (size_t h = 0; h < held; ++h) out[row_slot[h]] = tmp[h];
    }
    if (released > 0) {
      simd::CodeBatch batch;
      batch.ptrs = codes;
      batch.n = released;
      pipeline_.score_batch(*pq_, batch, tmp);
      for (size_t r = 0; r < released; ++r) out[code_slot[r]] = tmp[r];
    }
    if (l2_) {
      for (size_t j = 0; j < n; ++j) out[j] -= g_.half_sq_[nodes[j]];
    }
  }

 private:
  const float* row(uint32_t node) const { return g_.vectors_.data() + (node - first_held_) * p_; }

  const Hnsw& g_;
  SearchScratch& s_;
  const float* q_;
  const PreparedQuery* pq_;
  bool l2_;
  const QuantPipeline& pipeline_;
  size_t p_;
  size_t first_held_;
};

// Search, and Diverse's insertion: the packed codes through the pipeline's
// kernels, turned into the metric's similarity with the stored norm, as the
// exhaustive scan does.
template <class Graph>
class Hnsw::SearchScorer {
 public:
  SearchScorer(const Graph& g, SearchScratch& scratch, const QuantPipeline& pipeline, const PreparedQuery& pq,
               Metric metric)
      : g_(g), s_(scratch), pipeline_(pipeline), pq_(pq), metric_(metric) {}

  float score(uint32_t node) const {
    return similarity(metric_, pipeline_.score(pq_.q.data(), g_.code(node)), g_.norm(node));
  }

  // One kernel call for the whole batch: the kernels give each code the bits
  // of a one-code call, so this equals scoring the nodes one by one.
  void score_batch(const uint32_t* nodes, size_t n, float* out) const {
    const uint8_t** ptrs = s_.batch_codes.data();
    for (size_t j = 0; j < n; ++j) ptrs[j] = g_.code(nodes[j]);
    simd::CodeBatch batch;
    batch.ptrs = ptrs;
    batch.n = n;
    pipeline_.score_batch(pq_, batch, out);
    for (size_t j = 0; j < n; ++j) out[j] = similarity(metric_, out[j], g_.norm(nodes[j]));
  }

 private:
  const Graph& g_;
  SearchScratch& s_;
  const QuantPipeline& pipeline_;
  const PreparedQuery& pq_;
  Metric metric_;
};

// ---------------------------------------------------------------------------

Hnsw::Hnsw(uint64_t m, uint64_t ef_construction, uint64_t ef_search, uint64_t bytes_per_vec,
           uint64_t padded_dim, HnswSelection selection)
    : m_(m),
      ef_construction_(ef_construction),
      ef_search_(ef_search == 0 ? 2 * m : ef_search),
      bytes_per_vec_(bytes_per_vec),
      padded_dim_(padded_dim),
      ml_(ml_for(m)),
      selection_(selection),
      store_(bytes_per_vec) {
  if (m < 2 || m > kMaxM) {
    throw std::invalid_argument("hnsw m must lie in [2, 32767]");
  }
}

double Hnsw::ml_for(uint64_t m) { return 1.0 / std::max(std::log(static_cast<double>(m)), 1e-9); }

uint64_t Hnsw::level_for(uint64_t node_index, double ml) {
  const uint64_t x = node_index * 0x5851F42D4C957F2DULL + 0x6C576FAC43FD007CULL;
  const double u = static_cast<double>(x >> 11) * 0x1.0p-53;
  const double level = -std::log(u) * ml;
  // Converting a double at or beyond 2^64 (or inf, from u = 0) to an integer
  // is undefined; no real graph comes near it.
  if (!(level < 0x1.0p64)) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(level);
}

size_t Hnsw::upper_slot(uint32_t node, uint64_t layer) const {
  const auto at = std::lower_bound(upper_nodes_.begin(), upper_nodes_.end(), node);
  return static_cast<size_t>(upper_first_[static_cast<size_t>(at - upper_nodes_.begin())] + (layer - 1));
}

uint32_t* Hnsw::list_slot(uint32_t node, uint64_t layer) {
  if (layer == 0) return layer0_.data() + static_cast<size_t>(node) * (2 * m_ + 1);
  return upper_.data() + upper_slot(node, layer) * (m_ + 1);
}

float* Hnsw::list_scores(uint32_t node, uint64_t layer) {
  if (layer == 0) return layer0_scores_.data() + static_cast<size_t>(node) * 2 * m_;
  return upper_scores_.data() + upper_slot(node, layer) * m_;
}

std::span<const float> Hnsw::neighbour_scores(uint32_t node, uint64_t layer) const {
  if (selection_ != HnswSelection::Nearest || layer > levels_[node]) return {};
  const size_t count = neighbours(node, layer).size();
  const float* s = layer == 0 ? layer0_scores_.data() + static_cast<size_t>(node) * 2 * m_
                              : upper_scores_.data() + upper_slot(node, layer) * m_;
  return {s, count};
}

uint32_t Hnsw::append_node(uint64_t id, const uint8_t* code, float norm, uint64_t level) {
  const size_t i = static_cast<size_t>(size());
  // 0xFFFFFFFF stays free to mean "no node" (an empty graph's entry point).
  if (i >= kMaxNodes) throw std::length_error(kGraphFull);
  const size_t m = static_cast<size_t>(m_);
  const size_t up = static_cast<size_t>(level);
  const bool nearest = selection_ == HnswSelection::Nearest;
  // Every array grows first; if one allocation fails the graph is unchanged.
  store_.reserve_more(1);
  make_room(levels_, i + 1);
  make_room(layer0_, layer0_.size() + 2 * m + 1);
  if (up > 0) {
    make_room(upper_nodes_, upper_nodes_.size() + 1);
    make_room(upper_first_, upper_first_.size() + 1);
    make_room(upper_, upper_.size() + up * (m + 1));
  }
  if (nearest) {
    make_room(layer0_scores_, layer0_scores_.size() + 2 * m);
    make_room(upper_scores_, upper_scores_.size() + up * m);
  }

  store_.append(id, code, norm);
  levels_.push_back(static_cast<uint8_t>(level));
  layer0_.resize(layer0_.size() + 2 * m + 1, 0);
  if (up > 0) {
    upper_nodes_.push_back(static_cast<uint32_t>(i));
    upper_first_.push_back(upper_.size() / (m + 1));
    upper_.resize(upper_.size() + up * (m + 1), 0);
  }
  if (nearest) {
    layer0_scores_.resize(layer0_scores_.size() + 2 * m, 0.0f);
    upper_scores_.resize(upper_scores_.size() + up * m, 0.0f);
  }
  return static_cast<uint32_t>(i);
}

void Hnsw::reserve(size_t count, size_t threads) {
  const uint64_t n = size();
  if (count > kMaxNodes - n) throw std::length_error(kGraphFull);
  const size_t total = static_cast<size_t>(n) + count;
  const size_t m = static_cast<size_t>(m_);
  const bool nearest = selection_ == HnswSelection::Nearest;
  // The arrays whose growth is known without looking at levels first: when
  // memory is short for a huge count, this fails before the level loop.
  store_.reserve_more(count);
  make_room(layer0_, count_sum(layer0_.size(), count_product(count, 2 * m + 1)));
  make_room(levels_, total);
  if (nearest) {
    make_room(layer0_scores_, count_sum(layer0_scores_.size(), count_product(count, 2 * m)));
    make_room(vectors_, count_sum(vectors_.size(), count_product(count, static_cast<size_t>(padded_dim_))));
    make_room(half_sq_, total);
  }
  uint64_t slots = 0, uppers = 0;
  for (uint64_t i = n; i < total; ++i) {
    const uint64_t level = std::min(level_for(i, ml_), kMaxLevel);
    slots += level;
    uppers += level > 0;
  }
  const size_t up = static_cast<size_t>(slots);
  make_room(upper_nodes_, count_sum(upper_nodes_.size(), static_cast<size_t>(uppers)));
  make_room(upper_first_, count_sum(upper_first_.size(), static_cast<size_t>(uppers)));
  make_room(upper_, count_sum(upper_.size(), count_product(up, m + 1)));
  if (nearest) make_room(upper_scores_, count_sum(upper_scores_.size(), count_product(up, m)));
  // The walks of those insertions.
  SearchScratch& s = insert_scratch_;
  make_room(s.visited, total);
  make_room(s.heap, total);
  make_room(s.results,
            static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(ef_construction_, 1), total)) + 1);
  if (selection_ == HnswSelection::Diverse && count > 0) {
    fit_insert_scratch(total);
    fit_group_scratch(std::min(std::max<size_t>(threads, 1), kInsertGroup), total);
  }
}

void Hnsw::fit_scratch(SearchScratch& s, uint64_t m, uint64_t nodes, uint64_t ef, uint64_t heap_room) {
  // Every list a walk expands is scored as one batch.
  const size_t batch = static_cast<size_t>(2 * m);
  if (s.batch_nodes.size() < batch) {
    s.batch_nodes.resize(batch);
    s.batch_scores.resize(batch);
    s.batch_codes.resize(batch);
    s.batch_rows.resize(batch);
    s.batch_slots.resize(2 * batch);
    s.batch_dots.resize(batch);
  }
  make_room(s.visited, static_cast<size_t>(nodes));
  if (s.visited.size() < nodes) s.visited.resize(static_cast<size_t>(nodes), 0);
  // Room for the list, but never for more than the graph holds: ef may be a
  // caller's k of 2^64 - 1.
  make_room(s.results, static_cast<size_t>(std::min(ef, nodes)) + 1);
  make_room(s.heap, static_cast<size_t>(heap_room));
}

void Hnsw::fit_insert_scratch(SearchScratch& s, uint64_t nodes) const {
  // A walk queues each node at most once.
  const uint64_t ef = std::max<uint64_t>(ef_construction_, 1);
  fit_scratch(s, m_, nodes, ef, nodes);
  const size_t overflow = static_cast<size_t>(2 * m_) + 1;
  if (s.overflow.size() < overflow) s.overflow.resize(overflow);
  if (selection_ == HnswSelection::Diverse) {
    // The rule looks at all of a walk's results or of a full list and its
    // newcomer, and keeps at most 2m of them, fewer than there are other
    // nodes.
    const size_t p = static_cast<size_t>(padded_dim_);
    const size_t candidates = std::max(overflow, static_cast<size_t>(std::min(ef, nodes)));
    const size_t kept = static_cast<size_t>(std::min<uint64_t>(2 * m_, nodes));
    if (s.owner_raw.size() < candidates) s.owner_raw.resize(candidates);
    if (s.batch_nodes.size() < candidates) {
      s.batch_nodes.resize(candidates);
      s.batch_scores.resize(candidates);
      s.batch_codes.resize(candidates);
    }
    if (s.owner.q.size() < p) s.owner.q.resize(p);
    if (s.kept_forms.size() < count_product(kept, p)) s.kept_forms.resize(kept * p);
    if (s.kept_form_of.size() < kept) s.kept_form_of.resize(kept);
    if (s.kept_twin.size() < kept) s.kept_twin.resize(kept);
    s.turned_away.reserve(candidates);
    if (s.dropped.size() < candidates) s.dropped.resize(candidates);
    s.passed_on.reserve(static_cast<size_t>(4 * m_));
  }
}

void Hnsw::prefetch_links(uint32_t node) const {
  prefetch_bytes(layer0_.data() + static_cast<size_t>(node) * (2 * m_ + 1),
                 static_cast<size_t>(2 * m_ + 1) * sizeof(uint32_t));
}

template <class Scorer, class Filter>
void Hnsw::walk(const Scorer& scorer, SearchScratch& s, uint32_t entry, uint64_t ef, uint64_t layer,
                const Filter& filter, const float* entry_score_known) const {
  walk_graph(*this, scorer, s, entry, ef, layer, filter, entry_score_known);
}

template <class Graph, class Scorer, class Filter>
void Hnsw::walk_graph(const Graph& g, const Scorer& scorer, SearchScratch& s, uint32_t entry, uint64_t ef,
                      uint64_t layer, const Filter& filter, const float* entry_score_known) {
  if (++s.generation == 0) {
    // The stamps wrapped: old stamps could now collide with new ones.
    std::fill(s.visited.begin(), s.visited.end(), 0);
    s.generation = 1;
  }
  const uint32_t gen = s.generation;
  uint32_t* visited = s.visited.data();
  std::vector<Candidate>& results = s.results;
  PageArray<Candidate>& heap = s.heap;
  results.clear();
  heap.clear();

  const float entry_score = entry_score_known ? *entry_score_known : scorer.score(entry);
  visited[entry] = gen;
  heap_push(heap, {entry, entry_score});
  size_t nans = 0;                         // NaN scores in results
  bool saw_nan = std::isnan(entry_score);  // any NaN pushed so far
  if (filter.allowed(entry)) {
    results.push_back({entry, entry_score});
    nans = saw_nan ? 1 : 0;
  }

  uint32_t* batch = s.batch_nodes.data();
  float* scores = s.batch_scores.data();
  uint64_t pops = 0;
  while (!heap.empty()) {
    const Candidate c = heap_pop(heap);
    ++pops;
    const float worst = lowest_score(results, nans);
    if constexpr (Filter::kFiltered) {
      // Only a full list ends a filtered walk: it may pass through any
      // number of nodes it must not return before it has ef that it may.
      if (c.score < worst && results.size() >= ef) break;
    } else {
      if (c.score < worst && pops > ef) break;
    }
    const auto list = g.neighbours(c.node, layer);
    // The best remaining candidate is likely the next one expanded: start
    // loading its list now, while this node's neighbours are scored.
    if (layer == 0 && !heap.empty()) g.prefetch_links(heap.front().node);
    // Branch-free: whether a neighbour was seen is close to a coin flip,
    // which a branch would mispredict half the time.
    size_t n = 0;
    const size_t list_size = list.size();
    for (size_t j = 0; j < list_size; ++j) {
      const uint32_t e = list[j];
      const bool fresh = visited[e] != gen;
      visited[e] = gen;
      batch[n] = e;
      n += fresh;
    }
    if (n == 0) continue;
    scorer.score_batch(batch, n, scores);
    // worst stays as computed at the pop for all of this node's neighbours.
    for (size_t j = 0; j < n; ++j) {
      const Candidate nc{batch[j], scores[j]};
      const bool admit = (results.size() < ef || nc.score > worst) && filter.allowed(nc.node);
      if (!admit) {
        // Turned away, so (unfiltered) the list holds at least ef entries.
        // If the candidate scores strictly below everything in the list
        // now, it can never be expanded: the list's lowest score only grows
        // from here on, every list entry scores above it and entered the
        // heap when admitted, so all of them leave the heap first; by then
        // more than ef pops are done and its own pop ends the walk. So it
        // stays out of the heap, which ends the walk in the same place. Most
        // candidates of a long walk are of this kind. (The test is against
        // the list as it is now, not against worst: worst was taken at the
        // pop and is higher when the list was still filling then.) A NaN
        // anywhere would leave the heap order ill-defined, so then every
        // candidate goes in. A filtered walk turns away nodes it must not
        // return while its list is still short; those are queued whatever
        // their score.
        if (saw_nan || (Filter::kFiltered && results.size() < ef) ||
            !(nc.score < lowest_score(results, nans))) {
          heap_push(heap, nc);
        }
        saw_nan = saw_nan || std::isnan(nc.score);
        continue;
      }
      heap_push(heap, nc);
      insert_sorted(results, nc, nans);
      if (std::isnan(nc.score)) {
        ++nans;
        saw_nan = true;
      }
      while (results.size() > ef) {
        if (std::isnan(results.back().score)) --nans;
        results.pop_back();
      }
    }
  }
}

size_t Hnsw::select_neighbours(std::span<HnswCandidate> candidates, size_t capacity, uint32_t owner,
                               Metric metric, const QuantPipeline& pipeline, SearchScratch& s) const {
  // Best first by a stable insertion sort: no allocation, and no more than a
  // pass of comparisons over candidates that are in order already, as a
  // walk's results always are. With NaN scores there is no order to speak
  // of; each entry then stays behind the nearest one before it that it does
  // not beat.
  HnswCandidate* c = candidates.data();
  const size_t n = candidates.size();
  size_t i = 1;
  while (i < n && !(c[i].score > c[i - 1].score)) ++i;  // a leading run in order stays
  for (; i < n; ++i) {
    const HnswCandidate e = c[i];
    size_t j = i;
    while (j > 0 && e.score > c[j - 1].score) {
      c[j] = c[j - 1];
      --j;
    }
    c[j] = e;
  }
  if (selection_ == HnswSelection::Nearest || n == 0) return std::min(capacity, n);

  // The diversity rule. Every comparison is made from the candidate's side:
  // the candidate's code scored against the dequantized code of the owner
  // or of a kept node as the query (the inner product is the same either
  // way round), with the norm of that node, as a search from the candidate
  // would score it. A kept twin of the owner (the same code) is as similar
  // to every candidate as the owner itself: it turns away only other twins,
  // or one duplicate would empty the owner's list of everything else.
  const size_t p = static_cast<size_t>(padded_dim_);
  const size_t bytes = static_cast<size_t>(bytes_per_vec_);
  uint32_t* nodes = s.batch_nodes.data();
  float* to_owner = s.owner_raw.data();
  for (size_t j = 0; j < n; ++j) nodes[j] = c[j].node;
  s.candidates = n;
  score_from_owner(owner, nodes, n, to_owner, pipeline, s);
  // Under Dot a long vector is "more similar" to everything than a short
  // one, which would let a few long vectors turn away every other
  // candidate; the rule compares Euclidean distances there, as under L2.
  const Metric rule = metric == Metric::Dot ? Metric::L2 : metric;
  const float owner_norm = norm(owner);
  for (size_t j = 0; j < n; ++j) to_owner[j] = similarity(rule, to_owner[j], owner_norm);
  const uint8_t* owner_code = code(owner);
  const float* owner_form = s.owner.q.data();
  s.turned_away.clear();
  float* forms = s.kept_forms.data();
  const float** kept_form = s.kept_form_of.data();
  uint8_t* kept_twin = s.kept_twin.data();
  size_t kept = 0, stored = 0;
  for (size_t j = 0; j < n && kept < capacity; ++j) {
    const HnswCandidate cand = c[j];
    const uint8_t* cand_code = code(cand.node);
    const bool twin = std::memcmp(cand_code, owner_code, bytes) == 0;
    bool keep = true;
    size_t beaten_at = 0;
    bool beaten_strictly = false;
    for (size_t k = 0; k < kept && keep; ++k) {
      if (kept_twin[k] && !twin) continue;
      const float to_kept = similarity(rule, pipeline.score(kept_form[k], cand_code), norm(c[k].node));
      keep = to_owner[j] > to_kept;
      beaten_at = k;
      beaten_strictly = to_kept > to_owner[j];
    }
    if (!keep) {
      if (beaten_strictly) s.turned_away.push_back({cand.node, c[beaten_at].node});
      continue;
    }
    kept_twin[kept] = twin;
    if (twin || kept + 1 == capacity) {  // the last one kept is compared with nothing
      kept_form[kept] = owner_form;
    } else {
      pipeline.dequantize_into(cand_code, forms + stored * p);
      kept_form[kept] = forms + stored * p;
      ++stored;
    }
    c[kept++] = cand;
  }
  return kept;
}

void Hnsw::score_from_owner(uint32_t owner, const uint32_t* nodes, size_t n, float* out,
                            const QuantPipeline& pipeline, SearchScratch& s) const {
  if (s.owner_node != owner) {
    pipeline.dequantize_into(code(owner), s.owner.q.data());
    s.owner_node = owner;
  }
  const float* q = s.owner.q.data();
  if (pipeline.n2_dims() != 0) {
    // A 2-bit block needs per-query tables for the batch kernels, which
    // would allocate mid-insertion; one code at a time needs none.
    for (size_t j = 0; j < n; ++j) out[j] = pipeline.score(q, code(nodes[j]));
    return;
  }
  const uint8_t** ptrs = s.batch_codes.data();
  for (size_t j = 0; j < n; ++j) ptrs[j] = code(nodes[j]);
  simd::CodeBatch batch;
  batch.ptrs = ptrs;
  batch.n = n;
  pipeline.score_batch(s.owner, batch, out);
}

void Hnsw::link(uint32_t to, uint64_t layer, uint32_t node, float score, Metric metric,
                const QuantPipeline& pipeline) {
  const bool nearest = selection_ == HnswSelection::Nearest;
  // Layer 0 of a Diverse graph counts the lists that name each node, and
  // passes on the last link to a node rather than drop it.
  const bool counted = !nearest && layer == 0;
  const size_t cap = static_cast<size_t>(capacity(layer));
  SearchScratch& s = insert_scratch_;
  std::vector<std::pair<uint32_t, uint32_t>>& queue = s.passed_on;
  queue.clear();
  for (size_t next = 0;; ++next) {
    uint32_t* slot = list_slot(to, layer);
    const size_t count = slot[0] & kCountMask;
    // Under Nearest the new node never appears in an older node's list yet:
    // it received no links before this insertion, and a walk names each node
    // once. Under Diverse a link passed on may be there already.
    if (!nearest && std::find(slot + 1, slot + 1 + count, node) != slot + 1 + count) {
      // nothing to do
    } else if (count < cap) {
      slot[1 + count] = node;
      if (nearest) list_scores(to, layer)[count] = score;
      ++slot[0];
      if (counted) add_in_link(node, 1);
    } else {
      // Full: the held entries and the newcomer, arriving last, compete for
      // the slots. The newcomer may lose at once, which drops the link again.
      HnswCandidate* all = s.overflow.data();
      if (nearest) {
        const float* scores = list_scores(to, layer);
        for (size_t j = 0; j < cap; ++j) all[j] = {slot[1 + j], scores[j]};
      } else {
        // Scores from the owner's side: its dequantized code as the query.
        uint32_t* nodes = s.batch_nodes.data();
        float* raw = s.batch_scores.data();
        std::copy_n(slot + 1, cap, nodes);
        nodes[cap] = node;
        score_from_owner(to, nodes, cap + 1, raw, pipeline, s);
        for (size_t j = 0; j < cap; ++j) all[j] = {nodes[j], similarity(metric, raw[j], norm(nodes[j]))};
        score = similarity(metric, raw[cap], norm(node));
      }
      all[cap] = {node, score};
      const size_t keep = select_neighbours({all, cap + 1}, cap, to, metric, pipeline, s);
      for (size_t j = 0; j < keep; ++j) slot[1 + j] = all[j].node;
      if (nearest) {
        float* scores = list_scores(to, layer);
        for (size_t j = 0; j < keep; ++j) scores[j] = all[j].score;
      }
      slot[0] = (slot[0] & ~kCountMask) | static_cast<uint32_t>(keep);
      if (counted) pass_on_dropped(node, all, keep, metric, pipeline);
    }
    if (next == queue.size()) return;
    to = queue[next].first;
    node = queue[next].second;
  }
}

void Hnsw::add_in_link(uint32_t node, int delta) {
  uint32_t& word = layer0_[static_cast<size_t>(node) * (2 * m_ + 1)];
  const uint32_t in = word >> 16;
  // Saturated counts stay put: "many" never turns into "none".
  if (in == 0xFFFFu || (delta < 0 && in == 0)) return;
  word += delta > 0 ? uint32_t{1} << 16 : 0u - (uint32_t{1} << 16);
}

void Hnsw::pass_on_dropped(uint32_t newcomer, const HnswCandidate* kept, size_t keep, Metric metric,
                           const QuantPipeline& pipeline) {
  SearchScratch& s = insert_scratch_;
  // The candidates select_neighbours looked at (best first): the list as it
  // was and the newcomer.
  const size_t n = s.candidates;
  uint32_t* dropped = s.dropped.data();
  size_t count = 0;
  bool newcomer_kept = false;
  for (size_t j = 0; j < n; ++j) {
    const uint32_t d = s.batch_nodes[j];
    if (std::any_of(kept, kept + keep, [&](const HnswCandidate& k) { return k.node == d; })) {
      newcomer_kept = newcomer_kept || d == newcomer;
      continue;
    }
    if (d != newcomer) add_in_link(d, -1);
    if (layer0_[static_cast<size_t>(d) * (2 * m_ + 1)] >> 16 == 0) dropped[count++] = d;
  }
  if (newcomer_kept) add_in_link(newcomer, 1);
  // Each node that lost its last way in is offered to the kept neighbour
  // that turned it away (more similar to it than the list's owner) or, when
  // it was dropped for lack of room, to the kept neighbour most similar to
  // it. A bounded number per insertion: a node can be passed around a
  // circle of full lists.
  const Metric rule = metric == Metric::Dot ? Metric::L2 : metric;
  std::vector<std::pair<uint32_t, uint32_t>>& queue = s.passed_on;
  for (size_t j = 0; j < count && queue.size() < queue.capacity(); ++j) {
    const uint32_t d = dropped[j];
    uint32_t to = kNoNode;
    for (const auto& [turned, beater] : s.turned_away) {
      if (turned == d) to = beater;
    }
    if (to == kNoNode && keep > 0) {
      uint32_t* nodes = s.batch_nodes.data();
      float* raw = s.batch_scores.data();
      for (size_t k = 0; k < keep; ++k) nodes[k] = kept[k].node;
      score_from_owner(d, nodes, keep, raw, pipeline, s);
      float best = 0.0f;
      for (size_t k = 0; k < keep; ++k) {
        const float sim = similarity(rule, raw[k], norm(nodes[k]));
        if (to == kNoNode || sim > best) best = sim, to = nodes[k];
      }
    }
    if (to != kNoNode) queue.push_back({to, d});
  }
}

template <class Scorer>
Hnsw::WalkStart Hnsw::descend(const Scorer& scorer, SearchScratch& s, uint32_t from, uint64_t top,
                              uint64_t level) const {
  WalkStart at{from};
  for (uint64_t lc = top; lc > level; --lc) {
    walk(scorer, s, at.node, 1, lc, EveryNode{}, at.known());
    at = {s.results.front().node, s.results.front().score, true};
  }
  return at;
}

template <class Scorer, class Store>
void Hnsw::link_new_node(const Scorer& scorer, uint32_t i, uint64_t level, Metric metric,
                         const QuantPipeline& pipeline, const Store& store) {
  SearchScratch& s = insert_scratch_;
  const uint64_t top = max_level_;
  WalkStart ep = descend(scorer, s, *entry_point_, top, level);
  for (uint64_t lc = std::min(level, top) + 1; lc-- > 0;) {
    walk(scorer, s, ep.node, ef_construction_, lc, EveryNode{}, ep.known());
    if (s.results.empty()) continue;  // ef_construction 0 can cut the list to nothing
    ep = {s.results.front().node, s.results.front().score, true};
    const size_t keep =
        select_neighbours(s.results, static_cast<size_t>(capacity(lc)), i, metric, pipeline, s);
    store(lc, keep);
  }
  if (level > top) {
    entry_point_ = i;
    max_level_ = level;
  }
}

void Hnsw::insert(uint64_t id, const uint8_t* code, float norm, std::span<const float> vector, Metric metric,
                  const QuantPipeline& pipeline) {
  const uint64_t n = size();
  if (n >= kMaxNodes) throw std::length_error(kGraphFull);
  const uint64_t level = std::min(level_for(n, ml_), kMaxLevel);
  if (selection_ == HnswSelection::Nearest) {
    insert_nearest(id, code, norm, level, vector, metric, pipeline);
  } else {
    insert_diverse(id, code, norm, level, vector, metric, pipeline);
  }
}

void Hnsw::insert_diverse(uint64_t id, const uint8_t* code, float norm, uint64_t level,
                          std::span<const float> vector, Metric metric, const QuantPipeline& pipeline) {
  const size_t p = static_cast<size_t>(padded_dim_);
  // Everything the insertion needs is allocated before the graph changes:
  // if memory runs out it stays as it was.
  std::vector<float> padded(p, 0.0f);
  std::copy_n(vector.data(), std::min(p, vector.size()), padded.data());
  const PreparedQuery pq = pipeline.prepare_query(std::move(padded));
  fit_insert_scratch(size() + 1);
  const uint32_t i = append_node(id, code, norm, level);

  if (!entry_point_) {
    entry_point_ = i;
    max_level_ = level;
    return;
  }
  SearchScratch& s = insert_scratch_;
  const SearchScorer<Hnsw> scorer(*this, s, pipeline, pq, metric);
  link_new_node(scorer, i, level, metric, pipeline, [&](uint64_t lc, size_t keep) {
    uint32_t* slot = list_slot(i, lc);
    for (size_t j = 0; j < keep; ++j) slot[1 + j] = s.results[j].node;
    slot[0] = (slot[0] & ~kCountMask) | static_cast<uint32_t>(keep);
    if (lc == 0) {
      for (size_t j = 0; j < keep; ++j) add_in_link(s.results[j].node, 1);
    }
    for (size_t j = 0; j < keep; ++j) {
      const uint32_t chosen = s.results[j].node;
      // Sound graphs only link nodes that have this layer; a restored one
      // is checked for that, this keeps a write in bounds regardless.
      if (levels_[chosen] >= lc) link(chosen, lc, i, 0.0f, metric, pipeline);
    }
  });
}

void Hnsw::insert_batch(std::span<const uint64_t> ids, const uint8_t* codes, const float* norms,
                        const float* forms, Metric metric, const QuantPipeline& pipeline,
                        const Execution& exec) {
  const size_t bytes = static_cast<size_t>(bytes_per_vec_);
  const size_t p = static_cast<size_t>(padded_dim_);
  const size_t n = ids.size();
  size_t done = 0;
  const auto insert_one = [&] {
    insert(ids[done], codes + done * bytes, norms[done], {forms + done * p, p}, metric, pipeline);
    ++done;
  };
  if (selection_ == HnswSelection::Nearest) {
    while (done < n) {
      if (done % 64 == 63) exec.poll();
      insert_one();
    }
    return;
  }
  while (done < n) {
    if (!entry_point_) {  // the first node has nothing to walk
      insert_one();
      continue;
    }
    if (done > 0) exec.poll();
    const size_t count = std::min(kInsertGroup, n - done);
    insert_group(ids, codes, norms, forms, done, count, metric, pipeline, exec);
    done += count;
  }
}

void Hnsw::insert_group(std::span<const uint64_t> ids, const uint8_t* codes, const float* norms,
                        const float* forms, size_t first, size_t count, Metric metric,
                        const QuantPipeline& pipeline, const Execution& exec) {
  const size_t bytes = static_cast<size_t>(bytes_per_vec_);
  const size_t p = static_cast<size_t>(padded_dim_);
  const uint64_t n = size();
  if (count > kMaxNodes - n) throw std::length_error(kGraphFull);
  const uint32_t base = static_cast<uint32_t>(n);
  const uint64_t top = max_level_;
  const uint32_t entry = *entry_point_;

  // Scratch first (nothing to do after reserve()).
  fit_insert_scratch(n + count);
  fit_group_scratch(std::min(exec.slots(), count), n + count);
  std::vector<uint64_t> level(count);
  for (size_t g = 0; g < count; ++g) level[g] = std::min(level_for(n + g, ml_), kMaxLevel);
  // Per node, its lists from its top layer down: a count, then the nodes.
  std::vector<std::vector<uint32_t>> chosen(count);

  try {
    for (size_t g = 0; g < count; ++g) {
      const size_t j = first + g;
      append_node(ids[j], codes + j * bytes, norms[j], level[g]);
    }
    // The walks see only the graph before the group: nothing links to the
    // group's nodes yet, and the entry point stays where it was.
    parallel_for(exec, count, [&](size_t g, size_t slot) {
      SearchScratch& s = group_scratch_[slot];
      const uint32_t node = base + static_cast<uint32_t>(g);
      std::vector<float> padded(p, 0.0f);
      std::copy_n(forms + (first + g) * p, p, padded.data());
      const PreparedQuery pq = pipeline.prepare_query(std::move(padded));
      const SearchScorer<Hnsw> scorer(*this, s, pipeline, pq, metric);
      WalkStart ep = descend(scorer, s, entry, top, level[g]);
      std::vector<uint32_t>& out = chosen[g];
      out.reserve((level[g] + 1) * (2 * m_ + 1));
      for (uint64_t lc = level[g] + 1; lc-- > 0;) {
        s.results.clear();
        if (lc <= top) {
          walk(scorer, s, ep.node, ef_construction_, lc, EveryNode{}, ep.known());
          if (!s.results.empty()) ep = {s.results.front().node, s.results.front().score, true};
        }
        for (size_t j = 0; j < g; ++j) {
          if (level[j] >= lc) s.results.push_back({base + static_cast<uint32_t>(j), scorer.score(base + j)});
        }
        const size_t keep =
            select_neighbours(s.results, static_cast<size_t>(capacity(lc)), node, metric, pipeline, s);
        out.push_back(static_cast<uint32_t>(keep));
        for (size_t k = 0; k < keep; ++k) out.push_back(s.results[k].node);
      }
    });
  } catch (...) {
    drop_unlinked_tail(base);
    throw;
  }

  // In node order: each node's lists, then the links back to it.
  for (size_t g = 0; g < count; ++g) {
    const uint32_t node = base + static_cast<uint32_t>(g);
    const uint32_t* rec = chosen[g].data();
    for (uint64_t lc = level[g] + 1; lc-- > 0;) {
      const uint32_t keep = *rec++;
      uint32_t* slot = list_slot(node, lc);
      std::copy_n(rec, keep, slot + 1);
      slot[0] = (slot[0] & ~kCountMask) | keep;
      if (lc == 0) {
        for (uint32_t k = 0; k < keep; ++k) add_in_link(rec[k], 1);
      }
      for (uint32_t k = 0; k < keep; ++k) {
        if (levels_[rec[k]] >= lc) link(rec[k], lc, node, 0.0f, metric, pipeline);
      }
      rec += keep;
    }
    if (level[g] > max_level_) {
      entry_point_ = node;
      max_level_ = level[g];
    }
  }
}

void Hnsw::fit_group_scratch(size_t slots, uint64_t nodes) {
  // A walk's results and the group's earlier nodes compete in one selection.
  const uint64_t ef = std::max<uint64_t>(ef_construction_, 1);
  const size_t most = static_cast<size_t>(std::min(ef, nodes)) + kInsertGroup + 1;
  if (group_scratch_.size() < slots) group_scratch_.resize(slots);
  for (size_t t = 0; t < slots; ++t) {
    SearchScratch& s = group_scratch_[t];
    fit_insert_scratch(s, nodes);
    make_room(s.results, most);
    if (s.owner_raw.size() < most) s.owner_raw.resize(most);
    if (s.batch_nodes.size() < most) {
      s.batch_nodes.resize(most);
      s.batch_scores.resize(most);
      s.batch_codes.resize(most);
    }
    s.turned_away.reserve(most);
  }
}

void Hnsw::drop_unlinked_tail(uint32_t first) {
  const size_t m = static_cast<size_t>(m_);
  store_.truncate(first);
  levels_.resize(first);
  layer0_.resize(static_cast<size_t>(first) * (2 * m + 1));
  if (selection_ == HnswSelection::Nearest) layer0_scores_.resize(static_cast<size_t>(first) * 2 * m);
  while (!upper_nodes_.empty() && upper_nodes_.back() >= first) {
    upper_.resize(static_cast<size_t>(upper_first_.back()) * (m + 1));
    if (selection_ == HnswSelection::Nearest)
      upper_scores_.resize(static_cast<size_t>(upper_first_.back()) * m);
    upper_nodes_.pop_back();
    upper_first_.pop_back();
  }
  // The node indices are free again: no dequantized code cached under them.
  insert_scratch_.owner_node = kNoNode;
  for (SearchScratch& s : group_scratch_) s.owner_node = kNoNode;
}

void Hnsw::insert_nearest(uint64_t id, const uint8_t* code, float norm, uint64_t level,
                          std::span<const float> vector, Metric metric, const QuantPipeline& pipeline) {
  const size_t p = static_cast<size_t>(padded_dim_);
  // Nodes that lost their float vectors (released or restored) since the
  // last insertion: their L2 offset now comes from their codes.
  if (code_half_sq_done_ < first_held_) {
    std::vector<float> d(p);
    for (uint64_t node = code_half_sq_done_; node < first_held_; ++node) {
      pipeline.dequantize_into(this->code(static_cast<uint32_t>(node)), d.data());
      half_sq_[node] = 0.5f * float_dot(d.data(), d.data(), p);
    }
    code_half_sq_done_ = first_held_;
  }
  if (unscored_below_ > 0) rescore_restored_lists(metric, pipeline);

  // Everything the insertion needs is allocated before the graph changes:
  // if memory runs out it stays as it was.
  std::optional<PreparedQuery> pq;
  if (first_held_ > 0) {
    std::vector<float> padded(p, 0.0f);
    std::copy_n(vector.data(), std::min(p, vector.size()), padded.data());
    pq = pipeline.prepare_query(std::move(padded));
  }
  const size_t row = vectors_.size();
  make_room(vectors_, row + p);
  make_room(half_sq_, half_sq_.size() + 1);
  fit_insert_scratch(size() + 1);
  const uint32_t i = append_node(id, code, norm, level);
  vectors_.resize(row + p, 0.0f);
  std::copy_n(vector.data(), std::min(p, vector.size()), vectors_.data() + row);
  const float* q = vectors_.data() + row;
  half_sq_.push_back(0.5f * float_dot(q, q, p));

  if (!entry_point_) {
    entry_point_ = i;
    max_level_ = level;
    return;
  }

  SearchScratch& s = insert_scratch_;
  const ConstructionScorer scorer(*this, s, q, pq ? &*pq : nullptr, metric, pipeline);
  link_new_node(scorer, i, level, metric, pipeline, [&](uint64_t lc, size_t keep) {
    uint32_t* slot = list_slot(i, lc);
    float* scores = list_scores(i, lc);
    for (size_t j = 0; j < keep; ++j) {
      slot[1 + j] = s.results[j].node;
      scores[j] = s.results[j].score;
    }
    slot[0] = static_cast<uint32_t>(keep);
    for (size_t j = 0; j < keep; ++j) {
      const HnswCandidate& chosen = s.results[j];
      if (levels_[chosen.node] >= lc) link(chosen.node, lc, i, chosen.score, metric, pipeline);
    }
  });
}

std::vector<SearchHit> Hnsw::search(const QuantPipeline& pipeline, const PreparedQuery& pq, uint64_t k,
                                    Metric metric, SearchScratch& scratch, const Allowlist* allow,
                                    uint64_t allowed) const {
  return search_graph(*this, pipeline, pq, k, metric, scratch, allow, allowed);
}

template <class Graph>
std::vector<SearchHit> Hnsw::search_graph(const Graph& g, const QuantPipeline& pipeline,
                                          const PreparedQuery& pq, uint64_t k, Metric metric,
                                          SearchScratch& scratch, const Allowlist* allow, uint64_t allowed) {
  if (k == 0 || !g.entry_point()) return {};
  const uint64_t ef = std::max(g.ef_search(), k);
  fit_scratch(scratch, g.m(), g.size(), ef, 0);
  const SearchScorer<Graph> scorer(g, scratch, pipeline, pq, metric);
  const std::vector<Candidate>& results = scratch.results;
  // Each layer's walk starts from the best node of the one above, whose
  // score is known.
  uint32_t ep = *g.entry_point();
  float ep_score = 0.0f;
  const float* known = nullptr;
  for (uint64_t lc = g.max_level(); lc >= 1; --lc) {
    walk_graph(g, scorer, scratch, ep, 1, lc, EveryNode{}, known);
    ep = results.front().node;
    ep_score = results.front().score;
    known = &ep_score;
  }
  if (allow != nullptr) {
    // Filling a list of L allowed nodes passes through about L / share
    // nodes: a list of ef * share costs about what an unfiltered walk does.
    const double share = std::min(1.0, static_cast<double>(allowed) / static_cast<double>(g.size()));
    const double want = static_cast<double>(ef) * share + 0.5;
    // (A list of k or more beyond 2^63 entries is the whole graph anyway.)
    const uint64_t list = want < 0x1.0p63 ? std::max<uint64_t>(k, static_cast<uint64_t>(want)) : ef;
    walk_graph(g, scorer, scratch, ep, std::min(list, ef), 0, AllowedIds<Graph>{*allow, g}, known);
  } else {
    walk_graph(g, scorer, scratch, ep, ef, 0, EveryNode{}, known);
  }
  const size_t n = static_cast<size_t>(std::min<uint64_t>(k, results.size()));
  std::vector<SearchHit> hits(n);
  // The list is in stable score order already unless it holds a NaN; only
  // then does the result sort have anything to do.
  bool ordered = true;
  for (size_t j = 0; j < n; ++j) {
    hits[j] = {g.id(results[j].node), results[j].score};
    if (std::isnan(hits[j].score) || (j > 0 && hits[j].score > hits[j - 1].score)) ordered = false;
  }
  if (!ordered) TopK::sort_results(hits);
  return hits;
}

std::vector<SearchHit> Hnsw::search(const QuantPipeline& pipeline, const PreparedQuery& pq, uint64_t k,
                                    Metric metric, const Allowlist* allow, uint64_t allowed) const {
  thread_local SearchScratch scratch;
  return search(pipeline, pq, k, metric, scratch, allow, allowed);
}

void Hnsw::release_construction() {
  vectors_.release();
  first_held_ = size();
  insert_scratch_ = SearchScratch();
  group_scratch_.clear();
  group_scratch_.shrink_to_fit();
  levels_.trim();
  layer0_.trim();
  layer0_scores_.trim();
  half_sq_.trim();
  // What the heap now holds free (the scratch, the blocks the code store
  // outgrew) goes back to the system too.
  return_free_heap();
}

Hnsw Hnsw::without(std::span<const uint64_t> doomed, size_t room, Metric metric,
                   const QuantPipeline& pipeline, const Execution& exec) {
  const size_t n = static_cast<size_t>(size());
  // Old node index -> new one; removed nodes map to kNoNode.
  std::vector<uint32_t> renumber(n);
  uint32_t survivors = 0;
  for (size_t i = 0; i < n; ++i) {
    const bool gone = std::binary_search(doomed.begin(), doomed.end(), store_.id(i));
    renumber[i] = gone ? kNoNode : survivors++;
  }

  Hnsw g(m_, ef_construction_, ef_search_, bytes_per_vec_, padded_dim_, selection_);
  g.ef_search_ = ef_search_;
  const size_t m = static_cast<size_t>(m_);
  g.store_.reserve_more(survivors);
  make_room(g.levels_, survivors);
  make_room(g.layer0_, count_product(survivors, 2 * m + 1));
  for (size_t i = 0; i < n; ++i) {
    if (renumber[i] != kNoNode) g.restore_node(store_.id(i), code(i), norm(i), levels_[i]);
  }

  // A repaired list looks at no more candidates than an insertion's walk
  // offers, which an insertion scratch is sized for. Each list is repaired
  // from this graph alone, so the lists are independent: they are shared
  // out among exec's threads, each with scratch of its own, and written to
  // their own slots of g.
  const size_t most = std::max(
      2 * m + 1, static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(ef_construction_, 1), n)));
  struct Repair {
    SearchScratch scratch;
    std::vector<uint32_t> seen, nodes, reached, kept;
    std::vector<float> raw;
    std::vector<HnswCandidate> candidates;
    uint32_t stamp = 0;
  };
  std::vector<Repair> repairs(exec.slots());
  for (Repair& r : repairs) {
    fit_insert_scratch(r.scratch, n);
    r.scratch.owner.q.resize(static_cast<size_t>(padded_dim_));
    if (r.scratch.batch_codes.size() < most) r.scratch.batch_codes.resize(most);
    r.seen.assign(n, 0);
    r.nodes.reserve(most);
    r.reached.reserve(n);
    r.kept.reserve(2 * m);
    r.raw.resize(most);
    r.candidates.resize(most);
  }
  const auto repair = [&](Repair& r, uint32_t owner, uint64_t layer) {
    const std::span<const uint32_t> list = neighbours(owner, layer);
    r.kept.clear();
    if (std::none_of(list.begin(), list.end(), [&](uint32_t e) { return renumber[e] == kNoNode; })) {
      for (const uint32_t e : list) r.kept.push_back(renumber[e]);
      return;
    }
    // The list's survivors, then what its removed entries linked to, then
    // what removed nodes among those linked to.
    r.seen[owner] = ++r.stamp;
    r.nodes.clear();
    r.reached.clear();
    const auto offer = [&](uint32_t v) {
      if (r.seen[v] == r.stamp) return;
      r.seen[v] = r.stamp;
      if (renumber[v] != kNoNode) {
        if (r.nodes.size() < most) r.nodes.push_back(v);
      } else {
        r.reached.push_back(v);
      }
    };
    for (const uint32_t e : list) offer(e);
    for (size_t depth = 0, from = 0; depth < 2; ++depth) {
      const size_t to = r.reached.size();
      for (size_t j = from; j < to; ++j) {
        for (const uint32_t v : neighbours(r.reached[j], layer)) {
          if (depth == 0 || renumber[v] != kNoNode) offer(v);
        }
      }
      from = to;
    }
    const size_t count = r.nodes.size();
    score_from_owner(owner, r.nodes.data(), count, r.raw.data(), pipeline, r.scratch);
    for (size_t j = 0; j < count; ++j) {
      r.candidates[j] = {r.nodes[j], similarity(metric, r.raw[j], norm(r.nodes[j]))};
    }
    const size_t keep = select_neighbours({r.candidates.data(), count}, static_cast<size_t>(capacity(layer)),
                                          owner, metric, pipeline, r.scratch);
    for (size_t j = 0; j < keep; ++j) r.kept.push_back(renumber[r.candidates[j].node]);
  };
  constexpr size_t kNodesPerTask = 256;
  parallel_for(exec, (n + kNodesPerTask - 1) / kNodesPerTask, [&](size_t task, size_t slot) {
    Repair& r = repairs[slot];
    for (size_t u = task * kNodesPerTask; u < std::min(n, (task + 1) * kNodesPerTask); ++u) {
      if (renumber[u] == kNoNode) continue;
      for (uint64_t layer = 0; layer <= levels_[u]; ++layer) {
        repair(r, static_cast<uint32_t>(u), layer);
        g.restore_neighbours(renumber[u], layer, r.kept);
      }
    }
  });
  repairs.clear();

  // The entry point, or the first survivor of the highest level left.
  std::optional<uint32_t> entry;
  uint64_t top = 0;
  if (entry_point_ && renumber[*entry_point_] != kNoNode) {
    entry = renumber[*entry_point_];
    top = max_level_;
  } else {
    for (size_t i = 0; i < n; ++i) {
      if (renumber[i] != kNoNode && (!entry || levels_[i] > top)) {
        entry = renumber[i];
        top = levels_[i];
      }
    }
  }
  if (!g.finish_restore(entry, top)) throw std::logic_error("Hnsw::without: the repaired graph is unsound");

  if (selection_ == HnswSelection::Diverse && survivors > 1) {
    // Nodes the removal left in no layer-0 list are linked back in.
    const auto named = [](const Hnsw& graph, size_t node) {
      return graph.layer0_[node * (2 * graph.m_ + 1)] >> 16 != 0;
    };
    g.fit_insert_scratch(survivors);
    for (size_t i = 0; i < n; ++i) {
      const uint32_t v = renumber[i];
      if (v == kNoNode || !named(*this, i) || named(g, v)) continue;
      const std::span<const uint32_t> own = g.neighbours(v, 0);
      if (!own.empty()) g.link(own[0], 0, v, 0.0f, metric, pipeline);
    }
    // A group of nodes may still have lost its every way in (each names the
    // others, and the lists that led to it chose other neighbours). Every
    // survivor a search could reach before is made reachable again: linked
    // from the first node with room among those a walk towards it meets.
    const std::vector<uint8_t> before = reachable();
    std::vector<uint8_t> now = g.reachable();
    SearchScratch& s = g.insert_scratch_;
    std::vector<float> form(static_cast<size_t>(padded_dim_));
    for (size_t i = 0; i < n; ++i) {
      const uint32_t v = renumber[i];
      if (v == kNoNode || !before[i] || now[v]) continue;
      pipeline.dequantize_into(code(static_cast<uint32_t>(i)), form.data());
      const PreparedQuery pq = pipeline.prepare_query(form);
      const SearchScorer<Hnsw> scorer(g, s, pipeline, pq, metric);
      const WalkStart ep = g.descend(scorer, s, *g.entry_point_, g.max_level_, 0);
      g.walk(scorer, s, ep.node, std::max<uint64_t>(ef_construction_, 1), 0, EveryNode{}, ep.known());
      uint32_t to = s.results.front().node;
      for (const HnswCandidate& c : s.results) {
        if ((g.layer0_[static_cast<size_t>(c.node) * (2 * m + 1)] & kCountMask) < 2 * m) {
          to = c.node;
          break;
        }
      }
      g.link(to, 0, v, 0.0f, metric, pipeline);
      g.mark_reachable(v, now);
    }
  }
  g.reserve(room);
  return g;
}

std::vector<uint8_t> Hnsw::reachable() const {
  std::vector<uint8_t> reached(static_cast<size_t>(size()), 0);
  if (entry_point_) mark_reachable(*entry_point_, reached);
  return reached;
}

void Hnsw::mark_reachable(uint32_t from, std::vector<uint8_t>& reached) const {
  if (reached[from]) return;
  std::vector<uint32_t> stack{from};
  reached[from] = 1;
  while (!stack.empty()) {
    const uint32_t node = stack.back();
    stack.pop_back();
    for (uint64_t layer = 0; layer <= levels_[node]; ++layer) {
      for (const uint32_t next : neighbours(node, layer)) {
        if (!reached[next]) {
          reached[next] = 1;
          stack.push_back(next);
        }
      }
    }
  }
}

bool Hnsw::restore_node(uint64_t id, const uint8_t* code, float norm, uint64_t level) {
  if (level > kMaxLevel) return false;
  const bool nearest = selection_ == HnswSelection::Nearest;
  vectors_.release();
  first_held_ = size();
  if (nearest) make_room(half_sq_, half_sq_.size() + 1);
  append_node(id, code, norm, level);
  if (nearest) half_sq_.push_back(0.0f);  // derived from the code at the next insertion
  first_held_ = size();
  return true;
}

bool Hnsw::restore_neighbours(uint32_t node, uint64_t layer, std::span<const uint32_t> nodes) {
  if (node >= size() || layer > levels_[node] || nodes.size() > capacity(layer)) {
    return false;
  }
  uint32_t* slot = list_slot(node, layer);
  std::copy(nodes.begin(), nodes.end(), slot + 1);
  slot[0] = static_cast<uint32_t>(nodes.size());
  if (selection_ == HnswSelection::Nearest) std::fill_n(list_scores(node, layer), nodes.size(), 0.0f);
  return true;
}

bool Hnsw::finish_restore(std::optional<uint32_t> entry_point, uint64_t max_level) {
  if (!restored_graph_is_sound(entry_point, max_level)) {
    // Nothing of an unsound graph is kept: walks would follow its lists.
    const uint64_t ef_search = ef_search_;
    *this = Hnsw(m_, ef_construction_, ef_search, bytes_per_vec_, padded_dim_, selection_);
    ef_search_ = ef_search;
    return false;
  }
  entry_point_ = entry_point;
  max_level_ = entry_point ? max_level : 0;
  if (selection_ == HnswSelection::Nearest) {
    unscored_below_ = size();
  } else {
    for (uint32_t node = 0; node < size(); ++node) {
      for (const uint32_t e : neighbours(node, 0)) add_in_link(e, 1);
    }
  }
  return true;
}

void Hnsw::rescore_restored_lists(Metric metric, const QuantPipeline& pipeline) {
  // Restored nodes have no float vectors (first_held_ is past them), so the
  // scorer reads their codes; their L2 offsets are already up to date.
  std::vector<float> owner(static_cast<size_t>(padded_dim_));
  for (uint32_t n = 0; n < unscored_below_; ++n) {
    pipeline.dequantize_into(code(n), owner.data());
    const PreparedQuery pq = pipeline.prepare_query(owner);
    const ConstructionScorer scorer(*this, insert_scratch_, owner.data(), &pq, metric, pipeline);
    for (uint64_t layer = 0; layer <= levels_[n]; ++layer) {
      const uint32_t* slot = list_slot(n, layer);
      float* scores = list_scores(n, layer);
      for (uint32_t j = 0; j < (slot[0] & kCountMask); ++j) scores[j] = scorer.score(slot[1 + j]);
    }
  }
  unscored_below_ = 0;
}

bool Hnsw::restored_graph_is_sound(std::optional<uint32_t> entry_point, uint64_t max_level) const {
  return graph_is_sound(*this, entry_point, max_level);
}

template <class Graph>
bool Hnsw::graph_is_sound(const Graph& g, std::optional<uint32_t> entry_point, uint64_t max_level) {
  const size_t n = static_cast<size_t>(g.size());
  if (entry_point.has_value() != (n > 0)) return false;
  if (entry_point && (*entry_point >= n || g.level(*entry_point) != max_level)) return false;
  // Walks index nodes by the list entries without further checks, and
  // insertion writes back-links into the named node's list on that layer.
  for (uint32_t node = 0; node < n; ++node) {
    const uint64_t top = g.level(node);
    for (uint64_t layer = 0; layer <= top; ++layer) {
      const auto list = g.neighbours(node, layer);
      for (size_t j = 0; j < list.size(); ++j) {
        const uint32_t e = list[j];
        if (e >= n || g.level(e) < layer) return false;
      }
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// HnswView

HnswView::HnswView(uint64_t m, uint64_t ef_search, uint64_t bytes_per_vec, std::span<const uint8_t> file,
                   std::vector<uint64_t> record_at, std::optional<uint32_t> entry_point, uint64_t max_level)
    : m_(m),
      ef_search_(ef_search == 0 ? 2 * m : ef_search),
      bytes_(static_cast<size_t>(bytes_per_vec)),
      base_(file.data()),
      file_bytes_(file.size()),
      record_at_(std::move(record_at)),
      entry_point_(entry_point),
      max_level_(max_level) {}

bool HnswView::is_sound() const { return Hnsw::graph_is_sound(*this, entry_point_, max_level_); }

HnswView::Links HnswView::neighbours(uint32_t node, uint64_t layer) const {
  const uint8_t* r = record(node);
  const uint64_t top = r[8 + bytes_ + 4] - 1u;
  if (layer > top) return {};
  const uint8_t* list = r + 8 + bytes_ + 5;
  for (uint64_t l = 0; l < layer; ++l) {
    uint16_t count;
    std::memcpy(&count, list, sizeof count);
    list += 2 + 4 * size_t{count};
  }
  uint16_t count;
  std::memcpy(&count, list, sizeof count);
  return {list + 2, count};
}

void HnswView::prefetch_links(uint32_t node) const {
  // As far as a full list would reach, but not past the file.
  const size_t at = static_cast<size_t>(record_at_[node]) + 8 + bytes_ + 5;
  prefetch_bytes(base_ + at, std::min(2 + 8 * static_cast<size_t>(m_), file_bytes_ - at));
}

std::vector<SearchHit> HnswView::search(const QuantPipeline& pipeline, const PreparedQuery& pq, uint64_t k,
                                        Metric metric, const Allowlist* allow, uint64_t allowed) const {
  thread_local Hnsw::SearchScratch scratch;
  return Hnsw::search_graph(*this, pipeline, pq, k, metric, scratch, allow, allowed);
}

}  // namespace teskra
