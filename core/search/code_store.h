// CodeStore: the packed vectors of one index structure. Codes back to back
// (code i is bytes [i * bytes_per_vec, (i + 1) * bytes_per_vec)), and per
// vector its caller's id and its stored norm, in insertion order. The flat
// index, every IvfFlat list and the graph's nodes all keep their vectors in
// one of these.
//
// Norms: a store normally holds one per vector. A store read from a file
// without norms holds none (has_norms() false) and its scans keep raw scores;
// complete_norms() computes them from the codes, which every change to such
// a store does first, so that a ranking never mixes raw and adjusted scores.
//
// Growth is geometric, and the arrays are PageArrays: a large store grows by
// remapping its pages, never holding an old and a new copy at once. Every
// call that can fail leaves the store as it was: reserve_more() is the only
// one that allocates, and append() calls it first.
//
// A borrowed store (borrowing()) reads codes, ids and norms that live
// elsewhere, in a viewed index file (io/index_view.h), and cannot change:
// every changing call throws std::logic_error (the engine refuses changes to
// a view before they get here).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/quantize/pipeline.h"
#include "core/search/page_array.h"

namespace teskra {

class CodeStore {
 public:
  // Codes back to back.
  using CodeArray = PageArray<uint8_t>;

  explicit CodeStore(uint64_t bytes_per_vec = 0) : bytes_(static_cast<size_t>(bytes_per_vec)) {}
  // A store from its parts (a file's contents). codes must hold
  // bytes_per_vec bytes per id; norms one per id, or none at all when
  // has_norms is false. std::invalid_argument otherwise.
  CodeStore(uint64_t bytes_per_vec, CodeArray codes, std::vector<uint64_t> ids, std::vector<float> norms,
            bool has_norms);

  // A store over arrays it does not own, which must outlive it: codes hold
  // bytes_per_vec bytes per id, norms one per id, or none when has_norms is
  // false. std::invalid_argument otherwise.
  static CodeStore borrowing(uint64_t bytes_per_vec, std::span<const uint8_t> codes,
                             std::span<const uint64_t> ids, std::span<const float> norms, bool has_norms);

  uint64_t bytes_per_vec() const { return bytes_; }
  size_t size() const { return ids().size(); }
  bool empty() const { return size() == 0; }
  bool has_norms() const { return has_norms_; }
  bool borrowed() const { return borrowed_; }

  std::span<const uint8_t> codes() const {
    return borrowed_ ? view_codes_ : std::span<const uint8_t>(codes_.data(), codes_.size());
  }
  std::span<const uint64_t> ids() const {
    return borrowed_ ? view_ids_ : std::span<const uint64_t>(ids_.data(), ids_.size());
  }
  // One per vector, or empty when the store holds none.
  std::span<const float> norms() const {
    return borrowed_ ? view_norms_ : std::span<const float>(norms_.data(), norms_.size());
  }
  const uint8_t* code(size_t i) const { return codes().data() + i * bytes_; }
  uint64_t id(size_t i) const { return ids()[i]; }
  float norm(size_t i) const { return norms()[i]; }

  // Room for `extra` more vectors in every array, so that that many appends
  // cannot fail. Throws std::bad_alloc with only the capacity changed.
  void reserve_more(size_t extra);
  // Appends a copy of code (bytes_per_vec bytes) with its id and norm.
  // Completes the norms first on a store without them.
  void append(uint64_t id, const uint8_t* code, float norm, const QuantPipeline& pipeline);
  // The same for a store known to hold norms (std::logic_error otherwise).
  void append(uint64_t id, const uint8_t* code, float norm);
  // Keeps the first n vectors (n <= size()).
  void truncate(size_t n);
  // Removes every vector whose id is in `doomed` (sorted ascending), the
  // others keeping their order; returns how many went. moved(from, to) is
  // told each kept vector that changes position, in order, so that arrays
  // kept beside the store can follow. Allocates nothing; capacity stays.
  template <class Moved>
  size_t remove_ids(std::span<const uint64_t> doomed, const Moved& moved);
  size_t remove_ids(std::span<const uint64_t> doomed) {
    return remove_ids(doomed, [](size_t, size_t) {});
  }
  // Computes the norm of every vector from its code, on a store without
  // norms; nothing to do otherwise. Built aside: a failed allocation changes
  // nothing.
  void complete_norms(const QuantPipeline& pipeline);
  // Frees every array; the store is empty (with norms) afterwards.
  void release();

 private:
  // Throws std::logic_error for a borrowed store.
  void require_owned() const;

  size_t bytes_;
  CodeArray codes_;
  PageArray<uint64_t> ids_;
  PageArray<float> norms_;
  bool has_norms_ = true;
  bool borrowed_ = false;
  std::span<const uint8_t> view_codes_;
  std::span<const uint64_t> view_ids_;
  std::span<const float> view_norms_;
};

template <class Moved>
size_t CodeStore::remove_ids(std::span<const uint64_t> doomed, const Moved& moved) {
  if (doomed.empty() || empty()) return 0;
  require_owned();
  const size_t n = ids_.size();
  size_t kept = 0;
  for (size_t i = 0; i < n; ++i) {
    if (std::binary_search(doomed.begin(), doomed.end(), ids_[i])) continue;
    if (kept != i) {
      std::copy_n(codes_.data() + i * bytes_, bytes_, codes_.data() + kept * bytes_);
      ids_[kept] = ids_[i];
      if (has_norms_) norms_[kept] = norms_[i];
      moved(i, kept);
    }
    ++kept;
  }
  truncate(kept);
  return n - kept;
}

}  // namespace teskra
