// HnswIndex: the Hnsw graph (hnsw.h) as the engine holds it. Each added
// vector is inserted at once; build() only frees what insertions use.
//
// A search with an allowlist returns the k best allowed vectors it finds,
// fewer only when fewer are allowed. A small allowlist (at most one id in
// kScanShare of the index) is scored exhaustively: the graph's code store is
// scanned like the flat index's, which is exact and, for so few vectors,
// faster than a walk that must pass through a large part of the graph to
// find them (measured on 50,000 LSA vectors, m 16, ef 32: the scan is the
// faster below about 6 % allowed; at 10 % and 50 % the walk keeps recall@10
// within 0.01 of an unfiltered search's at 0.4 times its speed). A larger one is searched by a walk that
// admits only allowed nodes to its results (Hnsw::search); should the walk
// come back with fewer than k while more are allowed (allowed nodes no walk
// reaches), the scan answers.
#pragma once

#include "core/search/hnsw.h"
#include "core/search/index_structure.h"

namespace teskra {

class HnswIndex final : public IndexStructure {
 public:
  // Allowlists of at most size() / kScanShare ids are scanned.
  static constexpr uint64_t kScanShare = 16;

  HnswIndex(Hnsw graph, Metric metric) : graph_(std::move(graph)), metric_(metric) {}

  IndexType type() const override { return IndexType::Hnsw; }
  uint64_t size() const override { return graph_.size(); }
  void reserve(size_t count, size_t threads) override;
  void add(uint64_t id, const uint8_t* code, float norm, std::span<const float> transformed,
           const QuantPipeline& pipeline) override;
  // Hnsw::insert_batch.
  void add_batch(const EncodedBatch& batch, const QuantPipeline& pipeline, const Execution& exec) override;
  // A removal makes the repaired graph aside (Hnsw::without), inserts the
  // batch into it and then takes its place: the index holds the old graph
  // and the new one for the time of the call. A batch that removes nothing
  // is inserted in place, after reserve(), without looking at exec's
  // interrupt (a stop half-way could not be undone).
  uint64_t replace(std::span<const uint64_t> doomed, const EncodedBatch& batch, const QuantPipeline& pipeline,
                   const Execution& exec) override;
  std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& query, uint64_t k,
                                const std::optional<std::span<const uint64_t>>& allowlist) const override;
  void build(const QuantPipeline&) override { graph_.release_construction(); }
  void set_ef_search(uint64_t ef) override { graph_.set_ef_search(ef); }
  void write_section(ByteSink& out) const override;

  const Hnsw& graph() const { return graph_; }

  // The allowlist rule of search() for any graph of `size` nodes (this
  // index's, or a view's): allowed of them admitted, scan() the exhaustive
  // answer, walk() the filtered graph search.
  template <class Scan, class Walk>
  static std::vector<SearchHit> search_allowed(uint64_t size, size_t allowed, uint64_t k, const Scan& scan,
                                               const Walk& walk) {
    if (allowed == 0 || k == 0) return {};
    if (allowed <= size / kScanShare) return scan();
    std::vector<SearchHit> hits = walk();
    if (hits.size() < k && hits.size() < allowed) return scan();
    return hits;
  }

 private:
  Hnsw graph_;
  Metric metric_;
};

}  // namespace teskra
