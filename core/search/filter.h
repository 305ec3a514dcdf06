// Allowlist: the set of ids a search may return.
//
// Built as a bitmap when the largest id m is below 2^26 and m / 64 is below
// 32 words per listed id (small both absolutely and relative to the list),
// else as a hash set. Both forms answer contains() identically; an empty list
// allows nothing.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

#include "core/types.h"

namespace teskra {

class Allowlist {
 public:
  explicit Allowlist(std::span<const uint64_t> ids);

  bool is_bitmap() const { return bitmap_mode_; }
  // Words of the bitmap form (0 for the set form).
  size_t bitmap_words() const { return words_.size(); }

  bool contains(uint64_t id) const {
    if (bitmap_mode_) {
      return id <= max_id_ && ((words_[id >> 6] >> (id & 63)) & 1u) != 0;
    }
    return set_.count(id) != 0;
  }

 private:
  bool bitmap_mode_ = false;
  uint64_t max_id_ = 0;
  std::vector<uint64_t> words_;
  std::unordered_set<uint64_t> set_;
};

// The post-filter of the approximate indexes: keeps, in order, the hits whose
// id occurs in ids (a linear scan of the caller's list per hit).
// The allowlist for a search over an index whose ids are the spans of held:
// the caller's list as given when it is no longer than the index, else only
// the listed ids the index holds (the same answers from a set no larger than
// the index). count, when given, receives the number of ids kept (an upper
// bound when duplicates are listed).
Allowlist allowlist_for(std::span<const uint64_t> listed, std::span<const std::span<const uint64_t>> held,
                        size_t* count = nullptr);

void filter_hits_by_ids(std::vector<SearchHit>& hits, std::span<const uint64_t> ids);

}  // namespace teskra
