#include "core/search/flat_index.h"

#include "core/io/format.h"
#include "core/search/filter.h"
#include "core/search/scan.h"

namespace teskra {

void FlatIndex::add(uint64_t id, const uint8_t* code, float norm, std::span<const float>,
                    const QuantPipeline& pipeline) {
  store_.append(id, code, norm, pipeline);
}

std::vector<SearchHit> FlatIndex::search(const QuantPipeline& pipeline, const PreparedQuery& query, uint64_t k,
                                         const std::optional<std::span<const uint64_t>>& allowlist) const {
  std::optional<Allowlist> allow;
  if (allowlist) {
    const std::span<const uint64_t> held[] = {store_.ids()};
    allow.emplace(allowlist_for(*allowlist, held));
  }
  TopK heap(k, store_.size());
  scan_store(pipeline, query, store_, allow ? &*allow : nullptr, heap);
  return heap.into_sorted();
}

void FlatIndex::write_section(ByteSink& out) const {
  write_flat_section(out, store_.codes(), store_.ids(), store_.norms());
}

}  // namespace teskra
