// Vectors that are not in a CodeStore, as the exhaustive scan reads them: members of
// an IvfFlat list and graph nodes read in place from an index file
// (io/index_view.h), where id, code and norm of a vector sit side by side in
// one record, at any alignment.
//
// Their records are scanned by scan_records (scan.h), the loop that scans a
// CodeStore too, so a heap ends the same for records as for a store holding
// the same vectors in the same order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/quantize/pipeline.h"
#include "core/search/filter.h"
#include "core/search/scan.h"
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
