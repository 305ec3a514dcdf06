#include "core/engine.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "core/search/brute.h"
#include "core/search/filter.h"
#include "core/search/kmeans.h"

namespace teskra {

namespace {

// The rows a build clusters, in member order: parts whose float forms are
// kept are read in place, the others are decoded from their codes (centroid
// value of every coordinate), a block at a time, so a rebuild never holds the
// float forms of the clustered members all at once.
class MemberRows final : public RowSource {
 public:
  struct Part {
    const uint8_t* codes;  // count codes, used when floats is null
    const float* floats;   // count rows of padded_dim floats, or null
    size_t count;
  };

  MemberRows(const QuantPipeline& pipeline, std::vector<Part> parts)
      : pipeline_(pipeline),
        dim_(static_cast<size_t>(pipeline.padded_dim())),
        bytes_(static_cast<size_t>(pipeline.packed_bytes_per_vec())),
        parts_(std::move(parts)) {
    starts_.reserve(parts_.size());
    for (const Part& p : parts_) {
      starts_.push_back(total_);
      total_ += p.count;
    }
  }

  size_t size() const override { return total_; }
  size_t dim() const override { return dim_; }

  void fetch(size_t start, size_t count, float* scratch, const float** out) const override {
    // The part holding row start: the last one starting at or before it.
    size_t part = static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), start) -
                                      starts_.begin()) - 1;
    for (size_t j = 0; j < count; ++j) {
      const size_t row = start + j;
      while (row >= starts_[part] + parts_[part].count) ++part;
      const Part& p = parts_[part];
      const size_t local = row - starts_[part];
      if (p.floats != nullptr) {
        out[j] = p.floats + local * dim_;
      } else {
        float* dst = scratch + j * dim_;
        pipeline_.dequantize_into(p.codes + local * bytes_, dst);
        out[j] = dst;
      }
    }
  }

 private:
  const QuantPipeline& pipeline_;
  size_t dim_;
  size_t bytes_;
  std::vector<Part> parts_;
  std::vector<size_t> starts_;
  size_t total_ = 0;
};

// Norms for the members that lack one (a store or lists read from a file
// without norms), so every list of a build holds a norm per member.
std::vector<float> complete_norms(const QuantPipeline& pipeline, std::span<const float> norms,
                                  std::span<const uint8_t> codes, size_t n) {
  std::vector<float> out(norms.begin(), norms.begin() + static_cast<ptrdiff_t>(std::min(norms.size(), n)));
  out.reserve(n);
  const size_t bytes = static_cast<size_t>(pipeline.packed_bytes_per_vec());
  // Short codes are a malformed store, which the build rejects.
  const size_t coded = std::min(n, codes.size() / bytes);
  for (size_t i = out.size(); i < coded; ++i) out.push_back(pipeline.compute_norm(codes.data() + i * bytes));
  return out;
}

template <class T>
void release(std::vector<T>& v) {
  std::vector<T>().swap(v);
}

// Room for extra more elements. Growing geometrically matters: reserving
// exactly size + extra on every add reallocates and copies the whole store
// each time, which makes adding n vectors cost O(n^2).
template <class T>
void reserve_more(std::vector<T>& v, size_t extra) {
  const size_t need = v.size() + extra;
  if (need > v.capacity()) v.reserve(std::max(need, 2 * v.capacity()));
}

QuantPipeline make_pipeline(const EngineConfig& config) {
  // The width is checked before the pipeline is built: a bad width is the
  // first thing a caller hears about, whatever n4_dims says.
  if (config.bit_width != 4 && config.bit_width != 2) {
    throw TeskraError::invalid_bit_width(config.bit_width);
  }
  return QuantPipeline(config);
}

}  // namespace

Teskra::Teskra(const EngineConfig& config)
    : config_(config),
      pipeline_(make_pipeline(config)),
      packed_bytes_per_vec_(pipeline_.packed_bytes_per_vec()) {
  if (index_type() == IndexType::Hnsw) {
    // Throws std::invalid_argument for m < 2, whose levels have no bound;
    // the binding rejects such arguments with its own message first.
    hnsw_.emplace(config.hnsw_m, config.hnsw_ef_construction, config.hnsw_ef_search,
                  packed_bytes_per_vec_, pipeline_.padded_dim());
  }
}

Teskra::Teskra(const EngineConfig& config, QuantPipeline pipeline)
    : config_(config),
      pipeline_(std::move(pipeline)),
      packed_bytes_per_vec_(pipeline_.packed_bytes_per_vec()) {}

void Teskra::complete_flat_norms() {
  // Built aside and swapped in: a failed allocation changes nothing.
  norms_ = complete_norms(pipeline_, norms_, codes_, ids_.size());
}

uint64_t Teskra::n_vectors() const {
  // Once built, an IvfFlat index searches its lists only; vectors added
  // since wait in the flat store and are not counted until the next build.
  if (ivf_) return ivf_->n_members();
  if (hnsw_) return hnsw_->size();
  return ids_.size();
}

void Teskra::store_one(uint64_t id, std::span<const float> v, std::vector<float>& scratch) {
  const size_t bytes = packed_bytes_per_vec_;
  if (hnsw_) {
    // The graph keeps code, norm and id itself; the transformed vector is its
    // construction vector.
    std::vector<uint8_t>& code = graph_code_;
    code.resize(bytes);
    pipeline_.encode_into(v, code.data(), scratch);
    hnsw_->insert(id, code.data(), pipeline_.compute_norm(code.data()),
                  std::span<const float>(scratch.data(), static_cast<size_t>(pipeline_.padded_dim())),
                  metric(), pipeline_);
    return;
  }
  // Only a store loaded without norms lacks some; filled once, on the
  // first vector actually stored, so a failed add changes no ranking.
  if (norms_.size() < ids_.size()) complete_flat_norms();
  const size_t old_size = codes_.size();
  // Grow every store before writing so that a failed allocation leaves the
  // three arrays parallel.
  reserve_more(codes_, bytes);
  codes_.resize(old_size + bytes);
  try {
    reserve_more(ids_, 1);
    reserve_more(norms_, 1);
    if (index_type() == IndexType::IvfFlat) {
      reserve_more(pending_vectors_, static_cast<size_t>(pipeline_.padded_dim()));
    }
  } catch (...) {
    codes_.resize(old_size);
    throw;
  }
  uint8_t* code = codes_.data() + old_size;
  pipeline_.encode_into(v, code, scratch);
  // encode_into leaves the transformed vector in scratch.
  if (index_type() == IndexType::IvfFlat) {
    pending_vectors_.insert(pending_vectors_.end(), scratch.begin(),
                            scratch.begin() + static_cast<ptrdiff_t>(pipeline_.padded_dim()));
  }
  norms_.push_back(pipeline_.compute_norm(code));
  ids_.push_back(id);
}

void Teskra::add(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors) {
  if (ids.size() != vectors.size()) throw TeskraError::count_mismatch(ids.size(), vectors.size());
  if (ids.empty()) return;
  std::vector<float> scratch;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (vectors[i].size() != config_.dim) {
      throw TeskraError::dimension_mismatch(config_.dim, vectors[i].size());
    }
    store_one(ids[i], vectors[i], scratch);
  }
}

void Teskra::add_flat(std::span<const uint64_t> ids, std::span<const float> flat) {
  const uint64_t d = config_.dim;
  if (d == 0) throw TeskraError::count_mismatch(ids.size(), 0);
  // Compare without forming d * ids.size(), which can overflow.
  if (flat.size() / d != ids.size() || flat.size() % d != 0) {
    throw TeskraError::count_mismatch(ids.size(), flat.size() / d);
  }
  if (ids.empty()) return;
  std::vector<float> scratch;
  if (hnsw_) {
    for (size_t i = 0; i < ids.size(); ++i) store_one(ids[i], flat.subspan(i * d, d), scratch);
    return;
  }
  reserve_more(codes_, ids.size() * packed_bytes_per_vec_);
  reserve_more(ids_, ids.size());
  reserve_more(norms_, ids.size());
  if (index_type() == IndexType::IvfFlat) {
    reserve_more(pending_vectors_, ids.size() * pipeline_.padded_dim());
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    store_one(ids[i], flat.subspan(i * d, d), scratch);
  }
}

std::vector<SearchHit> Teskra::search(
    std::span<const float> query, uint64_t k,
    const std::optional<std::span<const uint64_t>>& allowlist) const {
  if (query.size() != config_.dim) throw TeskraError::dimension_mismatch(config_.dim, query.size());
  if (n_vectors() == 0) throw TeskraError::empty_index();
  // The clusters arrive with build(); until then nothing is searchable. An
  // Hnsw engine always holds its graph; the second test guards a state that
  // no engine reaches.
  if (index_type() == IndexType::IvfFlat && !ivf_) throw TeskraError::not_built();
  if (index_type() == IndexType::Hnsw && !hnsw_) throw TeskraError::not_implemented("Hnsw");
  if (k == 0) return {};
  const PreparedQuery pq = pipeline_.prepare_query(pipeline_.transform_query(query));
  if (ivf_ || hnsw_) {
    std::vector<SearchHit> hits =
        ivf_ ? ivf_->search(pipeline_, pq, k) : hnsw_->search(pipeline_, pq, k, metric());
    // The approximate indexes filter their top k: a linear scan of the
    // caller's list per hit, no memory in proportion to the list.
    if (allowlist) filter_hits_by_ids(hits, *allowlist);
    return hits;
  }
  std::optional<Allowlist> allow;
  if (allowlist) {
    if (allowlist->size() <= ids_.size()) {
      allow.emplace(*allowlist);
    } else {
      // A caller's list far longer than the index would size the Allowlist by
      // the list. Only the ids the index holds can ever be admitted, so keep
      // those: the same answers from a set no larger than the index.
      std::unordered_set<uint64_t> stored(ids_.begin(), ids_.end());
      std::vector<uint64_t> kept;
      for (uint64_t id : *allowlist) {
        if (stored.erase(id) != 0) kept.push_back(id);
      }
      allow.emplace(kept);
    }
  }
  FlatStoreView store{codes_, packed_bytes_per_vec_, ids_, norms_};
  return brute_force_search(pipeline_, pq, store, k, allow ? &*allow : nullptr);
}

void Teskra::fit(std::span<const std::vector<float>> samples) {
  if (metric() != Metric::L2) return;
  // Every stored vector must be encoded under the same parameters. The flat
  // store is checked too: vectors waiting for a build are not counted by
  // n_vectors, but they are encoded already.
  if (n_vectors() != 0 || !ids_.empty()) throw TeskraError::fit_after_add();
  if (samples.empty()) throw TeskraError::empty_sample();
  const uint64_t dim = config_.dim;
  for (const std::vector<float>& s : samples) {
    if (s.size() != dim) throw TeskraError::dimension_mismatch(dim, s.size());
  }
  double sum = 0.0, sum_sq = 0.0;
  for (const std::vector<float>& s : samples) {
    for (float x : s) {
      const double w = x;
      sum += w;
      sum_sq += w * w;
    }
  }
  const double count = static_cast<double>(samples.size()) * static_cast<double>(dim);
  const double mean = count > 0.0 ? sum / count : 0.0;
  double variance = count > 0.0 ? sum_sq / count - mean * mean : 0.0;
  if (!(variance > 0.0)) variance = 0.0;  // negative by rounding, or NaN
  // The pipeline scales rotated vectors by sqrt(padded_dim), which puts the
  // coordinates of a unit-norm input on the codebooks' standard normal
  // scale. Dividing by the deviation alone would leave a standardized vector
  // with squared norm ~dim, its coordinates ~sqrt(dim) times too wide for
  // the codebooks; the extra sqrt(dim) makes the mean squared norm 1.
  const double factor =
      variance > 1e-10 ? 1.0 / std::sqrt(variance * static_cast<double>(dim)) : 1.0;
  StdParams params;
  params.mean.assign(dim, static_cast<float>(mean));
  params.inv_std.assign(dim, static_cast<float>(factor));
  pipeline_.set_std_params(std::move(params));
}

void Teskra::build() {
  switch (index_type()) {
    case IndexType::BruteForce:
      return;
    case IndexType::Hnsw:
      // The graph is built during add; only its construction vectors go.
      if (hnsw_) hnsw_->release_vectors();
      return;
    case IndexType::IvfFlat:
      build_ivf();
      return;
  }
}

void Teskra::build_ivf() {
  // Nothing added since the last build (or ever): the index stays as it is.
  if (ids_.empty()) throw TeskraError::empty_index();
  const size_t bytes = static_cast<size_t>(packed_bytes_per_vec_);
  const size_t dim = static_cast<size_t>(pipeline_.padded_dim());

  // Every member of the current lists first, list by list, then the flat
  // store in insertion order.
  std::vector<MemberSpan> members;
  std::vector<MemberRows::Part> parts;
  std::vector<std::vector<float>> filled_norms;  // for lists without norms
  if (ivf_) {
    const std::vector<IvfList>& lists = ivf_->lists();
    members.reserve(lists.size() + 1);
    parts.reserve(lists.size() + 2);
    filled_norms.reserve(lists.size());
    for (const IvfList& list : lists) {
      const size_t n = list.ids.size();
      std::span<const float> norms = list.norms;
      if (list.norms.size() != n) {
        filled_norms.push_back(complete_norms(pipeline_, list.norms, list.codes, n));
        norms = filled_norms.back();
      }
      members.push_back({list.ids, list.codes, norms});
      parts.push_back({list.codes.data(), nullptr, n});
    }
  }
  const size_t n_flat = ids_.size();
  std::vector<float> flat_norms_filled;
  std::span<const float> flat_norms = norms_;
  if (norms_.size() != n_flat) {
    flat_norms_filled = complete_norms(pipeline_, norms_, codes_, n_flat);
    flat_norms = flat_norms_filled;
  }
  members.push_back({ids_, codes_, flat_norms});
  // Kept float forms belong to the last vectors of the store.
  const size_t n_floats = std::min(n_flat, dim == 0 ? 0 : pending_vectors_.size() / dim);
  const size_t n_decoded = n_flat - n_floats;
  if (n_decoded != 0) parts.push_back({codes_.data(), nullptr, n_decoded});
  if (n_floats != 0) {
    parts.push_back({nullptr, pending_vectors_.data() + (pending_vectors_.size() / dim - n_floats) * dim,
                     n_floats});
  }
  MemberRows rows(pipeline_, std::move(parts));

  IvfFlat built = IvfFlat::build(config_.ivf_nlist, config_.ivf_nprobe, bytes, dim, members, rows,
                                 config_.seed, metric());
  ivf_.emplace(std::move(built));
  release(codes_);
  release(ids_);
  release(norms_);
  release(pending_vectors_);
}

void Teskra::set_nprobe(uint64_t nprobe) {
  if (ivf_) ivf_->set_nprobe(nprobe);
}

void Teskra::set_ef_search(uint64_t ef) {
  // Stored unchanged: 0 makes a search use k as its list size.
  if (hnsw_) hnsw_->set_ef_search(ef);
}

}  // namespace teskra
