#include "core/search/brute.h"

#include <algorithm>

#include "core/search/topk.h"

namespace teskra {

namespace {
// Codes scored per kernel call: large enough to amortize the call and keep
// every lane of the 2-bit batch kernels busy, small enough for the stack.
constexpr size_t kBlock = 256;
}  // namespace

std::vector<SearchHit> brute_force_search(const QuantPipeline& pipeline, const PreparedQuery& pq,
                                          const FlatStoreView& store, uint64_t k,
                                          const Allowlist* allow) {
  if (k == 0 || store.ids.empty() || store.stride == 0) return {};
  const size_t n = std::min(store.codes.size() / store.stride, store.ids.size());
  const Metric metric = pipeline.metric();
  const bool have_norms = !store.norms.empty();

  TopK heap(k, n);
  float raw[kBlock];
  size_t pos[kBlock];
  const uint8_t* ptrs[kBlock];

  auto offer_block = [&](size_t count, const size_t* positions) {
    for (size_t j = 0; j < count; ++j) {
      const size_t i = positions[j];
      float s = raw[j];
      if (have_norms && i < store.norms.size()) s = similarity(metric, s, store.norms[i]);
      heap.offer(store.ids[i], s);
    }
  };

  for (size_t start = 0; start < n; start += kBlock) {
    const size_t end = std::min(n, start + kBlock);
    size_t count = 0;
    simd::CodeBatch batch;
    if (allow == nullptr) {
      count = end - start;
      for (size_t j = 0; j < count; ++j) pos[j] = start + j;
      batch.base = store.codes.data() + start * store.stride;
      batch.stride = store.stride;
    } else {
      // Rejected positions cost one probe and are never scored.
      for (size_t i = start; i < end; ++i) {
        if (!allow->contains(store.ids[i])) continue;
        pos[count] = i;
        ptrs[count] = store.codes.data() + i * store.stride;
        ++count;
      }
      if (count == 0) continue;
      batch.ptrs = ptrs;
    }
    batch.n = count;
    pipeline.score_batch(pq, batch, raw);
    offer_block(count, pos);
  }
  return heap.into_sorted();
}

}  // namespace teskra
