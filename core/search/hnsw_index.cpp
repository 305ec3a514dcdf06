#include "core/search/hnsw_index.h"

#include "core/io/format.h"
#include "core/search/filter.h"

namespace teskra {

void HnswIndex::reserve(size_t count) { graph_.reserve(count); }

void HnswIndex::add(uint64_t id, const uint8_t* code, float norm, std::span<const float> transformed,
                    const QuantPipeline& pipeline) {
  graph_.insert(id, code, norm, transformed, metric_, pipeline);
}

std::vector<SearchHit> HnswIndex::search(const QuantPipeline& pipeline, const PreparedQuery& query, uint64_t k,
                                         const std::optional<std::span<const uint64_t>>& allowlist) const {
  std::vector<SearchHit> hits = graph_.search(pipeline, query, k, metric_);
  if (allowlist) filter_hits_by_ids(hits, *allowlist);
  return hits;
}

void HnswIndex::write_section(ByteSink& out) const { write_hnsw_section(out, graph_); }

}  // namespace teskra
