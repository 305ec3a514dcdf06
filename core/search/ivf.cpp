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

void IvfFlat::prepare() {
  n_members_ = 0;
  for (const IvfList& list : lists_) n_members_ += list.members.size();
  sq_norms_.resize(lists_.size());
  for (size_t c = 0; c < lists_.size(); ++c) {
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
    std::vector<float> packed;
    packed.reserve(lists_.size() * len);
    for (const IvfList& list : lists_)
      packed.insert(packed.end(), list.centroid.begin(), list.centroid.end());
    panel_ = CentroidPanel(packed, lists_.size(), len);
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
  const size_t k = lists_.size();
  std::vector<SearchHit> ranked(k);
  if (k == 0) return ranked;
  if (uniform_ && query.size() == panel_.dim()) {
    std::vector<float> dots(panel_.stride());
    const float* row = query.data();
    panel_.dots(&row, 1, dots.data());
    for (size_t c = 0; c < k; ++c) ranked[c] = {c, centroid_score(metric_, dots[c], sq_norms_[c])};
  } else {
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
  const uint64_t probe = std::min<uint64_t>(lists_.size(), nprobe_);
  if (k == 0 || probe == 0 || bytes_per_vec_ == 0) return {};
  const std::vector<SearchHit> ranked = rank_lists(query.q);
  const auto members = [&](uint64_t p) -> const CodeStore& { return lists_[ranked[p].id].members; };

  if (allow == nullptr) {
    uint64_t candidates = 0;
    for (uint64_t p = 0; p < probe; ++p) candidates += members(p).size();
    TopK heap(k, candidates);
    for (uint64_t p = 0; p < probe; ++p) scan_store(pipeline, query, members(p), nullptr, heap);
    return heap.into_sorted();
  }
  if (allowed_count == 0) return {};
  // Few allowed ids (against what nprobe lists hold on average): every list.
  const bool every_list = static_cast<double>(allowed_count) * static_cast<double>(lists_.size()) <=
                          static_cast<double>(n_members_) * static_cast<double>(probe);
  TopK heap(k, std::min<uint64_t>(n_members_, allowed_count));
  for (uint64_t p = 0; p < lists_.size(); ++p) {
    if (p >= probe && !every_list && heap.size() >= k) break;
    scan_store(pipeline, query, members(p), allow, heap);
  }
  return heap.into_sorted();
}

}  // namespace teskra
