#include "core/search/hnsw.h"


#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "core/search/brute.h"
#include "core/search/float_dot.h"
#include "core/search/topk.h"

namespace teskra {

namespace {

// ---------------------------------------------------------------------------
// Ordering rules of the walk.

using Candidate = Hnsw::Candidate;

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

// Stable and allocation-free. A list is sorted from scratch only the first
// time it overflows; after that it stays sorted and each overflow is a
// single pass.
void sort_by_score_desc(HnswNeighbour* list, size_t n) {
  for (size_t i = 1; i < n; ++i) {
    const HnswNeighbour e = list[i];
    size_t j = i;
    while (j > 0 && e.score > list[j - 1].score) {
      list[j] = list[j - 1];
      --j;
    }
    list[j] = e;
  }
}

inline void prefetch_list(std::span<const HnswNeighbour> list) {
  const char* p = reinterpret_cast<const char*>(list.data());
  const size_t bytes = list.size() * sizeof(HnswNeighbour);
  for (size_t off = 0; off < bytes; off += 64) __builtin_prefetch(p + off);
}

// Makes room for `need` elements with the usual geometric growth, so that
// the appends that follow cannot throw.
template <class Vec>
void make_room(Vec& v, size_t need) {
  if (v.capacity() < need) v.reserve(std::max(need, 2 * v.capacity()));
}

// Levels are stored in a byte; a node of level 255 or more needs m < 2.
constexpr uint64_t kMaxLevel = 254;

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
  ConstructionScorer(const Hnsw& g, const float* q, const PreparedQuery* pq, Metric metric,
                     const QuantPipeline& pipeline)
      : g_(g), q_(q), pq_(pq), l2_(metric == Metric::L2), pipeline_(pipeline),
        p_(static_cast<size_t>(g.padded_dim_)), first_held_(static_cast<size_t>(g.first_held_)) {}

  float score(uint32_t node) const {
    const float s = node >= first_held_ ? float_dot(q_, row(node), p_)
                                        : pipeline_.score(q_, g_.code(node));
    return l2_ ? s - g_.half_sq_[node] : s;
  }

  // Held vectors are read side by side so their memory loads overlap;
  // released nodes go through the kernels as one batch of codes.
  void score_batch(const uint32_t* nodes, size_t n, float* out) const {
    const float** rows = g_.batch_rows_.data();
    const uint8_t** codes = g_.batch_codes_.data();
    uint32_t* row_slot = g_.batch_slots_.data();
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
    float* tmp = g_.batch_dots_.data();
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
  SearchScorer(const Hnsw& g, const QuantPipeline& pipeline, const PreparedQuery& pq,
               Metric metric)
      : g_(g), pipeline_(pipeline), pq_(pq), metric_(metric) {}

  float score(uint32_t node) const {
    return similarity(metric_, pipeline_.score(pq_.q.data(), g_.code(node)), g_.norms_[node]);
  }

  // One kernel call for the whole batch: the kernels give each code the bits
  // of a one-code call, so this equals scoring the nodes one by one.
  void score_batch(const uint32_t* nodes, size_t n, float* out) const {
    const uint8_t** ptrs = g_.batch_codes_.data();
    for (size_t j = 0; j < n; ++j) ptrs[j] = g_.code(nodes[j]);
    simd::CodeBatch batch;
    batch.ptrs = ptrs;
    batch.n = n;
    pipeline_.score_batch(pq_, batch, out);
    for (size_t j = 0; j < n; ++j) out[j] = similarity(metric_, out[j], g_.norms_[nodes[j]]);
  }

 private:
  const Hnsw& g_;
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
      ml_(ml_for(m)) {
  if (m < 2 || m > (uint64_t{1} << 31)) {
    throw std::invalid_argument("hnsw m must lie in [2, 2^31]");
  }
  // Every list a walk expands is scored as one batch.
  batch_nodes_.resize(2 * m);
  batch_scores_.resize(2 * m);
  batch_codes_.resize(2 * m);
  batch_rows_.resize(2 * m);
  batch_slots_.resize(4 * m);
  batch_dots_.resize(2 * m);
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
  const size_t i = ids_.size();
  // 0xFFFFFFFF stays free to mean "no node" (an empty graph's entry point).
  if (i >= std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
  const size_t bytes = static_cast<size_t>(bytes_per_vec_);
  const size_t m = static_cast<size_t>(m_);
  const size_t up = static_cast<size_t>(level);
  // Every array grows first; if one allocation fails the graph is unchanged.
  make_room(codes_, codes_.size() + bytes);
  make_room(ids_, i + 1);
  make_room(norms_, i + 1);
  make_room(levels_, i + 1);
  make_room(layer0_, layer0_.size() + 2 * m);
  make_room(layer0_count_, i + 1);
  make_room(upper_first_, i + 1);
  make_room(upper_, upper_.size() + up * m);
  make_room(upper_count_, upper_count_.size() + up);
  make_room(visited_, i + 1);

  codes_.insert(codes_.end(), code, code + bytes);
  ids_.push_back(id);
  norms_.push_back(norm);
  levels_.push_back(static_cast<uint8_t>(level));
  layer0_.resize(layer0_.size() + 2 * m);
  layer0_count_.push_back(0);
  upper_first_.push_back(upper_count_.size());
  upper_.resize(upper_.size() + up * m);
  upper_count_.resize(upper_count_.size() + up, 0);
  visited_.resize(std::max(visited_.size(), i + 1), 0);
  return static_cast<uint32_t>(i);
}

void Hnsw::new_visit_generation() const {
  if (visited_.size() < ids_.size()) visited_.resize(ids_.size(), 0);
  if (++generation_ == 0) {
    // The stamps wrapped: old stamps could now collide with new ones.
    std::fill(visited_.begin(), visited_.end(), 0);
    generation_ = 1;
  }
}

template <class Scorer>
void Hnsw::walk(Scorer& scorer, uint32_t entry, uint64_t ef, uint64_t layer) const {
  new_visit_generation();
  const uint32_t gen = generation_;
  std::vector<Candidate>& results = walk_results_;
  std::vector<Candidate>& heap = heap_;
  results.clear();
  heap.clear();
  // Room for the list, but never for more than the graph holds: ef may be a
  // caller's k of 2^64 - 1.
  results.reserve(static_cast<size_t>(std::min<uint64_t>(ef, ids_.size())) + 1);

  const float entry_score = scorer.score(entry);
  visited_[entry] = gen;
  heap_push(heap, {entry_score, entry});
  results.push_back({entry_score, entry});
  size_t nans = std::isnan(entry_score) ? 1 : 0;  // NaN scores in results
  bool saw_nan = nans != 0;                         // any NaN pushed so far

  uint32_t* batch = batch_nodes_.data();
  float* scores = batch_scores_.data();
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
      const bool fresh = visited_[e.node] != gen;
      visited_[e.node] = gen;
      batch[n] = e.node;
      n += fresh;
    }
    if (n == 0) continue;
    scorer.score_batch(batch, n, scores);
    // worst stays as computed at the pop for all of this node's neighbours.
    for (size_t j = 0; j < n; ++j) {
      const Candidate nc{scores[j], batch[j]};
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
  // Full: sort the cap + 1 entries by score, highest first (stable: the
  // newcomer, arriving last, goes after equal scores) and drop the last.
  // Sorting the held entries first and then placing the newcomer gives the
  // same order, and the newcomer needs no slot of its own.
  sort_by_score_desc(list, cap);
  size_t pos = cap;
  while (pos > 0 && score > list[pos - 1].score) --pos;
  if (pos == cap) return;  // it scores lowest: the link is dropped again
  std::memmove(list + pos + 1, list + pos, (cap - 1 - pos) * sizeof(HnswNeighbour));
  list[pos] = {node, score};
}

void Hnsw::insert(uint64_t id, const uint8_t* code, float norm, std::span<const float> vector,
                  Metric metric, const QuantPipeline& pipeline) {
  const size_t p = static_cast<size_t>(padded_dim_);
  const uint32_t i = static_cast<uint32_t>(ids_.size());
  const uint64_t level = std::min(level_for(i, ml_), kMaxLevel);

  // Nodes that lost their float vectors (released or restored) since the
  // last insertion: their L2 offset now comes from their codes.
  if (code_half_sq_done_ < first_held_) {
    std::vector<float> d(p);
    for (uint64_t n = code_half_sq_done_; n < first_held_; ++n) {
      pipeline.dequantize_into(this->code(static_cast<uint32_t>(n)), d.data());
      half_sq_[n] = 0.5f * float_dot(d.data(), d.data(), p);
    }
    code_half_sq_done_ = first_held_;
  }
  if (unscored_below_ > 0) rescore_restored_lists(metric, pipeline);

  // Room first: if memory runs out the graph stays unchanged.
  const size_t row = vectors_.size();
  make_room(vectors_, row + p);
  make_room(half_sq_, half_sq_.size() + 1);
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

  std::optional<PreparedQuery> pq;
  if (first_held_ > 0) pq = pipeline.prepare_query(std::vector<float>(q, q + p));
  ConstructionScorer scorer(*this, q, pq ? &*pq : nullptr, metric, pipeline);
  uint32_t ep = *entry_point_;
  const uint64_t top = max_level_;
  for (uint64_t lc = top; lc > level; --lc) {
    walk(scorer, ep, 1, lc);
    if (!walk_results_.empty()) ep = walk_results_.front().node;
  }
  for (uint64_t lc = std::min(level, top) + 1; lc-- > 0;) {
    walk(scorer, ep, ef_construction_, lc);
    const size_t keep = std::min<size_t>(capacity(lc), walk_results_.size());
    HnswNeighbour* own = list_data(i, lc);
    for (size_t j = 0; j < keep; ++j) own[j] = {walk_results_[j].node, walk_results_[j].score};
    list_count(i, lc) = static_cast<uint32_t>(keep);
    for (size_t j = 0; j < keep; ++j) {
      const uint32_t n = walk_results_[j].node;
      // Sound graphs only link nodes that have this layer; a restored one
      // is checked for that, this keeps a write in bounds regardless.
      if (levels_[n] >= lc) link(n, lc, i, walk_results_[j].score);
    }
    if (!walk_results_.empty()) ep = walk_results_.front().node;
  }
  if (level > top) {
    entry_point_ = i;
    max_level_ = level;
  }
}

std::vector<SearchHit> Hnsw::search(const QuantPipeline& pipeline, const PreparedQuery& pq,
                                    uint64_t k, Metric metric) const {
  if (k == 0 || !entry_point_) return {};
  SearchScorer scorer(*this, pipeline, pq, metric);
  uint32_t ep = *entry_point_;
  for (uint64_t lc = max_level_; lc >= 1; --lc) {
    walk(scorer, ep, 1, lc);
    if (!walk_results_.empty()) ep = walk_results_.front().node;
  }
  walk(scorer, ep, std::max(ef_search_, k), 0);
  const size_t n = static_cast<size_t>(std::min<uint64_t>(k, walk_results_.size()));
  std::vector<SearchHit> hits(n);
  for (size_t j = 0; j < n; ++j) hits[j] = {ids_[walk_results_[j].node], walk_results_[j].score};
  TopK::sort_results(hits);
  return hits;
}

void Hnsw::release_vectors() {
  BigArray<float>().swap(vectors_);
  first_held_ = ids_.size();
}

bool Hnsw::restore_node(uint64_t id, const uint8_t* code, float norm, uint64_t level) {
  if (level > kMaxLevel) return false;
  release_vectors();
  make_room(half_sq_, half_sq_.size() + 1);
  append_node(id, code, norm, level);
  half_sq_.push_back(0.0f);  // derived from the code at the next insertion
  first_held_ = ids_.size();
  return true;
}

bool Hnsw::restore_neighbours(uint32_t node, uint64_t layer, std::span<const uint32_t> nodes) {
  if (node >= ids_.size() || layer > levels_[node] || nodes.size() > capacity(layer)) {
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
  unscored_below_ = ids_.size();
  return true;
}

void Hnsw::rescore_restored_lists(Metric metric, const QuantPipeline& pipeline) {
  // Restored nodes have no float vectors (first_held_ is past them), so the
  // scorer reads their codes; their L2 offsets are already up to date.
  std::vector<float> owner(static_cast<size_t>(padded_dim_));
  for (uint32_t n = 0; n < unscored_below_; ++n) {
    pipeline.dequantize_into(code(n), owner.data());
    const PreparedQuery pq = pipeline.prepare_query(owner);
    ConstructionScorer scorer(*this, owner.data(), &pq, metric, pipeline);
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
  const size_t n = ids_.size();
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
