#include "core/search/filter.h"

#include <algorithm>

#include "core/types.h"

namespace teskra {

Allowlist::Allowlist(std::span<const uint64_t> ids) {
  if (ids.empty()) return;  // an empty set: nothing allowed
  const uint64_t m = *std::max_element(ids.begin(), ids.end());
  const uint64_t words = m / 64;
  // 32 * count, saturating.
  const uint64_t count = ids.size();
  const uint64_t budget = count > UINT64_MAX / 32 ? UINT64_MAX : count * 32;
  if (m < (uint64_t{1} << 26) && words < budget) {
    bitmap_mode_ = true;
    max_id_ = m;
    words_.assign(words + 1, 0);
    for (uint64_t id : ids) words_[id >> 6] |= uint64_t{1} << (id & 63);
    return;
  }
  set_.reserve(ids.size());
  set_.insert(ids.begin(), ids.end());
}

Allowlist allowlist_for(std::span<const uint64_t> listed, std::span<const std::span<const uint64_t>> held,
                        size_t* count) {
  size_t n = 0;
  for (std::span<const uint64_t> ids : held) n += ids.size();
  if (listed.size() <= n) {
    if (count != nullptr) *count = listed.size();
    return Allowlist(listed);
  }
  std::unordered_set<uint64_t> stored;
  stored.reserve(n);
  for (std::span<const uint64_t> ids : held) stored.insert(ids.begin(), ids.end());
  std::vector<uint64_t> kept;
  for (uint64_t id : listed) {
    if (stored.erase(id) != 0) kept.push_back(id);
  }
  if (count != nullptr) *count = kept.size();
  return Allowlist(kept);
}

void filter_hits_by_ids(std::vector<SearchHit>& hits, std::span<const uint64_t> ids) {
  auto listed = [&](uint64_t id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); };
  hits.erase(std::remove_if(hits.begin(), hits.end(), [&](const SearchHit& h) { return !listed(h.id); }),
             hits.end());
}

}  // namespace teskra
