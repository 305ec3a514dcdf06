#include "core/search/hnsw.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "core/search/float_dot.h"
#include "core/search/similarity.h"
#include "core/search/topk.h"

namespace teskra {

namespace {

// ---------------------------------------------------------------------------
// Ordering rules of the walk.

// A walk's candidates and results are (node, score) pairs like list entries.
using Candidate = HnswNeighbour;

// The candidate heap: higher score first, and among equal (or unordered,
// NaN) scores the larger node index first.
inline bool above(const Candidate& a, const Candidate& b) {
  if (a.score > b.score) return true;
  if (b.score > a.score) return false;
  return a.node > b.node;
}

void heap_push(std::vector<Candidate>& h, Candidate c) {
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

Candidate heap_pop(std::vector<Candidate>& h) {
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
    const auto pos = std::upper_bound(list.begin(), list.end(), c,
                                      [](const Candidate& a, const Candidate& b) {
                                        return a.score > b.score;
                                      });
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

inline void prefetch_list(std::span<const HnswNeighbour> list) {
  const char* p = reinterpret_cast<const char*>(list.data());
  const size_t bytes = list.size() * sizeof(HnswNeighbour);
  for (size_t off = 0; off < bytes; off += 64) __builtin_prefetch(p + off);
}

// Makes room for `need` elements with the usual geometric growth, so that
// the appends that follow cannot throw. std::bad_alloc for a need no vector
// can hold.
template <class Vec>
void make_room(Vec& v, size_t need) {
  if (need > v.max_size()) throw std::bad_alloc();
  if (v.capacity() < need) v.reserve(std::max(need, std::min(v.max_size(), 2 * v.capacity())));
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

// Insertion: dot products with the float vectors. A node whose vector was
// released takes part through its code: the inner product with the code's
// centroid values is what the scoring kernels compute, on 8 to 16 times
// fewer bytes than a float vector. L2 subtracts half the squared norm of
// whichever form the node has (half_sq_).
class Hnsw::ConstructionScorer {
 public:
  // pq: the query prepared for the kernels; needed only when some node has
  // no float vector.
  ConstructionScorer(const Hnsw& g, SearchScratch& scratch, const float* q, const PreparedQuery* pq,
                     Metric metric, const QuantPipeline& pipeline)
      : g_(g), s_(scratch), q_(q), pq_(pq), l2_(metric == Metric::L2), pipeline_(pipeline),
        p_(static_cast<size_t>(g.padded_dim_)), first_held_(static_cast<size_t>(g.first_held_)) {}

  float score(uint32_t node) const {
    const float s = node >= first_held_ ? float_dot(q_, row(node), p_)
                                        : pipeline_.score(q_, g_.code(node));
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
  const float* row(uint32_t node) const {
    return g_.vectors_.data() + (node - first_held_) * p_;
  }

  const Hnsw& g_;
  SearchScratch& s_;
  const float* q_;
  const PreparedQuery* pq_;
  bool l2_;
  const QuantPipeline& pipeline_;
  size_t p_;
  size_t first_held_;
};

// Search: the packed codes through the pipeline's kernels, turned into the
// metric's similarity with the stored norm, as the exhaustive scan does.
class Hnsw::SearchScorer {
 public:
  SearchScorer(const Hnsw& g, SearchScratch& scratch, const QuantPipeline& pipeline,
               const PreparedQuery& pq, Metric metric)
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
  const Hnsw& g_;
  SearchScratch& s_;
  const QuantPipeline& pipeline_;
  const PreparedQuery& pq_;
  Metric metric_;
};

// ---------------------------------------------------------------------------

Hnsw::Hnsw(uint64_t m, uint64_t ef_construction, uint64_t ef_search, uint64_t bytes_per_vec,
           uint64_t padded_dim)
    : m_(m),
      ef_construction_(ef_construction),
      ef_search_(ef_search == 0 ? 2 * m : ef_search),
      bytes_per_vec_(bytes_per_vec),
      padded_dim_(padded_dim),
      ml_(ml_for(m)),
      store_(bytes_per_vec) {
  if (m < 2 || m > (uint64_t{1} << 31)) {
    throw std::invalid_argument("hnsw m must lie in [2, 2^31]");
  }
}

double Hnsw::ml_for(uint64_t m) {
  return 1.0 / std::max(std::log(static_cast<double>(m)), 1e-9);
}

uint64_t Hnsw::level_for(uint64_t node_index, double ml) {
  const uint64_t x = node_index * 0x5851F42D4C957F2DULL + 0x6C576FAC43FD007CULL;
  const double u = static_cast<double>(x >> 11) * 0x1.0p-53;
  const double level = -std::log(u) * ml;
  // Converting a double at or beyond 2^64 (or inf, from u = 0) to an integer
  // is undefined; no real graph comes near it.
  if (!(level < 0x1.0p64)) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(level);
}

HnswNeighbour* Hnsw::list_data(uint32_t node, uint64_t layer) {
  if (layer == 0) return layer0_.data() + static_cast<size_t>(node) * 2 * m_;
  return upper_.data() + (upper_first_[node] + (layer - 1)) * m_;
}

uint32_t& Hnsw::list_count(uint32_t node, uint64_t layer) {
  if (layer == 0) return layer0_count_[node];
  return upper_count_[upper_first_[node] + (layer - 1)];
}

uint32_t Hnsw::append_node(uint64_t id, const uint8_t* code, float norm, uint64_t level) {
  const size_t i = static_cast<size_t>(size());
  // 0xFFFFFFFF stays free to mean "no node" (an empty graph's entry point).
  if (i >= kMaxNodes) throw std::length_error(kGraphFull);
  const size_t m = static_cast<size_t>(m_);
  const size_t up = static_cast<size_t>(level);
  // Every array grows first; if one allocation fails the graph is unchanged.
  store_.reserve_more(1);
  make_room(levels_, i + 1);
  make_room(layer0_, layer0_.size() + 2 * m);
  make_room(layer0_count_, i + 1);
  make_room(upper_first_, i + 1);
  make_room(upper_, upper_.size() + up * m);
  make_room(upper_count_, upper_count_.size() + up);

  store_.append(id, code, norm);
  levels_.push_back(static_cast<uint8_t>(level));
  layer0_.resize(layer0_.size() + 2 * m);
  layer0_count_.push_back(0);
  upper_first_.push_back(upper_count_.size());
  upper_.resize(upper_.size() + up * m);
  upper_count_.resize(upper_count_.size() + up, 0);
  return static_cast<uint32_t>(i);
}

void Hnsw::reserve(size_t count) {
  const uint64_t n = size();
  if (count > kMaxNodes - n) throw std::length_error(kGraphFull);
  const size_t total = static_cast<size_t>(n) + count;
  const size_t m = static_cast<size_t>(m_);
  // The arrays whose growth is known without looking at levels first: when
  // memory is short for a huge count, this fails before the level loop.
  store_.reserve_more(count);
  make_room(layer0_, count_sum(layer0_.size(), count_product(count, 2 * m)));
  make_room(layer0_count_, total);
  make_room(levels_, total);
  make_room(upper_first_, total);
  uint64_t slots = 0;
  for (uint64_t i = n; i < total; ++i) slots += std::min(level_for(i, ml_), kMaxLevel);
  const size_t up = static_cast<size_t>(slots);
  make_room(upper_, count_sum(upper_.size(), count_product(up, m)));
  make_room(upper_count_, count_sum(upper_count_.size(), up));
  make_room(vectors_, count_sum(vectors_.size(), count_product(count, static_cast<size_t>(padded_dim_))));
  make_room(half_sq_, total);
  // The walks of those insertions.
  SearchScratch& s = insert_scratch_;
  make_room(s.visited, total);
  make_room(s.heap, total);
  make_room(s.results, static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(ef_construction_, 1), total)) + 1);
}

void Hnsw::fit_scratch(SearchScratch& s, uint64_t nodes, uint64_t ef, uint64_t heap_room) const {
  // Every list a walk expands is scored as one batch.
  const size_t batch = static_cast<size_t>(2 * m_);
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

template <class Scorer>
void Hnsw::walk(const Scorer& scorer, SearchScratch& s, uint32_t entry, uint64_t ef,
                uint64_t layer) const {
  if (++s.generation == 0) {
    // The stamps wrapped: old stamps could now collide with new ones.
    std::fill(s.visited.begin(), s.visited.end(), 0);
    s.generation = 1;
  }
  const uint32_t gen = s.generation;
  uint32_t* visited = s.visited.data();
  std::vector<Candidate>& results = s.results;
  std::vector<Candidate>& heap = s.heap;
  results.clear();
  heap.clear();

  const float entry_score = scorer.score(entry);
  visited[entry] = gen;
  heap_push(heap, {entry, entry_score});
  results.push_back({entry, entry_score});
  size_t nans = std::isnan(entry_score) ? 1 : 0;  // NaN scores in results
  bool saw_nan = nans != 0;                         // any NaN pushed so far

  uint32_t* batch = s.batch_nodes.data();
  float* scores = s.batch_scores.data();
  uint64_t pops = 0;
  while (!heap.empty()) {
    const Candidate c = heap_pop(heap);
    ++pops;
    const float worst = lowest_score(results, nans);
    if (c.score < worst && pops > ef) break;
    const std::span<const HnswNeighbour> list = neighbours(c.node, layer);
    // The best remaining candidate is likely the next one expanded: start
    // loading its list now, while this node's neighbours are scored.
    if (!heap.empty()) prefetch_list(neighbours(heap.front().node, layer));
    // Branch-free: whether a neighbour was seen is close to a coin flip,
    // which a branch would mispredict half the time.
    size_t n = 0;
    for (const HnswNeighbour& e : list) {
      const bool fresh = visited[e.node] != gen;
      visited[e.node] = gen;
      batch[n] = e.node;
      n += fresh;
    }
    if (n == 0) continue;
    scorer.score_batch(batch, n, scores);
    // worst stays as computed at the pop for all of this node's neighbours.
    for (size_t j = 0; j < n; ++j) {
      const Candidate nc{batch[j], scores[j]};
      const bool admit = results.size() < ef || nc.score > worst;
      if (!admit) {
        // Turned away, so the list holds at least ef entries. If the
        // candidate scores strictly below everything in the list now, it can
        // never be expanded: the list's lowest score only grows from here
        // on, every list entry scores above it and entered the heap when
        // admitted, so all of them leave the heap first; by then more than
        // ef pops are done and its own pop ends the walk. So it stays out of
        // the heap, which ends the walk in the same place. Most candidates
        // of a long walk are of this kind. (The test is against the list as
        // it is now, not against worst: worst was taken at the pop and is
        // higher when the list was still filling then.) A NaN anywhere would
        // leave the heap order ill-defined, so then every candidate goes in.
        if (saw_nan || !(nc.score < lowest_score(results, nans))) heap_push(heap, nc);
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

void Hnsw::link(uint32_t to, uint64_t layer, uint32_t node, float score) {
  HnswNeighbour* list = list_data(to, layer);
  uint32_t& count = list_count(to, layer);
  const size_t cap = static_cast<size_t>(capacity(layer));
  // The new node never appears in an older node's list yet: it received no
  // links before this insertion, and a walk names each node once.
  if (count < cap) {
    list[count++] = {node, score};
    return;
  }
  // Full: the held entries and the newcomer, arriving last, compete for the
  // slots. The newcomer may lose at once, which drops the link again.
  HnswNeighbour* all = insert_scratch_.overflow.data();
  std::copy_n(list, cap, all);
  all[cap] = {node, score};
  const size_t keep = select_neighbours({all, cap + 1}, cap);
  std::copy_n(all, keep, list);
  count = static_cast<uint32_t>(keep);
}

size_t Hnsw::select_neighbours(std::span<HnswNeighbour> candidates, size_t capacity) {
  // Best first by a stable insertion sort: no allocation, and no more than a
  // pass of comparisons over candidates that are in order already, as a
  // walk's results always are and a list is after its first overflow (but
  // for the newcomer at its end). With NaN scores there is no order to speak
  // of; each entry then stays behind the nearest one before it that it does
  // not beat.
  HnswNeighbour* c = candidates.data();
  const size_t n = candidates.size();
  size_t i = 1;
  while (i < n && !(c[i].score > c[i - 1].score)) ++i;  // a leading run in order stays
  for (; i < n; ++i) {
    const HnswNeighbour e = c[i];
    size_t j = i;
    while (j > 0 && e.score > c[j - 1].score) {
      c[j] = c[j - 1];
      --j;
    }
    c[j] = e;
  }
  return std::min(capacity, n);
}

void Hnsw::insert(uint64_t id, const uint8_t* code, float norm, std::span<const float> vector,
                  Metric metric, const QuantPipeline& pipeline) {
  const uint64_t n = size();
  if (n >= kMaxNodes) throw std::length_error(kGraphFull);
  const size_t p = static_cast<size_t>(padded_dim_);
  const uint32_t i = static_cast<uint32_t>(n);
  const uint64_t level = std::min(level_for(i, ml_), kMaxLevel);

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
  // A walk queues each node at most once.
  fit_scratch(insert_scratch_, n + 1, std::max<uint64_t>(ef_construction_, 1), n + 1);
  const size_t overflow = static_cast<size_t>(2 * m_) + 1;
  if (insert_scratch_.overflow.size() < overflow) insert_scratch_.overflow.resize(overflow);
  append_node(id, code, norm, level);
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
  ConstructionScorer scorer(*this, s, q, pq ? &*pq : nullptr, metric, pipeline);
  uint32_t ep = *entry_point_;
  const uint64_t top = max_level_;
  for (uint64_t lc = top; lc > level; --lc) {
    walk(scorer, s, ep, 1, lc);
    if (!s.results.empty()) ep = s.results.front().node;
  }
  for (uint64_t lc = std::min(level, top) + 1; lc-- > 0;) {
    walk(scorer, s, ep, ef_construction_, lc);
    if (s.results.empty()) continue;
    ep = s.results.front().node;
    const size_t keep = select_neighbours(s.results, static_cast<size_t>(capacity(lc)));
    std::copy_n(s.results.data(), keep, list_data(i, lc));
    list_count(i, lc) = static_cast<uint32_t>(keep);
    for (size_t j = 0; j < keep; ++j) {
      const HnswNeighbour& chosen = s.results[j];
      // Sound graphs only link nodes that have this layer; a restored one
      // is checked for that, this keeps a write in bounds regardless.
      if (levels_[chosen.node] >= lc) link(chosen.node, lc, i, chosen.score);
    }
  }
  if (level > top) {
    entry_point_ = i;
    max_level_ = level;
  }
}

std::vector<SearchHit> Hnsw::search(const QuantPipeline& pipeline, const PreparedQuery& pq,
                                    uint64_t k, Metric metric, SearchScratch& scratch) const {
  if (k == 0 || !entry_point_) return {};
  const uint64_t ef = std::max(ef_search_, k);
  fit_scratch(scratch, size(), ef, 0);
  SearchScorer scorer(*this, scratch, pipeline, pq, metric);
  const std::vector<Candidate>& results = scratch.results;
  uint32_t ep = *entry_point_;
  for (uint64_t lc = max_level_; lc >= 1; --lc) {
    walk(scorer, scratch, ep, 1, lc);
    if (!results.empty()) ep = results.front().node;
  }
  walk(scorer, scratch, ep, ef, 0);
  const size_t n = static_cast<size_t>(std::min<uint64_t>(k, results.size()));
  std::vector<SearchHit> hits(n);
  // The list is in stable score order already unless it holds a NaN; only
  // then does the result sort have anything to do.
  bool ordered = true;
  for (size_t j = 0; j < n; ++j) {
    hits[j] = {id(results[j].node), results[j].score};
    if (std::isnan(hits[j].score) || (j > 0 && hits[j].score > hits[j - 1].score)) ordered = false;
  }
  if (!ordered) TopK::sort_results(hits);
  return hits;
}

std::vector<SearchHit> Hnsw::search(const QuantPipeline& pipeline, const PreparedQuery& pq,
                                    uint64_t k, Metric metric) const {
  thread_local SearchScratch scratch;
  return search(pipeline, pq, k, metric, scratch);
}

void Hnsw::release_vectors() {
  BigArray<float>().swap(vectors_);
  first_held_ = size();
}

bool Hnsw::restore_node(uint64_t id, const uint8_t* code, float norm, uint64_t level) {
  if (level > kMaxLevel) return false;
  release_vectors();
  make_room(half_sq_, half_sq_.size() + 1);
  append_node(id, code, norm, level);
  half_sq_.push_back(0.0f);  // derived from the code at the next insertion
  first_held_ = size();
  return true;
}

bool Hnsw::restore_neighbours(uint32_t node, uint64_t layer, std::span<const uint32_t> nodes) {
  if (node >= size() || layer > levels_[node] || nodes.size() > capacity(layer)) {
    return false;
  }
  HnswNeighbour* list = list_data(node, layer);
  for (size_t j = 0; j < nodes.size(); ++j) list[j] = {nodes[j], 0.0f};
  list_count(node, layer) = static_cast<uint32_t>(nodes.size());
  return true;
}

bool Hnsw::finish_restore(std::optional<uint32_t> entry_point, uint64_t max_level) {
  if (!restored_graph_is_sound(entry_point, max_level)) {
    // Nothing of an unsound graph is kept: walks would follow its lists.
    const uint64_t ef_search = ef_search_;
    *this = Hnsw(m_, ef_construction_, ef_search, bytes_per_vec_, padded_dim_);
    ef_search_ = ef_search;
    return false;
  }
  entry_point_ = entry_point;
  max_level_ = entry_point ? max_level : 0;
  unscored_below_ = size();
  return true;
}

void Hnsw::rescore_restored_lists(Metric metric, const QuantPipeline& pipeline) {
  // Restored nodes have no float vectors (first_held_ is past them), so the
  // scorer reads their codes; their L2 offsets are already up to date.
  std::vector<float> owner(static_cast<size_t>(padded_dim_));
  for (uint32_t n = 0; n < unscored_below_; ++n) {
    pipeline.dequantize_into(code(n), owner.data());
    const PreparedQuery pq = pipeline.prepare_query(owner);
    ConstructionScorer scorer(*this, insert_scratch_, owner.data(), &pq, metric, pipeline);
    for (uint64_t layer = 0; layer <= levels_[n]; ++layer) {
      HnswNeighbour* list = list_data(n, layer);
      const uint32_t count = list_count(n, layer);
      for (uint32_t j = 0; j < count; ++j) list[j].score = scorer.score(list[j].node);
    }
  }
  unscored_below_ = 0;
}

bool Hnsw::restored_graph_is_sound(std::optional<uint32_t> entry_point,
                                   uint64_t max_level) const {
  const size_t n = static_cast<size_t>(size());
  if (entry_point.has_value() != (n > 0)) return false;
  if (entry_point && (*entry_point >= n || levels_[*entry_point] != max_level)) return false;
  // Walks index nodes by the list entries without further checks, and
  // insertion writes back-links into the named node's list on that layer.
  for (uint32_t node = 0; node < n; ++node) {
    for (uint64_t layer = 0; layer <= levels_[node]; ++layer) {
      for (const HnswNeighbour& e : neighbours(node, layer)) {
        if (e.node >= n || levels_[e.node] < layer) return false;
      }
    }
  }
  return true;
}

}  // namespace teskra
