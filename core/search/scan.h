// The block scan every exhaustive pass uses (the flat index, each probed
// IvfFlat list, a view's lists and graph nodes read in place): codes are
// scored against the prepared queries a block at a time through the
// pipeline's batch scorers, turned into the metric's similarity with their
// stored norms (raw scores for vectors without norms), and offered to each
// query's heap in storage order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "core/quantize/pipeline.h"
#include "core/search/code_store.h"
#include "core/search/filter.h"
#include "core/search/similarity.h"
#include "core/search/topk.h"

namespace teskra {

// allow may be null (no restriction); rejected vectors cost one probe and are
// never scored.
void scan_store(const QuantPipeline& pipeline, const PreparedQuery& pq, const CodeStore& store,
                const Allowlist* allow, TopK& heap);

// scan_store for several queries in one pass over the codes: each block of
// codes is scored against every query while it is in cache, through the
// multi-query kernels (QuantPipeline::score_batch_multi). heaps[j] ends as
// scan_store(pipeline, queries[j], store, allow, heaps[j]) would leave it:
// the same kernel scores each (query, code) pair and offers go in storage
// order.
void scan_store_group(const QuantPipeline& pipeline, std::span<const PreparedQuery> queries,
                      const CodeStore& store, const Allowlist* allow, std::span<TopK> heaps);

// The scan over any vectors. Records: size(), has_norms(), and per index
// i < size() id(i), code(i) and (with norms) norm(i); codes a fixed distance
// apart may say so with stride(), which lets an unrestricted scan hand the
// kernels a strided block. One query is scored by the one-query batch
// kernels, several by the multi-query ones; both give every (query, code)
// pair the bits of a one-code call, so the heaps end the same either way.
template <class Records>
void scan_records_group(const QuantPipeline& pipeline, std::span<const PreparedQuery> queries,
                        const Records& records, const Allowlist* allow, std::span<TopK> heaps) {
  // Codes scored per kernel call: large enough to amortize the call and keep
  // every lane of the 2-bit batch kernels busy, small enough for the stack.
  constexpr size_t kBlock = 256;
  constexpr bool kStrided = requires { records.stride(); };
  const size_t n = records.size();
  if (n == 0 || queries.empty() || pipeline.packed_bytes_per_vec() == 0) return;
  const Metric metric = pipeline.metric();
  const bool have_norms = records.has_norms();
  // raw[j * kBlock + c]: query j's score of the block's code c.
  float one[kBlock];
  std::vector<float> several(queries.size() > 1 ? queries.size() * kBlock : 0);
  float* const raw = queries.size() > 1 ? several.data() : one;
  size_t pos[kBlock];
  const uint8_t* ptrs[kBlock];
  for (size_t start = 0; start < n; start += kBlock) {
    const size_t end = std::min(n, start + kBlock);
    size_t count = 0;
    simd::CodeBatch batch;
    if (kStrided && allow == nullptr) {
      count = end - start;
      for (size_t j = 0; j < count; ++j) pos[j] = start + j;
      batch.base = records.code(start);
      if constexpr (kStrided) batch.stride = records.stride();
    } else {
      for (size_t i = start; i < end; ++i) {
        if (allow != nullptr && !allow->contains(records.id(i))) continue;
        pos[count] = i;
        ptrs[count] = records.code(i);
        ++count;
      }
      if (count == 0) continue;
      batch.ptrs = ptrs;
    }
    batch.n = count;
    if (queries.size() == 1) {
      pipeline.score_batch(queries[0], batch, raw);
    } else {
      pipeline.score_batch_multi(queries, batch, raw, kBlock);
    }
    for (size_t q = 0; q < queries.size(); ++q) {
      TopK& heap = heaps[q];
      const float* r = raw + q * kBlock;
      for (size_t j = 0; j < count; ++j) {
        const size_t i = pos[j];
        heap.offer(records.id(i), have_norms ? similarity(metric, r[j], records.norm(i)) : r[j]);
      }
    }
  }
}

// scan_records_group for one query. allow may be null (no restriction).
template <class Records>
void scan_records(const QuantPipeline& pipeline, const PreparedQuery& pq, const Records& records,
                  const Allowlist* allow, TopK& heap) {
  scan_records_group(pipeline, std::span<const PreparedQuery>(&pq, 1), records, allow,
                     std::span<TopK>(&heap, 1));
}

}  // namespace teskra
