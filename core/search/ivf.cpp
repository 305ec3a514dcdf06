#include "core/search/ivf.h"

#include <algorithm>
#include <stdexcept>

#include "core/error.h"
#include "core/search/scan.h"
#include "core/search/topk.h"

namespace teskra {

IvfFlat::IvfFlat(std::vector<IvfList> lists, uint64_t bytes_per_vec, uint64_t nprobe, uint64_t dim,
                 Metric metric)
    : lists_(std::move(lists)), bytes_per_vec_(bytes_per_vec), nprobe_(nprobe), dim_(dim), metric_(metric) {
  prepare();
}

IvfFlat::IvfFlat(MappedIvfLists mapped, uint64_t bytes_per_vec, uint64_t nprobe, uint64_t dim, Metric metric)
    : mapped_base_(mapped.base),
      mapped_count_at_(std::move(mapped.count_at)),
      bytes_per_vec_(bytes_per_vec),
      nprobe_(nprobe),
      dim_(dim),
      metric_(metric) {
  if (mapped_base_ == nullptr || mapped.centroids.size() != mapped_count_at_.size() * dim) {
    throw std::invalid_argument("IvfFlat: lists read in place need their base and a centroid per list");
  }
  prepare(&mapped.centroids);
}

size_t IvfFlat::list_size(size_t c) const {
  return mapped() ? load_u32(mapped_base_ + mapped_count_at_[c]) : lists_[c].members.size();
}

uint64_t IvfFlat::remove_ids(std::span<const uint64_t> doomed) {
  if (mapped()) throw std::logic_error("IvfFlat: lists read in place cannot change");
  uint64_t removed = 0;
  for (IvfList& list : lists_) removed += list.members.remove_ids(doomed);
  n_members_ -= removed;
  return removed;
}

MemberRecords IvfFlat::records(size_t c) const {
  const uint8_t* at = mapped_base_ + mapped_count_at_[c];
  return {at + sizeof(uint32_t), load_u32(at), static_cast<size_t>(bytes_per_vec_)};
}

void IvfFlat::prepare(const std::vector<float>* packed) {
  const size_t k = n_lists();
  n_members_ = 0;
  for (size_t c = 0; c < k; ++c) n_members_ += list_size(c);
  sq_norms_.resize(k);
  if (packed != nullptr) {
    // Lists read in place: one centroid length, checked by the reader.
    const size_t len = static_cast<size_t>(dim_);
    for (size_t c = 0; c < k; ++c) {
      const float* centroid = packed->data() + c * len;
      sq_norms_[c] = sequential_dot(centroid, centroid, len);
    }
    uniform_ = k != 0;
    panel_ = uniform_ ? CentroidPanel(*packed, k, len) : CentroidPanel();
    return;
  }
  for (size_t c = 0; c < k; ++c) {
    const std::vector<float>& centroid = lists_[c].centroid;
    sq_norms_[c] = sequential_dot(centroid.data(), centroid.data(), centroid.size());
  }
  // Centroids of one length (every built index) are ranked through the
  // panel; an index read from a file with ragged centroids takes the plain
  // loop, which gives the same bits.
  const size_t len = lists_.empty() ? 0 : lists_.front().centroid.size();
  uniform_ = !lists_.empty() && std::all_of(lists_.begin(), lists_.end(),
                                            [&](const IvfList& l) { return l.centroid.size() == len; });
  if (uniform_) {
    std::vector<float> packed_lists;
    packed_lists.reserve(lists_.size() * len);
    for (const IvfList& list : lists_)
      packed_lists.insert(packed_lists.end(), list.centroid.begin(), list.centroid.end());
    panel_ = CentroidPanel(packed_lists, lists_.size(), len);
  } else {
    panel_ = CentroidPanel();
  }
}

IvfFlat IvfFlat::build(uint64_t nlist, uint64_t nprobe, uint64_t bytes_per_vec, uint64_t dim,
                       std::span<const CodeStore* const> members, const RowSource& rows, uint64_t seed,
                       Metric metric, const Execution& exec) {
  size_t n = 0;
  for (const CodeStore* m : members) {
    if (m->bytes_per_vec() != bytes_per_vec || !m->has_norms()) {
      throw std::invalid_argument("IvfFlat::build: a member store of another code length or without norms");
    }
    n += m->size();
  }
  if (rows.size() != n) throw std::invalid_argument("IvfFlat::build: one row per vector needed");
  if (n == 0) throw TeskraError::empty_index();

  const KMeansResult km = kmeans(rows, nlist, seed, metric, {}, exec);

  std::vector<size_t> counts(km.k, 0);
  for (uint32_t c : km.assignment) ++counts[c];
  std::vector<IvfList> lists(km.k);
  for (size_t c = 0; c < km.k; ++c) {
    IvfList& list = lists[c];
    const float* centroid = km.centroids.data() + c * km.dim;
    list.centroid.assign(centroid, centroid + km.dim);
    list.members = CodeStore(bytes_per_vec);
    list.members.reserve_more(counts[c]);
  }
  size_t j = 0;
  for (const CodeStore* m : members) {
    for (size_t i = 0; i < m->size(); ++i, ++j) {
      // Cannot allocate: every list has room for its members.
      lists[km.assignment[j]].members.append(m->id(i), m->code(i), m->norm(i));
    }
  }
  return IvfFlat(std::move(lists), bytes_per_vec, nprobe, dim, metric);
}

std::vector<SearchHit> IvfFlat::rank_lists(std::span<const float> query) const {
  const size_t k = n_lists();
  std::vector<SearchHit> ranked(k);
  if (k == 0) return ranked;
  if (uniform_ && query.size() == panel_.dim()) {
    std::vector<float> dots(panel_.stride());
    const float* row = query.data();
    panel_.dots(&row, 1, dots.data());
    for (size_t c = 0; c < k; ++c) ranked[c] = {c, centroid_score(metric_, dots[c], sq_norms_[c])};
  } else {
    // (Lists read in place keep no centroids but the panel's: their
    // queries are always of its length.)
    if (mapped()) throw std::invalid_argument("IvfFlat: a query of another length than the centroids");
    for (size_t c = 0; c < k; ++c) {
      const std::vector<float>& centroid = lists_[c].centroid;
      const float dot =
          sequential_dot(query.data(), centroid.data(), std::min(query.size(), centroid.size()));
      ranked[c] = {c, centroid_score(metric_, dot, sq_norms_[c])};
    }
  }
  TopK::sort_results(ranked);  // stable, highest first
  return ranked;
}

std::vector<SearchHit> IvfFlat::search(const QuantPipeline& pipeline, const PreparedQuery& query, uint64_t k,
                                       const Allowlist* allow, size_t allowed_count) const {
  const size_t n_lists = this->n_lists();
  const uint64_t probe = std::min<uint64_t>(n_lists, nprobe_);
  if (k == 0 || probe == 0 || bytes_per_vec_ == 0) return {};
  const std::vector<SearchHit> ranked = rank_lists(query.q);
  const auto size = [&](uint64_t p) { return list_size(ranked[p].id); };
  const auto scan = [&](uint64_t p, const Allowlist* a, TopK& heap) {
    const size_t c = ranked[p].id;
    if (mapped()) {
      scan_records(pipeline, query, records(c), a, heap);
    } else {
      scan_store(pipeline, query, lists_[c].members, a, heap);
    }
  };

  if (allow == nullptr) {
    uint64_t candidates = 0;
    for (uint64_t p = 0; p < probe; ++p) candidates += size(p);
    TopK heap(k, candidates);
    for (uint64_t p = 0; p < probe; ++p) scan(p, nullptr, heap);
    return heap.into_sorted();
  }
  if (allowed_count == 0) return {};
  // Few allowed ids (against what nprobe lists hold on average): every list.
  const bool every_list = static_cast<double>(allowed_count) * static_cast<double>(n_lists) <=
                          static_cast<double>(n_members_) * static_cast<double>(probe);
  TopK heap(k, std::min<uint64_t>(n_members_, allowed_count));
  for (uint64_t p = 0; p < n_lists; ++p) {
    if (p >= probe && !every_list && heap.size() >= k) break;
    scan(p, allow, heap);
  }
  return heap.into_sorted();
}

}  // namespace teskra
