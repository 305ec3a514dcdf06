// Hnsw: a layered proximity graph over the packed codes.
//
// Every node is one stored vector (packed code, stored norm, caller's id).
// Node i sits on layers 0 .. level(i), where the level follows only from the
// position i (level_for), so the same vectors added in the same order always
// give the same graph. Each node keeps one neighbour list per layer: at most
// 2m entries on layer 0, at most m above. Lists are directed; an entry holds
// the neighbour's index and the score the inserting walk gave the pair, which
// is used only to decide what an overfull list drops.
//
// Construction scores are plain dot products of float vectors (the transformed
// form of each added vector; L2 subtracts half the candidate's squared norm).
// Those vectors are large, so release_vectors() can drop them; later
// insertions then use the centroid values of the codes (dequantize_into) for
// the nodes whose vectors are gone. Search scores the packed codes exactly as
// the exhaustive scan does.
//
// Both use the same layer walk: best-first from one entry node, every newly
// seen neighbour scored and queued, a result list of ef entries kept in
// stable score order (equal scores in order of arrival), the best queued
// candidate expanded next (equal scores: the larger node index first); the
// walk ends when a candidate taken from the queue, the (ef+1)-th or later,
// scores below everything in the list. An insertion links the new node to the
// best entries of its walk on each of its layers and links them back; an
// overfull list keeps its best-scored entries. One function makes both
// choices (select_neighbours).
//
// Storage is flat: codes, ids and norms in a CodeStore, layer-0 lists in one
// array of fixed 2m-entry slots, upper-layer lists in one array of m-entry
// slots with a per-node offset. Nothing is allocated per node.
//
// A walk's working memory (visited stamps, queue, result list, batch
// buffers) lives in a SearchScratch. search() is const and takes the
// caller's scratch, so any number of threads may search one graph at once,
// each with a scratch of its own; once a scratch has served a walk of the
// same size, a search allocates nothing but the hits it returns. Insertion
// keeps a scratch of its own. Changing calls (insert, release_vectors,
// reserve, the restore calls) must not overlap with anything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/quantize/pipeline.h"
#include "core/search/code_store.h"
#include "core/search/huge_page_allocator.h"
#include "core/types.h"

namespace teskra {

// One neighbour list entry, and a walk's candidate or result: a node and its
// score. 8 bytes: lists are scanned on every expansion.
struct HnswNeighbour {
  uint32_t node;
  float score;
};

class Hnsw {
  class ConstructionScorer;
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
    friend class Hnsw::ConstructionScorer;
    friend class Hnsw::SearchScorer;
    std::vector<uint32_t> visited;  // per node, the generation that last saw it
    uint32_t generation = 0;
    std::vector<HnswNeighbour> heap;
    std::vector<HnswNeighbour> results;
    // One expanded list's fresh neighbours, scored as a batch.
    std::vector<uint32_t> batch_nodes;
    std::vector<float> batch_scores;
    std::vector<const uint8_t*> batch_codes;
    std::vector<const float*> batch_rows;
    std::vector<uint32_t> batch_slots;
    std::vector<float> batch_dots;
    // Insertion only: a full list and the link that overflows it.
    std::vector<HnswNeighbour> overflow;
  };

  // ef_search 0 is replaced by 2m. The caller guarantees 2 <= m <= 2^31
  // (smaller m gives levels without bound; std::invalid_argument otherwise)
  // and ef_construction >= 1 (0 is accepted but every node then gets at most
  // one link per layer).
  Hnsw(uint64_t m, uint64_t ef_construction, uint64_t ef_search, uint64_t bytes_per_vec,
       uint64_t padded_dim);

  // 1 / max(ln m, 1e-9), in double precision.
  static double ml_for(uint64_t m);
  // The level of the node at index node_index: one step of a 64-bit linear
  // congruential generator from that index, mapped to u in [0, 1), then
  // floor(-ln(u) * ml). Saturates instead of overflowing for u = 0 (an index
  // beyond any graph) or absurd ml.
  static uint64_t level_for(uint64_t node_index, double ml);

  // The most nodes a graph holds: 32-bit indices, one value kept free.
  static constexpr uint64_t kMaxNodes = 0xFFFFFFFFu;

  // Adds one node. code: bytes_per_vec bytes; norm: its stored norm; vector:
  // the transform_query output of the added vector (padded_dim values),
  // copied and kept for later insertions until release_vectors(). pipeline
  // dequantizes the codes of nodes without a kept vector. Throws
  // std::length_error when the graph already holds kMaxNodes nodes and
  // std::bad_alloc when memory runs out; either leaves the graph as it was.
  void insert(uint64_t id, const uint8_t* code, float norm, std::span<const float> vector,
              Metric metric, const QuantPipeline& pipeline);
  // Room in every per-node array for `count` more insert() calls, so that
  // a batch of that many cannot run out of memory in them half-way.
  // std::length_error when the graph cannot hold that many more nodes,
  // std::bad_alloc when memory runs out; only capacities change either way.
  void reserve(size_t count);

  // At most k hits (id, similarity), highest first: greedy descent with a
  // one-entry list on the upper layers, then a layer-0 walk with a list of
  // max(ef_search, k). Empty for k == 0 or an empty graph. pq comes from
  // pipeline.prepare_query(pipeline.transform_query(query)). The graph is
  // only read: concurrent searches are safe, each with its own scratch.
  std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& pq,
                                uint64_t k, Metric metric, SearchScratch& scratch) const;
  // The same with a scratch owned by the calling thread and kept for its
  // next search: as safe to run concurrently, but every thread that has
  // searched holds on to memory for the largest graph it has searched.
  std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& pq,
                                uint64_t k, Metric metric) const;

  // Frees the construction vectors of every node present now. Later
  // insertions still work: they keep their own vectors, and nodes without
  // one are scored through their dequantized codes.
  void release_vectors();
  // Stored as given; 0 makes a search use k as its list size.
  void set_ef_search(uint64_t ef) { ef_search_ = ef; }

  uint64_t size() const { return store_.size(); }
  uint64_t m() const { return m_; }
  uint64_t ef_construction() const { return ef_construction_; }
  uint64_t ef_search() const { return ef_search_; }
  double ml() const { return ml_; }
  uint64_t bytes_per_vec() const { return bytes_per_vec_; }
  uint64_t padded_dim() const { return padded_dim_; }
  std::optional<uint32_t> entry_point() const { return entry_point_; }
  uint64_t max_level() const { return max_level_; }
  // Nodes from this index on keep their construction vectors.
  uint64_t first_held_vector() const { return first_held_; }

  // Codes, ids and norms of the nodes, by node index.
  const CodeStore& store() const { return store_; }
  uint64_t id(uint32_t node) const { return store_.id(node); }
  float norm(uint32_t node) const { return store_.norm(node); }
  const uint8_t* code(uint32_t node) const { return store_.code(node); }
  uint64_t level(uint32_t node) const { return levels_[node]; }
  // The node's list on `layer`; empty above its level.
  std::span<const HnswNeighbour> neighbours(uint32_t node, uint64_t layer) const {
    if (layer > levels_[node]) return {};
    if (layer == 0) {
      return {layer0_.data() + static_cast<size_t>(node) * 2 * m_, layer0_count_[node]};
    }
    const size_t slot = upper_first_[node] + (layer - 1);
    return {upper_.data() + slot * m_, upper_count_[slot]};
  }

  // Rebuilding a stored graph into an empty one: restore_node for every
  // node in index order, restore_neighbours for their lists, then
  // finish_restore. Restored nodes have no construction vectors and their
  // neighbour scores are 0. Input that no sound graph has is refused:
  // restore_node and restore_neighbours return false and change nothing for
  // a level above 254, a list longer than its capacity or on a layer above
  // the node's level; finish_restore returns false and leaves the graph
  // empty for an entry point that is not a node of level max_level (or a
  // missing one) and for a neighbour that names no node or a node without
  // that layer. The graph is searchable only after finish_restore succeeds.
  // The stored scores of restored lists are placeholders (a file keeps only
  // the node indices). The first insertion afterwards rescores every
  // restored list from the codes, the owner's dequantized code as the query,
  // before it links anything: an overfull list must drop its genuinely worst
  // entry, and with placeholder 0s every link with a negative score (most
  // of them under L2) would lose to the stale entries and leave the new
  // node without a way in.
  bool restore_node(uint64_t id, const uint8_t* code, float norm, uint64_t level);
  bool restore_neighbours(uint32_t node, uint64_t layer, std::span<const uint32_t> nodes);
  bool finish_restore(std::optional<uint32_t> entry_point, uint64_t max_level);

 private:
  // Levels are stored in a byte; a node of level 255 or more needs m < 2.
  static constexpr uint64_t kMaxLevel = 254;

  // Which of `candidates` a list of `capacity` entries keeps: the best
  // scored, highest first, equal scores in their order in candidates.
  // Reorders candidates so that the kept ones come first and returns how
  // many there are (at most capacity).
  static size_t select_neighbours(std::span<HnswNeighbour> candidates, size_t capacity);

  // Appends a node of the given level with empty lists; returns its index.
  // Throws (length_error, bad_alloc) before changing anything.
  uint32_t append_node(uint64_t id, const uint8_t* code, float norm, uint64_t level);
  HnswNeighbour* list_data(uint32_t node, uint64_t layer);
  uint32_t& list_count(uint32_t node, uint64_t layer);
  uint64_t capacity(uint64_t layer) const { return layer == 0 ? 2 * m_ : m_; }
  // Adds (node, score) to the layer list of `to`; an overfull list keeps
  // what select_neighbours chooses.
  void link(uint32_t to, uint64_t layer, uint32_t node, float score);

  // Sizes scratch for walks over `nodes` nodes with result lists of up to
  // ef entries, room for a queue of heap_room entries.
  void fit_scratch(SearchScratch& scratch, uint64_t nodes, uint64_t ef, uint64_t heap_room) const;
  // The layer walk from `entry` with a result list of ef entries; leaves the
  // results in scratch.results, highest score first. scratch has been
  // fitted to this graph and ef.
  template <class Scorer>
  void walk(const Scorer& scorer, SearchScratch& scratch, uint32_t entry, uint64_t ef,
            uint64_t layer) const;
  bool restored_graph_is_sound(std::optional<uint32_t> entry_point, uint64_t max_level) const;
  // Gives restored lists real construction scores (see finish_restore).
  void rescore_restored_lists(Metric metric, const QuantPipeline& pipeline);

  uint64_t m_;
  uint64_t ef_construction_;
  uint64_t ef_search_;
  uint64_t bytes_per_vec_;
  uint64_t padded_dim_;
  double ml_;
  std::optional<uint32_t> entry_point_;
  uint64_t max_level_ = 0;

  // The arrays walks read at random live on huge pages where possible.
  template <class T>
  using BigArray = std::vector<T, HugePageAllocator<T>>;

  CodeStore store_;
  std::vector<uint8_t> levels_;
  // Layer 0: node i's slot is entries [i * 2m, (i + 1) * 2m).
  BigArray<HnswNeighbour> layer0_;
  std::vector<uint32_t> layer0_count_;
  // Layers 1..level(i): slots upper_first_[i] .. upper_first_[i] + level(i) - 1
  // of m entries each, layer 1 first.
  std::vector<uint64_t> upper_first_;
  BigArray<HnswNeighbour> upper_;
  std::vector<uint32_t> upper_count_;

  // Construction vectors of nodes first_held_ .. size() - 1, padded_dim each.
  uint64_t first_held_ = 0;
  BigArray<float> vectors_;
  // Per node, half the squared norm of its construction form (the L2
  // offset): of its float vector, or of its dequantized code for nodes
  // below code_half_sq_done_. Nodes from there to first_held_ lost their
  // vectors since the last insertion and are brought up to date by the next.
  std::vector<float> half_sq_;
  uint64_t code_half_sq_done_ = 0;
  // Nodes below this index hold lists with placeholder scores (restored).
  uint64_t unscored_below_ = 0;

  // The walks of insertions.
  SearchScratch insert_scratch_;
};

}  // namespace teskra
