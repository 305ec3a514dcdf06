// The exhaustive scan: every stored code not rejected by the allowlist is
// scored against the prepared query, turned into the metric's similarity with
// its stored norm, and offered to the top-k heap in storage order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/quantize/pipeline.h"
#include "core/search/filter.h"
#include "core/types.h"

namespace teskra {

// Similarity from a raw inner product and the candidate's stored norm n:
// Cosine raw / n (raw when n <= 1e-9), Dot raw, L2 raw - n*n/2 computed as
// raw + n * (n * -0.5f). All single precision.
inline float similarity(Metric metric, float raw, float n) {
  switch (metric) {
    case Metric::Cosine: return n > 1e-9f ? raw / n : raw;
    case Metric::L2: return raw + n * (n * -0.5f);
    case Metric::Dot: break;
  }
  return raw;
}

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
