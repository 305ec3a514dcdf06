#include "core/search/scan.h"

#include <algorithm>
#include <vector>

#include "core/search/similarity.h"

namespace teskra {

namespace {
// Codes scored per kernel call: large enough to amortize the call and keep
// every lane of the 2-bit batch kernels busy, small enough for the stack.
constexpr size_t kBlock = 256;
}  // namespace

void scan_store(const QuantPipeline& pipeline, const PreparedQuery& pq, const CodeStore& store,
                const Allowlist* allow, TopK& heap) {
  scan_store_group(pipeline, std::span<const PreparedQuery>(&pq, 1), store, allow, std::span<TopK>(&heap, 1));
}

void scan_store_group(const QuantPipeline& pipeline, std::span<const PreparedQuery> queries,
                      const CodeStore& store, const Allowlist* allow, std::span<TopK> heaps) {
  const size_t n = store.size();
  const size_t stride = static_cast<size_t>(store.bytes_per_vec());
  if (n == 0 || stride == 0) return;
  const Metric metric = pipeline.metric();
  const bool have_norms = store.has_norms();
  const std::span<const uint64_t> ids = store.ids();
  const std::span<const float> norms = store.norms();
  const uint8_t* codes = store.codes().data();

  // raw[j * kBlock + c]: query j's score of the block's code c.
  std::vector<float> raw(queries.size() * kBlock);
  size_t pos[kBlock];
  const uint8_t* ptrs[kBlock];
  for (size_t start = 0; start < n; start += kBlock) {
    const size_t end = std::min(n, start + kBlock);
    size_t count = 0;
    simd::CodeBatch batch;
    if (allow == nullptr) {
      count = end - start;
      for (size_t j = 0; j < count; ++j) pos[j] = start + j;
      batch.base = codes + start * stride;
      batch.stride = stride;
    } else {
      for (size_t i = start; i < end; ++i) {
        if (!allow->contains(ids[i])) continue;
        pos[count] = i;
        ptrs[count] = codes + i * stride;
        ++count;
      }
      if (count == 0) continue;
      batch.ptrs = ptrs;
    }
    batch.n = count;
    pipeline.score_batch_multi(queries, batch, raw.data(), kBlock);
    for (size_t q = 0; q < queries.size(); ++q) {
      TopK& heap = heaps[q];
      const float* r = raw.data() + q * kBlock;
      for (size_t j = 0; j < count; ++j) {
        const size_t i = pos[j];
        heap.offer(ids[i], have_norms ? similarity(metric, r[j], norms[i]) : r[j]);
      }
    }
  }
}

}  // namespace teskra
