// IvfFlat: the inverted-file index over packed codes.
//
// build() partitions the vectors by k-means (kmeans.h) on their transformed
// float forms, in the space transformed queries live in; each cluster, an
// IvfList, keeps its centroid and its members' ids, codes (contiguous, so a
// probe reads them sequentially) and stored norms, in member order. A search
// ranks every centroid against the query, scans the nprobe best lists with
// the pipeline's batch scorer and keeps the best k in the candidate heap of
// the exhaustive scan.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/quantize/pipeline.h"
#include "core/search/centroid_panel.h"
#include "core/search/code_store.h"
#include "core/search/filter.h"
#include "core/search/kmeans.h"
#include "core/search/record_scan.h"
#include "core/types.h"

namespace teskra {

struct IvfList {
  std::vector<float> centroid;  // in the transformed-query space
  CodeStore members;            // a norm per member
};

// Lists left in an index file and read in place (io/index_view.h): list c's
// u32 member count is at base + count_at[c], its member records follow it
// (MemberRecords). The centroids, list after list, are taken into the
// ranking panel and not kept otherwise.
struct MappedIvfLists {
  const uint8_t* base = nullptr;
  std::vector<uint64_t> count_at;
  std::vector<float> centroids;
};

class IvfFlat {
 public:
  // Takes ready lists (a built or a loaded index) whose codes hold
  // bytes_per_vec bytes per member.
  IvfFlat(std::vector<IvfList> lists, uint64_t bytes_per_vec, uint64_t nprobe, uint64_t dim, Metric metric);
  // Lists read in place, whose centroids are all dim long; the bytes behind
  // them must outlive the index. Searches give the same hits as over the
  // same lists loaded.
  IvfFlat(MappedIvfLists mapped, uint64_t bytes_per_vec, uint64_t nprobe, uint64_t dim, Metric metric);

  // Clusters the vectors of members (the stores in order, each in its own
  // order; every store holds norms) into k = min(n, max(nlist, 1)) lists
  // (kmeans.h); row j of rows is the transformed form of vector j. Each list
  // takes its centroid and, in vector order, the id, code and norm of every
  // vector assigned to it. EmptyIndex when there are no vectors. Throws
  // std::invalid_argument when rows and stores disagree in count or a store
  // lacks norms (a caller's bug). The clustering runs on exec's threads
  // (the same lists for any count) and stops with Interrupted when told.
  static IvfFlat build(uint64_t nlist, uint64_t nprobe, uint64_t bytes_per_vec, uint64_t dim,
                       std::span<const CodeStore* const> members, const RowSource& rows, uint64_t seed,
                       Metric metric, const Execution& exec = {});

  // The lists held in memory; empty for lists read in place.
  const std::vector<IvfList>& lists() const { return lists_; }
  bool mapped() const { return mapped_base_ != nullptr; }
  size_t n_lists() const { return mapped() ? mapped_count_at_.size() : lists_.size(); }
  size_t list_size(size_t c) const;
  // The members of list c of lists read in place.
  MemberRecords records(size_t c) const;
  uint64_t bytes_per_vec() const { return bytes_per_vec_; }
  uint64_t nprobe() const { return nprobe_; }
  uint64_t dim() const { return dim_; }
  Metric metric() const { return metric_; }
  // Members over all lists.
  uint64_t n_members() const { return n_members_; }

  // Removes the members under an id of `doomed` (sorted ascending) from
  // every list, the others keeping their order; centroids stay. Returns
  // how many went. Allocates nothing. Lists read in place cannot change
  // (std::logic_error).
  uint64_t remove_ids(std::span<const uint64_t> doomed);

  // Stored unchanged; 0 makes every search empty.
  void set_nprobe(uint64_t nprobe) { nprobe_ = nprobe; }

  // Ranks the lists by centroid_score() of the transformed query (stable:
  // equal scores keep list order), then scans the first min(lists, nprobe)
  // in that order, members in list order, scoring each code (bit-identical
  // to pipeline.score) and adjusting by its stored norm as the exhaustive
  // scan does. The best k, highest score first; empty for k == 0 or nprobe 0.
  // The pipeline's code length must be bytes_per_vec().
  //
  // With an allowlist only allowed members are scored, and the search
  // returns fewer than k hits only when fewer allowed members exist: probing
  // goes on, list by list in rank order, until k are found. When the allowed
  // ids are few (allowed_count at most the members nprobe lists hold on
  // average) every list is scanned at once: that costs a membership test per
  // member and a score per allowed one, less than the probed scan, and is
  // exact. allowed_count is the size of the caller's list (an upper bound).
  std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& query, uint64_t k,
                                const Allowlist* allow = nullptr, size_t allowed_count = 0) const;

  // The list numbers in probe order with their centroid scores (all lists).
  std::vector<SearchHit> rank_lists(std::span<const float> query) const;

 private:
  // Derives the ranking state from the centroids, k of dim values back to
  // back when packed is given, else those of lists_.
  void prepare(const std::vector<float>* packed = nullptr);

  std::vector<IvfList> lists_;
  const uint8_t* mapped_base_ = nullptr;
  std::vector<uint64_t> mapped_count_at_;
  uint64_t bytes_per_vec_;
  uint64_t nprobe_;
  uint64_t dim_;
  Metric metric_;
  uint64_t n_members_ = 0;
  // Derived from the centroids when they all have one length: the
  // transposed panel the ranking scores with, and each centroid's f32 |c|^2.
  bool uniform_ = false;
  CentroidPanel panel_;
  std::vector<float> sq_norms_;
};

}  // namespace teskra
