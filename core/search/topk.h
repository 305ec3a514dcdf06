// The candidate heap of a search: keeps the k best (id, score) entries.
//
// The root is the worst entry kept: entry a lies nearer the root than b when
// a.score < b.score, or when the scores are equal or unordered (a NaN is
// involved) and a.id > b.id. Once k entries are held, a candidate is admitted
// only when its score is strictly greater than the root's (a NaN never is),
// and then replaces the root.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/types.h"

namespace teskra {

class TopK {
 public:
  // Storage for min(k, max_candidates) + 1 entries: a caller's k may be far
  // larger than what can ever be offered.
  TopK(uint64_t k, uint64_t max_candidates) : k_(k) {
    entries_.reserve(static_cast<size_t>(std::min(k, max_candidates)) + 1);
  }

  // Entries held: at most k.
  size_t size() const { return entries_.size(); }

  void offer(uint64_t id, float score) {
    if (k_ == 0) return;
    if (entries_.size() < k_) {
      entries_.push_back({id, score});
      sift_up(entries_.size() - 1);
    } else if (score > entries_.front().score) {
      entries_.front() = {id, score};
      sift_down(0);
    }
  }

  // Sorts by score, highest first, with a stable sort whose only key is the
  // score (a NaN compares equal to everything).
  static void sort_results(std::vector<SearchHit>& hits);
  // The entries, sorted by sort_results(); the heap is left empty.
  std::vector<SearchHit> into_sorted();

 private:
  // True when a belongs nearer the root than b.
  static bool nearer_root(const SearchHit& a, const SearchHit& b) {
    if (a.score < b.score) return true;
    if (b.score < a.score) return false;
    return a.id > b.id;  // equal or unordered
  }
  void sift_up(size_t i);
  void sift_down(size_t i);

  uint64_t k_;
  std::vector<SearchHit> entries_;
};

inline void TopK::sift_up(size_t i) {
  while (i > 0) {
    size_t parent = (i - 1) / 2;
    if (!nearer_root(entries_[i], entries_[parent])) break;
    std::swap(entries_[i], entries_[parent]);
    i = parent;
  }
}

inline void TopK::sift_down(size_t i) {
  const size_t n = entries_.size();
  for (;;) {
    size_t l = 2 * i + 1, r = l + 1, best = i;
    if (l < n && nearer_root(entries_[l], entries_[best])) best = l;
    if (r < n && nearer_root(entries_[r], entries_[best])) best = r;
    if (best == i) return;
    std::swap(entries_[i], entries_[best]);
    i = best;
  }
}

inline void TopK::sort_results(std::vector<SearchHit>& hits) {
  // "a goes before b" only when a.score > b.score, so a NaN compares equal to
  // everything. With NaNs that is no strict weak ordering, which the standard
  // sorts require; this bottom-up merge sort stays stable and in bounds for
  // any comparison results.
  const size_t n = hits.size();
  if (n < 2) return;
  std::vector<SearchHit> buf(n);
  std::vector<SearchHit>* src = &hits;
  std::vector<SearchHit>* dst = &buf;
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
      size_t a = lo, b = mid, o = lo;
      while (a < mid && b < hi) {
        // Take from the right run only when strictly better: keeps stability.
        if ((*src)[b].score > (*src)[a].score)
          (*dst)[o++] = (*src)[b++];
        else
          (*dst)[o++] = (*src)[a++];
      }
      while (a < mid) (*dst)[o++] = (*src)[a++];
      while (b < hi) (*dst)[o++] = (*src)[b++];
    }
    std::swap(src, dst);
  }
  if (src != &hits) hits.swap(*src);
}

inline std::vector<SearchHit> TopK::into_sorted() {
  std::vector<SearchHit> hits = std::move(entries_);
  sort_results(hits);
  return hits;
}

}  // namespace teskra
