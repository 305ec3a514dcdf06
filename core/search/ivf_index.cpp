#include "core/search/ivf_index.h"

#include <algorithm>
#include <limits>
#include <string>

#include "core/error.h"
#include "core/io/format.h"
#include "core/io/index_file.h"
#include "core/search/filter.h"

namespace teskra {

namespace {

// The rows a build clusters, in member order: the members of the current
// lists decoded from their codes (centroid value of every coordinate), a
// block at a time, so a rebuild never holds all their float forms at once;
// then the pending vectors' kept forms, read in place.
class MemberRows final : public RowSource {
 public:
  MemberRows(const QuantPipeline& pipeline, std::span<const CodeStore* const> decoded, const float* kept,
             size_t n_kept)
      : pipeline_(pipeline), dim_(static_cast<size_t>(pipeline.padded_dim())), kept_(kept) {
    for (const CodeStore* s : decoded) {
      if (s->empty()) continue;
      stores_.push_back(s);
      starts_.push_back(n_decoded_);
      n_decoded_ += s->size();
    }
    total_ = n_decoded_ + n_kept;
  }

  size_t size() const override { return total_; }
  size_t dim() const override { return dim_; }

  void fetch(size_t start, size_t count, float* scratch, const float** out) const override {
    // The store holding row start: the last one starting at or before it.
    size_t s = static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), start) - starts_.begin());
    s = s == 0 ? 0 : s - 1;
    for (size_t j = 0; j < count; ++j) {
      const size_t row = start + j;
      if (row >= n_decoded_) {
        out[j] = kept_ + (row - n_decoded_) * dim_;
        continue;
      }
      while (row >= starts_[s] + stores_[s]->size()) ++s;
      float* dst = scratch + j * dim_;
      pipeline_.dequantize_into(stores_[s]->code(row - starts_[s]), dst);
      out[j] = dst;
    }
  }

 private:
  const QuantPipeline& pipeline_;
  size_t dim_;
  const float* kept_;
  std::vector<const CodeStore*> stores_;
  std::vector<size_t> starts_;
  size_t n_decoded_ = 0;
  size_t total_ = 0;
};

constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();

}  // namespace

IvfFlatIndex::IvfFlatIndex(uint64_t nlist, uint64_t nprobe, uint64_t seed, Metric metric,
                           uint64_t bytes_per_vec, uint64_t padded_dim)
    : nlist_(nlist),
      nprobe_(nprobe),
      seed_(seed),
      metric_(metric),
      padded_dim_(padded_dim),
      pending_(bytes_per_vec) {}

IvfFlatIndex::IvfFlatIndex(IvfFlat built, uint64_t nlist, uint64_t seed)
    : nlist_(nlist),
      nprobe_(built.nprobe()),
      seed_(seed),
      metric_(built.metric()),
      padded_dim_(built.dim()),
      pending_(built.bytes_per_vec()) {
  built_.emplace(std::move(built));
}

void IvfFlatIndex::reserve(size_t count, size_t) {
  pending_.reserve_more(count);
  const size_t dim = static_cast<size_t>(padded_dim_);
  if (dim != 0 && count > (pending_vectors_.max_size() - pending_vectors_.size()) / dim)
    throw std::bad_alloc();
  const size_t need = pending_vectors_.size() + count * dim;
  if (need > pending_vectors_.capacity()) {
    pending_vectors_.reserve(
        std::max(need, std::min(pending_vectors_.max_size(), 2 * pending_vectors_.capacity())));
  }
}

void IvfFlatIndex::add(uint64_t id, const uint8_t* code, float norm, std::span<const float> transformed,
                       const QuantPipeline&) {
  reserve(1);
  pending_.append(id, code, norm);
  pending_vectors_.insert(pending_vectors_.end(), transformed.begin(),
                          transformed.begin() + static_cast<ptrdiff_t>(padded_dim_));
}

uint64_t IvfFlatIndex::replace(std::span<const uint64_t> doomed, const EncodedBatch& batch,
                               const QuantPipeline& pipeline, const Execution&) {
  reserve(batch.size());
  uint64_t removed = built_ ? built_->remove_ids(doomed) : 0;
  const size_t dim = static_cast<size_t>(padded_dim_);
  removed += pending_.remove_ids(doomed, [&](size_t from, size_t to) {
    std::copy_n(pending_vectors_.data() + from * dim, dim, pending_vectors_.data() + to * dim);
  });
  pending_vectors_.resize(pending_.size() * dim);
  for (size_t i = 0; i < batch.size(); ++i)
    add(batch.ids[i], batch.code(i), batch.norms[i], batch.form(i), pipeline);
  return removed;
}

void IvfFlatIndex::require_searchable() const {
  // The clusters arrive with build(); until then nothing is searchable.
  if (!built_) throw TeskraError::not_built();
}

std::vector<SearchHit> IvfFlatIndex::search(const QuantPipeline& pipeline, const PreparedQuery& query,
                                            uint64_t k,
                                            const std::optional<std::span<const uint64_t>>& allowlist) const {
  require_searchable();
  if (!allowlist) return built_->search(pipeline, query, k);
  std::vector<std::span<const uint64_t>> held;
  for (const IvfList& list : built_->lists()) held.push_back(list.members.ids());
  size_t allowed = 0;
  const Allowlist allow = allowlist_for(*allowlist, held, &allowed);
  return built_->search(pipeline, query, k, &allow, allowed);
}

void IvfFlatIndex::search_batch(const QuantPipeline& pipeline, const QueryBatch& batch, uint64_t k,
                                const std::optional<std::span<const uint64_t>>& allowlist,
                                const Execution& exec) const {
  require_searchable();
  std::optional<Allowlist> allow;
  size_t allowed = 0;
  if (allowlist) {
    std::vector<std::span<const uint64_t>> held;
    for (const IvfList& list : built_->lists()) held.push_back(list.members.ids());
    allow.emplace(allowlist_for(*allowlist, held, &allowed));
  }
  parallel_for(exec, batch.size(), [&](size_t i, size_t) {
    const PreparedQuery query = batch.prepare(i);
    batch.deliver(
        i, allow ? built_->search(pipeline, query, k, &*allow, allowed) : built_->search(pipeline, query, k));
  });
}

void IvfFlatIndex::build_parallel(const QuantPipeline& pipeline, const Execution& exec) {
  // Nothing added since the last build (or ever): the index stays as it is.
  if (pending_.empty()) throw TeskraError::empty_index();
  // Every member of the current lists first, list by list, then the
  // pending vectors in insertion order.
  std::vector<const CodeStore*> members;
  if (built_) {
    for (const IvfList& list : built_->lists()) members.push_back(&list.members);
  }
  MemberRows rows(pipeline, members, pending_vectors_.data(), pending_.size());
  members.push_back(&pending_);
  IvfFlat built = IvfFlat::build(nlist_, nprobe_, pending_.bytes_per_vec(), padded_dim_, members, rows, seed_,
                                 metric_, exec);
  built_.emplace(std::move(built));
  pending_.release();
  std::vector<float>().swap(pending_vectors_);
}

void IvfFlatIndex::set_nprobe(uint64_t nprobe) {
  if (built_) built_->set_nprobe(nprobe);
}

void IvfFlatIndex::check_saveable() const {
  if (!built_) throw TeskraError::not_built();
  if (!pending_.empty()) {
    throw SaveRefused("cannot save: " + std::to_string(pending_.size()) +
                      " vectors were added after the last build() and are not in the index "
                      "yet; call build() first so that they are saved");
  }
  const std::vector<IvfList>& lists = built_->lists();
  bool fits = lists.size() <= kU32Max;
  for (const IvfList& list : lists) fits = fits && list.members.size() <= kU32Max;
  if (!fits) throw SaveRefused("cannot save: an IvfFlat index beyond 2^32 - 1 lists or members per list");
}

void IvfFlatIndex::write_section(ByteSink& out) const { write_ivf_section(out, *built_); }

}  // namespace teskra
