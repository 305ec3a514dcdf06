// Hnsw: a layered proximity graph over the packed codes.
//
// Every node is one stored vector (packed code, stored norm, caller's id).
// Node i sits on layers 0 .. level(i), where the level follows only from the
// position i (level_for), so the same vectors added in the same order always
// give the same graph. Each node keeps one neighbour list per layer: at most
// 2m entries on layer 0, at most m above. Lists are directed; an entry is the
// neighbour's node index.
//
// Which neighbours a list keeps is the graph's selection rule, fixed when it
// is made (HnswSelection):
//
// - Diverse (the default). Candidates are taken best first (by their score
//   from the list owner's side) and one is kept only if it is more similar
//   to the owner than to every candidate kept before it, both scored from
//   the candidate's side, so that under L2 true distances are compared
//   (under Dot too: see select_neighbours): a list spends its entries on
//   different directions instead of on one crowded neighbourhood, and
//   separated clusters stay linked. All scoring goes through the codes as
//   search does: a new node's walk uses its own transformed vector as the
//   query, and comparisons between stored nodes use a dequantized code as
//   the query. The graph holds no float vectors and no scores; an overfull
//   list rescores its entries from its owner's side when it must choose.
//   On layer 0 each node's slot also counts the lists that name it, and a
//   node that a choosing list leaves in no list at all is passed on to a
//   kept neighbour of that list (the one that turned it away, which is
//   more similar to it than the owner; else the most similar one), so that
//   no node is cut off from the walks.
// - Nearest. A list keeps its best-scored candidates. Construction scores
//   are plain dot products of float vectors (the transformed form of each
//   added vector; L2 subtracts half the candidate's squared norm), kept until
//   release_construction(); later insertions then score nodes without a
//   vector through their codes (dequantize_into for the L2 offset). Each
//   entry keeps the score it was linked with, which decides what an overfull
//   list drops: the scores are not symmetric (L2's offset is the linked
//   node's, and released nodes are scored through codes from one side only),
//   so they cannot be recomputed later.
//
// Both rules use the same layer walk: best-first from one entry node, every
// newly seen neighbour scored and queued, a result list of ef entries kept in
// stable score order (equal scores in order of arrival), the best queued
// candidate expanded next (equal scores: the larger node index first); the
// walk ends when a candidate taken from the queue, the (ef+1)-th or later,
// scores below everything in the list. An insertion links the new node to
// what select_neighbours keeps of its walk's results on each of its layers
// and links them back; a full list that receives a link keeps what
// select_neighbours keeps of its entries and the newcomer.
//
// A filtered search walks the same way through every node but admits only
// allowed ones to a shorter result list, and keeps walking until the list
// is full; see search().
//
// Storage is flat: codes, ids and norms in a CodeStore, layer-0 lists in one
// array of fixed slots (a count word, then 2m node indices), upper-layer
// lists in one array of m + 1 word slots, found through the short sorted
// list of the nodes that have upper layers. The large arrays live in memory
// mappings of their own (PageArray), so that growth moves pages rather than
// copying them and freed memory goes back to the system.
//
// A walk's working memory (visited stamps, queue, result list, batch
// buffers) lives in a SearchScratch. search() is const and takes the
// caller's scratch, so any number of threads may search one graph at once,
// each with a scratch of its own; once a scratch has served a walk of the
// same size, a search allocates nothing but the hits it returns. Insertion
// keeps a scratch of its own. Changing calls (insert, release_construction,
// reserve, the restore calls) must not overlap with anything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/exec/execution.h"
#include "core/quantize/pipeline.h"
#include "core/search/code_store.h"
#include "core/search/filter.h"
#include "core/search/page_array.h"
#include "core/types.h"

namespace teskra {

// A walk's candidate or result: a node and its score.
struct HnswCandidate {
  uint32_t node;
  float score;
};

class HnswView;

class Hnsw {
  class ConstructionScorer;
  template <class Graph>
  class SearchScorer;

 public:
  // The working memory of walks. Not tied to one graph: a scratch may serve
  // searches of several graphs in turn, but one walk at a time. Grows to the
  // largest graph and list it has served and keeps that memory.
  class SearchScratch {
   public:
    SearchScratch() = default;

   private:
    friend class Hnsw;
    friend class HnswView;
    friend class Hnsw::ConstructionScorer;
    template <class Graph>
    friend class Hnsw::SearchScorer;
    PageArray<uint32_t> visited;  // per node, the generation that last saw it
    uint32_t generation = 0;
    PageArray<HnswCandidate> heap;
    std::vector<HnswCandidate> results;
    // One expanded list's fresh neighbours, scored as a batch.
    std::vector<uint32_t> batch_nodes;
    std::vector<float> batch_scores;
    std::vector<const uint8_t*> batch_codes;
    std::vector<const float*> batch_rows;
    std::vector<uint32_t> batch_slots;
    std::vector<float> batch_dots;
    // Insertion only: a full list and the link that overflows it; the
    // dequantized codes of a list's owner and of what the diversity rule has
    // kept so far.
    std::vector<HnswCandidate> overflow;
    PreparedQuery owner;                // q: the owner's dequantized code
    uint32_t owner_node = 0xFFFFFFFFu;  // whose code owner.q holds
    std::vector<float> owner_raw;       // the candidates' inner products with it
    std::vector<float> kept_forms;
    std::vector<const float*> kept_form_of;  // per kept candidate, its form
    std::vector<uint8_t> kept_twin;          // per kept candidate, a twin of the owner?
    // The last selection: (candidate, the kept one that beat the owner for
    // it), and how many candidates it looked at (their nodes, sorted, stay
    // in batch_nodes).
    std::vector<std::pair<uint32_t, uint32_t>> turned_away;
    size_t candidates = 0;
    // Links passed on, as (list owner, node), and the nodes a full list
    // left in no list.
    std::vector<std::pair<uint32_t, uint32_t>> passed_on;
    std::vector<uint32_t> dropped;
  };

  // ef_search 0 is replaced by 2m. The caller guarantees 2 <= m <= kMaxM
  // (smaller m gives levels without bound; std::invalid_argument otherwise)
  // and ef_construction >= 1 (0 is accepted but every node then gets at most
  // one link per layer).
  Hnsw(uint64_t m, uint64_t ef_construction, uint64_t ef_search, uint64_t bytes_per_vec, uint64_t padded_dim,
       HnswSelection selection = HnswSelection::Diverse);

  // 1 / max(ln m, 1e-9), in double precision.
  static double ml_for(uint64_t m);
  // The level of the node at index node_index: one step of a 64-bit linear
  // congruential generator from that index, mapped to u in [0, 1), then
  // floor(-ln(u) * ml). Saturates instead of overflowing for u = 0 (an index
  // beyond any graph) or absurd ml.
  static uint64_t level_for(uint64_t node_index, double ml);

  // The most nodes a graph holds: 32-bit indices, one value kept free.
  static constexpr uint64_t kMaxNodes = 0xFFFFFFFFu;
  // The largest m: a list's count of up to 2m entries fits 16 bits.
  static constexpr uint64_t kMaxM = 32767;
  // Levels are stored in a byte; a node of level 255 or more needs m < 2.
  static constexpr uint64_t kMaxLevel = 254;

  // Adds one node. code: bytes_per_vec bytes; norm: its stored norm; vector:
  // the transform_query output of the added vector (padded_dim values).
  // Diverse: the query of the node's walks, not kept. Nearest: copied and
  // kept for later insertions until release_construction(); pipeline
  // dequantizes the codes of nodes without a kept vector. Throws
  // std::length_error when the graph already holds kMaxNodes nodes and
  // std::bad_alloc when memory runs out; either leaves the graph as it was.
  void insert(uint64_t id, const uint8_t* code, float norm, std::span<const float> vector, Metric metric,
              const QuantPipeline& pipeline);
  // Inserts ids.size() nodes: node j has code codes + j * bytes_per_vec,
  // norm norms[j] and transformed vector forms + j * padded_dim.
  //
  // Diverse: in groups of kInsertGroup consecutive nodes of this call.
  // Each node of a group walks the graph as it stood before the group,
  // exactly as insert() walks, and adds to each layer's results the nodes
  // of its group before it (scored against its vector); select_neighbours
  // chooses its lists from those. The walks and selections run on exec's
  // threads; then, in node order on the calling thread, each node gets its
  // lists and the nodes it chose link back (link()). The graph depends on
  // the vectors, their order and how they are split into calls, never on
  // the thread count. Nearest: insert() one by one.
  //
  // Polls exec between groups; Interrupted, std::bad_alloc and
  // std::length_error leave the nodes of the groups before in place and
  // nothing of the group that failed. Call reserve(ids.size()) first to
  // take memory failures out of the middle of the batch.
  void insert_batch(std::span<const uint64_t> ids, const uint8_t* codes, const float* norms,
                    const float* forms, Metric metric, const QuantPipeline& pipeline, const Execution& exec);
  static constexpr size_t kInsertGroup = 32;

  // Room in every per-node array for `count` more insert() calls, so that
  // a batch of that many cannot run out of memory in them half-way; with
  // threads, also the walks' scratch of an insert_batch on that many.
  // std::length_error when the graph cannot hold that many more nodes,
  // std::bad_alloc when memory runs out; only capacities change either way.
  void reserve(size_t count, size_t threads = 1);

  // At most k hits (id, similarity), highest first: greedy descent with a
  // one-entry list on the upper layers, then a layer-0 walk with a list of
  // max(ef_search, k). Empty for k == 0 or an empty graph. pq comes from
  // pipeline.prepare_query(pipeline.transform_query(query)). The graph is
  // only read: concurrent searches are safe, each with its own scratch.
  //
  // With allow, only nodes whose id it contains enter the layer-0 result
  // list; the walk passes through the others as through any node, and ends
  // only once the list is full and the next candidate scores below all of
  // it, or when nothing is left to visit: it returns fewer than k hits only
  // when fewer allowed nodes are reachable. allowed: how many ids allow
  // admits (an upper bound will do). Filling a list of L allowed nodes
  // takes a walk through about L / share nodes, share = allowed / size();
  // the list holds max(k, ef * share) entries (at most ef), so that a
  // filtered walk costs about what an unfiltered one does, and its recall
  // stays close to an unfiltered search's (measured: see hnsw_index.h).
  std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& pq, uint64_t k,
                                Metric metric, SearchScratch& scratch, const Allowlist* allow = nullptr,
                                uint64_t allowed = 0) const;
  // The same with a scratch owned by the calling thread and kept for its
  // next search: as safe to run concurrently, but every thread that has
  // searched holds on to memory for the largest graph it has searched.
  std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& pq, uint64_t k,
                                Metric metric, const Allowlist* allow = nullptr, uint64_t allowed = 0) const;

  // A copy of this graph without the nodes stored under an id of `doomed`
  // (sorted ascending), with room for `room` more insert() calls (as
  // reserve). The survivors keep their order, codes, levels and the lists
  // that named no removed node. A list that named one is chosen again by
  // select_neighbours from what it kept, the removed entries' own lists on
  // that layer and, for removed entries among those, theirs (two steps,
  // which bridges the gaps the removal of neighbouring nodes leaves), all
  // scored from the owner's side through the codes. Under Diverse a node
  // that had a way in on layer 0 and lost every one is linked from its own
  // first neighbour (link(), which may pass it on); then every survivor
  // that the lists led to from the entry point before and no longer do is
  // linked from the first node with room that a walk towards it (its
  // dequantized code as the query) meets, so that a removal cuts nothing
  // off. A removed entry point
  // gives way to the first survivor of the highest level left. The copy
  // keeps no construction vectors (as after release_construction).
  // Costs a pass over every list, a selection per repaired list, and
  // memory for both graphs until this one is dropped. Polls exec between
  // nodes; this graph is unchanged whatever happens (Interrupted,
  // bad_alloc, length_error).
  Hnsw without(std::span<const uint64_t> doomed, size_t room, Metric metric, const QuantPipeline& pipeline,
               const Execution& exec);

  // Frees what only insertions use: the insertion scratch, the unused tails
  // of the graph's arrays and, under Nearest, the construction vectors of
  // every node present now. Later insertions still work: under Nearest they
  // keep their own vectors, and nodes without one are scored through their
  // dequantized codes.
  void release_construction();
  // Stored as given; 0 makes a search use k as its list size.
  void set_ef_search(uint64_t ef) { ef_search_ = ef; }

  uint64_t size() const { return store_.size(); }
  uint64_t m() const { return m_; }
  uint64_t ef_construction() const { return ef_construction_; }
  uint64_t ef_search() const { return ef_search_; }
  HnswSelection selection() const { return selection_; }
  double ml() const { return ml_; }
  uint64_t bytes_per_vec() const { return bytes_per_vec_; }
  uint64_t padded_dim() const { return padded_dim_; }
  std::optional<uint32_t> entry_point() const { return entry_point_; }
  uint64_t max_level() const { return max_level_; }
  // Nearest: nodes from this index on keep their construction vectors.
  // Diverse: always size() (no node keeps one).
  uint64_t first_held_vector() const { return selection_ == HnswSelection::Diverse ? size() : first_held_; }

  // Codes, ids and norms of the nodes, by node index.
  const CodeStore& store() const { return store_; }
  uint64_t id(uint32_t node) const { return store_.id(node); }
  float norm(uint32_t node) const { return store_.norm(node); }
  const uint8_t* code(uint32_t node) const { return store_.code(node); }
  uint64_t level(uint32_t node) const { return levels_[node]; }
  // The node's list on `layer`; empty above its level.
  std::span<const uint32_t> neighbours(uint32_t node, uint64_t layer) const {
    if (layer > levels_[node]) return {};
    const uint32_t* slot = layer == 0 ? layer0_.data() + static_cast<size_t>(node) * (2 * m_ + 1)
                                      : upper_.data() + upper_slot(node, layer) * (m_ + 1);
    return {slot + 1, slot[0] & kCountMask};
  }
  // Nearest: the scores the entries of neighbours(node, layer) were linked
  // with. Diverse: empty (lists keep no scores).
  std::span<const float> neighbour_scores(uint32_t node, uint64_t layer) const;

  // Rebuilding a stored graph into an empty one: restore_node for every
  // node in index order, restore_neighbours for their lists, then
  // finish_restore. Input that no sound graph has is refused: restore_node
  // and restore_neighbours return false and change nothing for a level
  // above 254, a list longer than its capacity or on a layer above the
  // node's level; finish_restore returns false and leaves the graph empty
  // for an entry point that is not a node of level max_level (or a missing
  // one) and for a neighbour that names no node or a node without that
  // layer. The graph is searchable only after finish_restore succeeds.
  // Under Nearest, restored lists carry placeholder scores of 0 (a file
  // keeps only the node indices), and the first insertion afterwards
  // rescores every restored list from the codes, the owner's dequantized
  // code as the query, before it links anything: an overfull list must drop
  // its genuinely worst entry, and with placeholder 0s every link with a
  // negative score (most of them under L2) would lose to the stale entries
  // and leave the new node without a way in. Diverse lists need nothing:
  // they are rescored whenever they choose.
  bool restore_node(uint64_t id, const uint8_t* code, float norm, uint64_t level);
  bool restore_neighbours(uint32_t node, uint64_t layer, std::span<const uint32_t> nodes);
  bool finish_restore(std::optional<uint32_t> entry_point, uint64_t max_level);

 private:
  // A slot's first word: the list's entry count in the low 16 bits; on
  // layer 0 of a Diverse graph the high 16 bits count the lists that name
  // the slot's node (saturating at 0xFFFF).
  static constexpr uint32_t kCountMask = 0xFFFFu;
  static constexpr uint32_t kNoNode = 0xFFFFFFFFu;

  // Which of `candidates` (each scored from the side of `owner`, the node
  // whose list is chosen) a list of `capacity` entries keeps. Reorders
  // candidates so that the kept ones come first, and returns how many there
  // are (at most capacity). Both rules first order the candidates best
  // first by a stable sort. Nearest keeps the first capacity of them.
  // Diverse keeps, in that order, each candidate that no candidate kept
  // before it beats the owner for (see the top of this file), scoring
  // through the pipeline's kernels. A kept twin of the owner (the same code)
  // is as similar to every candidate as the owner and so competes only with
  // other twins: one duplicate would otherwise empty a list of everything
  // else. The room the rule leaves stays empty.
  // s: an insertion scratch (fit_insert_scratch) of the calling thread.
  size_t select_neighbours(std::span<HnswCandidate> candidates, size_t capacity, uint32_t owner,
                           Metric metric, const QuantPipeline& pipeline, SearchScratch& s) const;

  // Appends a node of the given level with empty lists; returns its index.
  // Throws (length_error, bad_alloc) before changing anything.
  uint32_t append_node(uint64_t id, const uint8_t* code, float norm, uint64_t level);
  // The slot of node's list on layer (its count, then its entries).
  uint32_t* list_slot(uint32_t node, uint64_t layer);
  // Nearest: the scores of that list.
  float* list_scores(uint32_t node, uint64_t layer);
  // Index of the first upper slot of node (level >= 1) plus layer - 1.
  size_t upper_slot(uint32_t node, uint64_t layer) const;
  uint64_t capacity(uint64_t layer) const { return layer == 0 ? 2 * m_ : m_; }
  // Diverse: the inner products of the codes of nodes[0..n) with the
  // dequantized code of owner, which this leaves in the insertion scratch.
  void score_from_owner(uint32_t owner, const uint32_t* nodes, size_t n, float* out,
                        const QuantPipeline& pipeline, SearchScratch& s) const;
  // Diverse, layer 0: counts a list that now names node (delta 1) or no
  // longer does (-1).
  void add_in_link(uint32_t node, int delta);
  // Diverse, layer 0, after a full list chose what it keeps of its entries
  // and newcomer: updates the counts of lists naming them, and queues every
  // one that no list names any more to be linked from a kept neighbour.
  void pass_on_dropped(uint32_t newcomer, const HnswCandidate* kept, size_t keep, Metric metric,
                       const QuantPipeline& pipeline);
  // Adds `node` to the layer list of `to`; a full list keeps what
  // select_neighbours chooses. score: Nearest's link score.
  void link(uint32_t to, uint64_t layer, uint32_t node, float score, Metric metric,
            const QuantPipeline& pipeline);
  // Sizes the insertion scratch for the next insertion, before anything
  // changes.
  void fit_insert_scratch(uint64_t nodes) { fit_insert_scratch(insert_scratch_, nodes); }
  void fit_insert_scratch(SearchScratch& s, uint64_t nodes) const;

  friend class HnswView;

  // Sizes scratch for walks over `nodes` nodes of a graph of the given m
  // with result lists of up to ef entries, room for a queue of heap_room
  // entries.
  static void fit_scratch(SearchScratch& scratch, uint64_t m, uint64_t nodes, uint64_t ef,
                          uint64_t heap_room);
  // The layer walk from `entry` with a result list of ef entries; leaves the
  // results in scratch.results, highest score first. scratch has been
  // fitted to this graph and ef. filter: which nodes may enter the results
  // (see search()). entry_score: the entry's score when the caller knows it.
  template <class Scorer, class Filter>
  void walk(const Scorer& scorer, SearchScratch& scratch, uint32_t entry, uint64_t ef, uint64_t layer,
            const Filter& filter, const float* entry_score = nullptr) const;
  // Where a layer's walk starts: a node and, once a walk has scored it,
  // its score (known() is what walk() takes as entry_score).
  struct WalkStart {
    uint32_t node;
    float score = 0.0f;
    bool scored = false;
    const float* known() const { return scored ? &score : nullptr; }
  };
  // The greedy descent (walks with a one-entry list) from `from` on layer
  // top down to layer level + 1; the start of the walk on layer `level`.
  template <class Scorer>
  WalkStart descend(const Scorer& scorer, SearchScratch& scratch, uint32_t from, uint64_t top,
                    uint64_t level) const;
  // The walk and the search over any graph that reads like this one (this
  // one, or a HnswView): neighbours(node, layer) gives a list with size()
  // and operator[], prefetch_links(node) starts loading a layer-0 list, and
  // id, code, norm, size, m, ef_search, entry_point and max_level read as
  // here.
  template <class Graph, class Scorer, class Filter>
  static void walk_graph(const Graph& g, const Scorer& scorer, SearchScratch& scratch, uint32_t entry,
                         uint64_t ef, uint64_t layer, const Filter& filter, const float* entry_score);
  template <class Graph>
  static std::vector<SearchHit> search_graph(const Graph& g, const QuantPipeline& pipeline,
                                             const PreparedQuery& pq, uint64_t k, Metric metric,
                                             SearchScratch& scratch, const Allowlist* allow,
                                             uint64_t allowed);
  // The rules finish_restore checks, for any graph as above with level().
  template <class Graph>
  static bool graph_is_sound(const Graph& g, std::optional<uint32_t> entry_point, uint64_t max_level);
  bool restored_graph_is_sound(std::optional<uint32_t> entry_point, uint64_t max_level) const;
  void prefetch_links(uint32_t node) const;

  void insert_diverse(uint64_t id, const uint8_t* code, float norm, uint64_t level,
                      std::span<const float> vector, Metric metric, const QuantPipeline& pipeline);
  void insert_nearest(uint64_t id, const uint8_t* code, float norm, uint64_t level,
                      std::span<const float> vector, Metric metric, const QuantPipeline& pipeline);
  // The walks that link node i, just appended to a graph that was not
  // empty: greedy through the layers above its level, then ef_construction
  // wide on each of its layers from the top down, where select_neighbours
  // chooses from the walk's results and store(layer, keep) writes node i's
  // list from the first `keep` of insert_scratch_.results and links back.
  // Node i becomes the entry point when it reaches above the top layer.
  template <class Scorer, class Store>
  void link_new_node(const Scorer& scorer, uint32_t i, uint64_t level, Metric metric,
                     const QuantPipeline& pipeline, const Store& store);
  // Diverse: one group of insert_batch, nodes first .. first + count - 1
  // of the batch.
  void insert_group(std::span<const uint64_t> ids, const uint8_t* codes, const float* norms,
                    const float* forms, size_t first, size_t count, Metric metric,
                    const QuantPipeline& pipeline, const Execution& exec);
  // Drops the nodes from index `first` on, which no list names and whose
  // lists are empty (a group that failed before linking).
  void drop_unlinked_tail(uint32_t first);
  // Per node, whether a walk from the entry point along the lists of any
  // layer can get to it.
  std::vector<uint8_t> reachable() const;
  // Marks in `reached` every node that the lists lead to from `from`.
  void mark_reachable(uint32_t from, std::vector<uint8_t>& reached) const;
  // Sizes the first `slots` group scratches for walks over `nodes` nodes.
  void fit_group_scratch(size_t slots, uint64_t nodes);
  // Nearest: gives restored lists real construction scores (see finish_restore).
  void rescore_restored_lists(Metric metric, const QuantPipeline& pipeline);

  uint64_t m_;
  uint64_t ef_construction_;
  uint64_t ef_search_;
  uint64_t bytes_per_vec_;
  uint64_t padded_dim_;
  double ml_;
  HnswSelection selection_;
  std::optional<uint32_t> entry_point_;
  uint64_t max_level_ = 0;

  CodeStore store_;
  PageArray<uint8_t> levels_;
  // Layer 0: node i's slot is words [i * (2m + 1), (i + 1) * (2m + 1)).
  PageArray<uint32_t> layer0_;
  // The nodes of level 1 and above, in index order, and each one's first
  // upper slot; slots of m + 1 words, layers 1..level(i) in order.
  std::vector<uint32_t> upper_nodes_;
  std::vector<uint64_t> upper_first_;
  std::vector<uint32_t> upper_;

  // Nearest only. Link scores, parallel to the lists' entries: 2m per node
  // on layer 0, m per upper slot.
  PageArray<float> layer0_scores_;
  std::vector<float> upper_scores_;
  // Construction vectors of nodes first_held_ .. size() - 1, padded_dim each.
  uint64_t first_held_ = 0;
  PageArray<float> vectors_;
  // Per node, half the squared norm of its construction form (the L2
  // offset): of its float vector, or of its dequantized code for nodes
  // below code_half_sq_done_. Nodes from there to first_held_ lost their
  // vectors since the last insertion and are brought up to date by the next.
  PageArray<float> half_sq_;
  uint64_t code_half_sq_done_ = 0;
  // Nodes below this index hold lists with placeholder scores (restored).
  uint64_t unscored_below_ = 0;

  // The walks and selections of insertions.
  SearchScratch insert_scratch_;
  // insert_batch: a scratch per thread for the walks of a group.
  std::vector<SearchScratch> group_scratch_;
};

// A graph served in place from the bytes of an index file's Hnsw section
// (io/format.h; io/index_view.h opens it), without copying codes, ids,
// norms or lists: node i's record (u64 id, code, f32 norm, u8 layer count,
// then per layer a u16 count and that many u32 node indices) starts at
// base + record_at[i], at any alignment; every value is read with an
// unaligned load. The table of record starts, 8 bytes a node, is all the
// view adds. Upper-layer lists are found by stepping over the lists below
// them in the record, which only the short descent through the few upper
// nodes does.
//
// Searches run Hnsw's own walk and search (the same templates, over this
// graph's reads), so a view returns exactly the hits of the graph
// Hnsw::finish_restore restores from the same bytes, to the bit. The graph
// cannot change; searches may run from any number of threads at once.
class HnswView {
 public:
  // file: the bytes record_at counts from, which must outlive the view and
  // hold the records named; ef_search 0 is replaced by 2m as for Hnsw.
  HnswView(uint64_t m, uint64_t ef_search, uint64_t bytes_per_vec, std::span<const uint8_t> file,
           std::vector<uint64_t> record_at, std::optional<uint32_t> entry_point, uint64_t max_level);

  // Whether the graph passes the checks of Hnsw::finish_restore: every link
  // names a node that has the layer, and the entry point is a node of the
  // top level (or absent exactly for an empty graph). Searches need it.
  bool is_sound() const;

  // Hnsw::search, on the calling thread's scratch.
  std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& pq, uint64_t k,
                                Metric metric, const Allowlist* allow = nullptr, uint64_t allowed = 0) const;
  // Run-time tuning, kept outside the file: stored as given.
  void set_ef_search(uint64_t ef) { ef_search_ = ef; }

  // One node's neighbour list as the file holds it.
  class Links {
   public:
    Links() = default;
    Links(const uint8_t* entries, size_t count) : entries_(entries), count_(count) {}
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    uint32_t operator[](size_t j) const {
      uint32_t v;
      std::memcpy(&v, entries_ + 4 * j, sizeof v);
      return v;
    }

   private:
    const uint8_t* entries_ = nullptr;
    size_t count_ = 0;
  };

  uint64_t size() const { return record_at_.size(); }
  uint64_t m() const { return m_; }
  uint64_t ef_search() const { return ef_search_; }
  uint64_t bytes_per_vec() const { return bytes_; }
  std::optional<uint32_t> entry_point() const { return entry_point_; }
  uint64_t max_level() const { return max_level_; }
  bool has_norms() const { return true; }
  uint64_t id(uint32_t node) const {
    uint64_t v;
    std::memcpy(&v, record(node), sizeof v);
    return v;
  }
  const uint8_t* code(uint32_t node) const { return record(node) + 8; }
  float norm(uint32_t node) const {
    float v;
    std::memcpy(&v, record(node) + 8 + bytes_, sizeof v);
    return v;
  }
  uint64_t level(uint32_t node) const { return record(node)[8 + bytes_ + 4] - 1u; }
  // The node's list on `layer`; empty above its level.
  Links neighbours(uint32_t node, uint64_t layer) const;
  void prefetch_links(uint32_t node) const;

 private:
  const uint8_t* record(uint32_t node) const { return base_ + record_at_[node]; }

  uint64_t m_;
  uint64_t ef_search_;
  size_t bytes_;
  const uint8_t* base_;
  size_t file_bytes_;
  std::vector<uint64_t> record_at_;
  std::optional<uint32_t> entry_point_;
  uint64_t max_level_;
};

}  // namespace teskra
