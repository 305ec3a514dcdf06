#include "core/search/flat_index.h"

#include <unordered_set>

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
    if (allowlist->size() <= store_.size()) {
      allow.emplace(*allowlist);
    } else {
      // A caller's list far longer than the index would size the Allowlist by
      // the list. Only the ids the index holds can ever be admitted, so keep
      // those: the same answers from a set no larger than the index.
      std::unordered_set<uint64_t> stored(store_.ids().begin(), store_.ids().end());
      std::vector<uint64_t> kept;
      for (uint64_t id : *allowlist) {
        if (stored.erase(id) != 0) kept.push_back(id);
      }
      allow.emplace(kept);
    }
  }
  TopK heap(k, store_.size());
  scan_store(pipeline, query, store_, allow ? &*allow : nullptr, heap);
  return heap.into_sorted();
}

void FlatIndex::write_section(ByteSink& out) const {
  write_flat_section(out, store_.codes(), store_.ids(), store_.norms());
}

}  // namespace teskra
