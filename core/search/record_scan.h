// The exhaustive scan over vectors that are not in a CodeStore: members of
// an IvfFlat list and graph nodes read in place from an index file
// (io/index_view.h), where id, code and norm of a vector sit side by side in
// one record, at any alignment.
//
// scan_records gives the heap exactly what scan_store (scan.h) gives it for
// a store holding the same vectors in the same order: the same kernel
// scores each code (a batch gives every code the bits of a one-code call),
// the same similarity adjusts it, and offers go in storage order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/quantize/pipeline.h"
#include "core/search/filter.h"
#include "core/search/similarity.h"
#include "core/search/topk.h"

namespace teskra {

// Loads of little-endian values at any address (index files are written
// little-endian; views are refused on other hosts).
inline uint16_t load_u16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline float load_f32(const uint8_t* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The members of one IvfFlat list as the file holds them: count records of
// u64 id, code (code_bytes), f32 norm, back to back from first.
struct MemberRecords {
  const uint8_t* first = nullptr;
  size_t count = 0;
  size_t code_bytes = 0;

  size_t size() const { return count; }
  bool has_norms() const { return true; }
  size_t stride() const { return 12 + code_bytes; }
  uint64_t id(size_t i) const { return load_u64(first + i * stride()); }
  const uint8_t* code(size_t i) const { return first + i * stride() + 8; }
  float norm(size_t i) const { return load_f32(first + i * stride() + 8 + code_bytes); }
};

// Records: size(), has_norms(), and per index i < size() id(i), code(i)
// and (with norms) norm(i); codes a fixed distance apart may say so with
// stride(), which lets an unrestricted scan hand the kernels a strided
// block. allow may be null (no restriction).
template <class Records>
void scan_records(const QuantPipeline& pipeline, const PreparedQuery& pq, const Records& records,
                  const Allowlist* allow, TopK& heap) {
  constexpr size_t kBlock = 256;
  constexpr bool kStrided = requires { records.stride(); };
  const size_t n = records.size();
  if (n == 0 || pipeline.packed_bytes_per_vec() == 0) return;
  const Metric metric = pipeline.metric();
  const bool have_norms = records.has_norms();
  float raw[kBlock];
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
    pipeline.score_batch(pq, batch, raw);
    for (size_t j = 0; j < count; ++j) {
      const size_t i = pos[j];
      heap.offer(records.id(i), have_norms ? similarity(metric, raw[j], records.norm(i)) : raw[j]);
    }
  }
}

// allowlist_for (filter.h) over an index of n vectors whose ids gather(out)
// appends to out: the caller's list when it is no longer than the index,
// else the listed ids the index holds. The ids are gathered (for the call
// only) in the second case alone.
template <class Gather>
Allowlist allowlist_for_records(std::span<const uint64_t> listed, size_t n, const Gather& gather,
                                size_t* count) {
  if (listed.size() <= n) {
    if (count != nullptr) *count = listed.size();
    return Allowlist(listed);
  }
  std::vector<uint64_t> held;
  held.reserve(n);
  gather(held);
  const std::span<const uint64_t> spans[] = {held};
  return allowlist_for(listed, spans, count);
}

}  // namespace teskra
