// The exhaustive scan: every stored code not rejected by the allowlist is
// scored against the prepared query, turned into the metric's similarity with
// its stored norm, and offered to the top-k heap in storage order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/quantize/pipeline.h"
#include "core/search/filter.h"
#include "core/search/similarity.h"
#include "core/types.h"

namespace teskra {

// The flat store as the scan sees it: code i is bytes
// [i * stride, (i + 1) * stride) of codes.
struct FlatStoreView {
  std::span<const uint8_t> codes;
  size_t stride = 0;
  std::span<const uint64_t> ids;
  // Empty: raw scores for every position. Otherwise positions past its end
  // (vectors added after loading a file without norms) also keep raw scores.
  std::span<const float> norms;
};

// The k best hits over min(codes / stride, ids) positions, sorted by score,
// highest first (stable; ties keep the heap's order). allow may be null.
std::vector<SearchHit> brute_force_search(const QuantPipeline& pipeline, const PreparedQuery& pq,
                                          const FlatStoreView& store, uint64_t k,
                                          const Allowlist* allow);

}  // namespace teskra
