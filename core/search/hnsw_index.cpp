#include "core/search/hnsw_index.h"

#include "core/io/format.h"
#include "core/search/filter.h"
#include "core/search/scan.h"
#include "core/search/topk.h"

namespace teskra {

void HnswIndex::reserve(size_t count) { graph_.reserve(count); }

void HnswIndex::add(uint64_t id, const uint8_t* code, float norm, std::span<const float> transformed,
                    const QuantPipeline& pipeline) {
  graph_.insert(id, code, norm, transformed, metric_, pipeline);
}

std::vector<SearchHit> HnswIndex::search(const QuantPipeline& pipeline, const PreparedQuery& query,
                                         uint64_t k,
                                         const std::optional<std::span<const uint64_t>>& allowlist) const {
  if (!allowlist) return graph_.search(pipeline, query, k, metric_);
  const std::span<const uint64_t> held[] = {graph_.store().ids()};
  size_t allowed = 0;
  const Allowlist allow = allowlist_for(*allowlist, held, &allowed);
  return search_allowed(
      graph_.size(), allowed, k,
      [&] {
        TopK heap(k, allowed);
        scan_store(pipeline, query, graph_.store(), &allow, heap);
        return heap.into_sorted();
      },
      [&] { return graph_.search(pipeline, query, k, metric_, &allow, allowed); });
}

void HnswIndex::write_section(ByteSink& out) const { write_hnsw_section(out, graph_); }

}  // namespace teskra
