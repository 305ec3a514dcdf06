// HnswIndex: the Hnsw graph (hnsw.h) as the engine holds it. Each added
// vector is inserted at once; build() only releases the construction
// vectors. Searches filter the graph's top k by the allowlist afterwards, so
// they may return fewer than k hits.
#pragma once

#include "core/search/hnsw.h"
#include "core/search/index_structure.h"

namespace teskra {

class HnswIndex final : public IndexStructure {
 public:
  HnswIndex(Hnsw graph, Metric metric) : graph_(std::move(graph)), metric_(metric) {}

  IndexType type() const override { return IndexType::Hnsw; }
  uint64_t size() const override { return graph_.size(); }
  void reserve(size_t count) override;
  void add(uint64_t id, const uint8_t* code, float norm, std::span<const float> transformed,
           const QuantPipeline& pipeline) override;
  std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& query, uint64_t k,
                                const std::optional<std::span<const uint64_t>>& allowlist) const override;
  void build(const QuantPipeline&) override { graph_.release_vectors(); }
  void set_ef_search(uint64_t ef) override { graph_.set_ef_search(ef); }
  void write_section(ByteSink& out) const override;

  const Hnsw& graph() const { return graph_; }

 private:
  Hnsw graph_;
  Metric metric_;
};

}  // namespace teskra
