#include "core/search/hnsw_index.h"

#include <algorithm>

#include "core/io/format.h"
#include "core/search/filter.h"
#include "core/search/scan.h"
#include "core/search/topk.h"

namespace teskra {

void HnswIndex::reserve(size_t count, size_t threads) { graph_.reserve(count, threads); }

void HnswIndex::add(uint64_t id, const uint8_t* code, float norm, std::span<const float> transformed,
                    const QuantPipeline& pipeline) {
  graph_.insert(id, code, norm, transformed, metric_, pipeline);
}

void HnswIndex::add_batch(const EncodedBatch& batch, const QuantPipeline& pipeline, const Execution& exec) {
  graph_.insert_batch(batch.ids, batch.codes, batch.norms, batch.forms, metric_, pipeline, exec);
}

uint64_t HnswIndex::replace(std::span<const uint64_t> doomed, const EncodedBatch& batch,
                            const QuantPipeline& pipeline, const Execution& exec) {
  const std::span<const uint64_t> ids = graph_.store().ids();
  const bool removes = std::any_of(ids.begin(), ids.end(), [&](uint64_t id) {
    return std::binary_search(doomed.begin(), doomed.end(), id);
  });
  if (!removes) {
    // Nothing to repair: the batch goes straight in, with room made first
    // and no stop half-way.
    graph_.reserve(batch.size(), exec.slots());
    add_batch(batch, pipeline, Execution{exec.threads, nullptr});
    return 0;
  }
  // The repaired graph is made aside and takes the batch there; only a
  // complete one replaces the graph.
  Hnsw repaired = graph_.without(doomed, batch.size(), metric_, pipeline, exec);
  const uint64_t removed = graph_.size() - repaired.size();
  repaired.insert_batch(batch.ids, batch.codes, batch.norms, batch.forms, metric_, pipeline, exec);
  graph_ = std::move(repaired);
  return removed;
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
