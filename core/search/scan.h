// The block scan every exhaustive pass uses (the flat index, each probed
// IvfFlat list): codes are scored against the prepared query a block at a
// time through the pipeline's batch scorer, turned into the metric's
// similarity with their stored norms (raw scores for a store without norms),
// and offered to the heap in storage order.
#pragma once

#include <span>

#include "core/quantize/pipeline.h"
#include "core/search/code_store.h"
#include "core/search/filter.h"
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

}  // namespace teskra
