#include "core/engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/config.h"
#include "core/exec/free_heap.h"

namespace teskra {

namespace {

// Vectors encoded before they are handed to the structure, and vectors per
// encoding task: a chunk keeps its codes and float forms (2 MB at 512
// padded dimensions) in cache and gives every thread several tasks.
constexpr size_t kAddChunk = 1024;
constexpr size_t kEncodeTask = 32;

// The queries of a search_batch, prepared as search() prepares its query,
// and the rows of its result.
class EngineBatch final : public QueryBatch {
 public:
  EngineBatch(const QuantPipeline& pipeline, const float* queries, size_t dim, const BatchHits& out)
      : pipeline_(pipeline), queries_(queries), dim_(dim), out_(out) {}

  size_t size() const override { return out_.counts.size(); }
  PreparedQuery prepare(size_t i) const override {
    return pipeline_.prepare_query(
        pipeline_.transform_query(std::span<const float>(queries_ + i * dim_, dim_)));
  }
  void deliver(size_t i, std::vector<SearchHit> hits) const override {
    const size_t k = static_cast<size_t>(out_.k);
    const size_t n = std::min(hits.size(), k);
    uint64_t* ids = out_.ids.data() + i * k;
    float* scores = out_.scores.data() + i * k;
    for (size_t j = 0; j < n; ++j) {
      ids[j] = hits[j].id;
      scores[j] = hits[j].score;
    }
    std::fill(ids + n, ids + k, uint64_t{0});
    std::fill(scores + n, scores + k, std::numeric_limits<float>::quiet_NaN());
    out_.counts[i] = static_cast<int64_t>(n);
  }

 private:
  const QuantPipeline& pipeline_;
  const float* queries_;
  size_t dim_;
  const BatchHits& out_;
};

QuantPipeline make_pipeline(const EngineConfig& config) {
  validate_config(config);
  return QuantPipeline(config);
}

}  // namespace

Teskra::Teskra(const EngineConfig& config)
    : config_(config),
      pipeline_(make_pipeline(config)),
      index_(make_index(config_, pipeline_.packed_bytes_per_vec(), pipeline_.padded_dim())) {}

Teskra::Teskra(const EngineConfig& config, QuantPipeline pipeline, std::unique_ptr<IndexStructure> index,
               std::shared_ptr<const MappedFile> mapping)
    : config_(config),
      pipeline_(std::move(pipeline)),
      mapping_(std::move(mapping)),
      index_(std::move(index)) {}

void Teskra::require_changeable(const char* action) const {
  if (is_view()) {
    throw ViewIsReadOnly(std::string("cannot ") + action +
                         " a view of an index file: load() it to change it");
  }
}

std::span<const uint8_t> Teskra::codes() const {
  const CodeStore* store = index_->flat_store();
  return store ? store->codes() : std::span<const uint8_t>();
}

std::span<const uint64_t> Teskra::ids() const {
  const CodeStore* store = index_->flat_store();
  return store ? store->ids() : std::span<const uint64_t>();
}

std::span<const float> Teskra::norms() const {
  const CodeStore* store = index_->flat_store();
  return store ? store->norms() : std::span<const float>();
}

void Teskra::encode_rows(const RowFn& row, size_t first, size_t count, uint8_t* codes, float* norms,
                         float* forms, std::vector<std::vector<float>>& scratch,
                         const Execution& exec) const {
  const size_t bytes = static_cast<size_t>(pipeline_.packed_bytes_per_vec());
  const size_t p = static_cast<size_t>(pipeline_.padded_dim());
  parallel_for(exec, (count + kEncodeTask - 1) / kEncodeTask, [&](size_t task, size_t slot) {
    const size_t last = std::min(count, (task + 1) * kEncodeTask);
    for (size_t i = task * kEncodeTask; i < last; ++i) {
      uint8_t* code = codes + i * bytes;
      pipeline_.encode_into(row(first + i), code, scratch[slot]);
      // encode_into leaves the transformed vector in scratch.
      if (forms != nullptr) std::memcpy(forms + i * p, scratch[slot].data(), p * sizeof(float));
      norms[i] = pipeline_.compute_norm(code);
    }
  });
}

void Teskra::add_rows(std::span<const uint64_t> ids, const RowFn& row, const Execution& exec) {
  const size_t n = ids.size();
  if (n == 0) return;
  const size_t bytes = static_cast<size_t>(pipeline_.packed_bytes_per_vec());
  const size_t p = static_cast<size_t>(pipeline_.padded_dim());
  const size_t chunk = std::min(n, kAddChunk);
  std::vector<uint8_t> codes(chunk * bytes);
  std::vector<float> norms(chunk);
  std::vector<float> forms(chunk * p);
  std::vector<std::vector<float>> scratch(exec.slots());
  for (size_t start = 0; start < n; start += chunk) {
    const size_t count = std::min(chunk, n - start);
    encode_rows(row, start, count, codes.data(), norms.data(), forms.data(), scratch, exec);
    index_->add_batch(
        EncodedBatch{ids.subspan(start, count), codes.data(), norms.data(), forms.data(), bytes, p},
        pipeline_, exec);
    if (start + count < n) exec.poll();
  }
}

uint64_t Teskra::replace_rows(std::span<const uint64_t> removed, std::span<const uint64_t> ids,
                              const RowFn& row, const Execution& exec) {
  std::vector<uint64_t> doomed(removed.begin(), removed.end());
  std::sort(doomed.begin(), doomed.end());
  doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());
  // The whole batch is encoded before the structure changes.
  const size_t n = ids.size();
  const size_t bytes = static_cast<size_t>(pipeline_.packed_bytes_per_vec());
  const size_t p = static_cast<size_t>(pipeline_.padded_dim());
  std::vector<uint8_t> codes(n * bytes);
  std::vector<float> norms(n);
  std::vector<float> forms(index_->takes_forms() ? n * p : 0);
  if (n > 0) {
    std::vector<std::vector<float>> scratch(exec.slots());
    encode_rows(row, 0, n, codes.data(), norms.data(), forms.empty() ? nullptr : forms.data(), scratch, exec);
  }
  const EncodedBatch batch{ids, codes.data(), norms.data(), forms.empty() ? nullptr : forms.data(), bytes, p};
  return index_->replace(doomed, batch, pipeline_, exec);
}

uint64_t Teskra::replace_and_trim(std::span<const uint64_t> removed, std::span<const uint64_t> ids,
                                  const RowFn& row, const Execution& exec) {
  const uint64_t count = replace_rows(removed, ids, row, exec);
  // The encoded batch and, for a graph, the one replaced are freed by now.
  return_free_heap();
  return count;
}

void Teskra::add(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors,
                 const Execution& exec) {
  require_changeable("add to");
  if (ids.size() != vectors.size()) throw TeskraError::count_mismatch(ids.size(), vectors.size());
  if (ids.empty()) return;
  index_->reserve(ids.size(), exec.slots());
  // The vectors before the first one of the wrong length are added, then
  // that one is refused.
  size_t good = 0;
  while (good < vectors.size() && vectors[good].size() == config_.dim) ++good;
  add_rows(
      ids.first(good), [&](size_t i) { return std::span<const float>(vectors[i]); }, exec);
  if (good < vectors.size()) throw TeskraError::dimension_mismatch(config_.dim, vectors[good].size());
}

void Teskra::check_flat(std::span<const uint64_t> ids, std::span<const float> flat) const {
  const uint64_t d = config_.dim;
  if (d == 0) throw TeskraError::count_mismatch(ids.size(), 0);
  // Compare without forming d * ids.size(), which can overflow.
  if (flat.size() / d != ids.size() || flat.size() % d != 0) {
    throw TeskraError::count_mismatch(ids.size(), flat.size() / d);
  }
}

void Teskra::add_flat(std::span<const uint64_t> ids, std::span<const float> flat, const Execution& exec) {
  require_changeable("add to");
  check_flat(ids, flat);
  if (ids.empty()) return;
  index_->reserve(ids.size(), exec.slots());
  const size_t d = static_cast<size_t>(config_.dim);
  add_rows(
      ids, [&](size_t i) { return flat.subspan(i * d, d); }, exec);
}

uint64_t Teskra::remove(std::span<const uint64_t> ids, const Execution& exec) {
  require_changeable("remove from");
  return ids.empty() ? 0 : replace_and_trim(ids, {}, {}, exec);
}

uint64_t Teskra::upsert(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors,
                        const Execution& exec) {
  require_changeable("upsert into");
  if (ids.size() != vectors.size()) throw TeskraError::count_mismatch(ids.size(), vectors.size());
  for (const std::vector<float>& v : vectors) {
    if (v.size() != config_.dim) throw TeskraError::dimension_mismatch(config_.dim, v.size());
  }
  if (ids.empty()) return 0;
  return replace_and_trim(
      ids, ids, [&](size_t i) { return std::span<const float>(vectors[i]); }, exec);
}

uint64_t Teskra::upsert_flat(std::span<const uint64_t> ids, std::span<const float> flat,
                             const Execution& exec) {
  require_changeable("upsert into");
  check_flat(ids, flat);
  if (ids.empty()) return 0;
  const size_t d = static_cast<size_t>(config_.dim);
  return replace_and_trim(
      ids, ids, [&](size_t i) { return flat.subspan(i * d, d); }, exec);
}

std::vector<SearchHit> Teskra::search(std::span<const float> query, uint64_t k,
                                      const std::optional<std::span<const uint64_t>>& allowlist) const {
  if (query.size() != config_.dim) throw TeskraError::dimension_mismatch(config_.dim, query.size());
  if (n_vectors() == 0) throw TeskraError::empty_index();
  index_->require_searchable();
  if (k == 0) return {};
  const PreparedQuery pq = pipeline_.prepare_query(pipeline_.transform_query(query));
  return index_->search(pipeline_, pq, k, allowlist);
}

void Teskra::search_batch(const float* queries, size_t query_dim,
                          const std::optional<std::span<const uint64_t>>& allowlist, const BatchHits& out,
                          const Execution& exec) const {
  if (query_dim != config_.dim) throw TeskraError::dimension_mismatch(config_.dim, query_dim);
  if (out.counts.empty()) return;
  if (n_vectors() == 0) throw TeskraError::empty_index();
  index_->require_searchable();
  if (out.k == 0) {
    std::fill(out.counts.begin(), out.counts.end(), int64_t{0});
    return;
  }
  index_->search_batch(pipeline_, EngineBatch(pipeline_, queries, query_dim, out), out.k, allowlist, exec);
}

void Teskra::fit(std::span<const std::vector<float>> samples) {
  require_changeable("fit");
  if (metric() != Metric::L2) return;
  // Every stored vector must be encoded under the same parameters; vectors
  // waiting for a build are not searchable, but they are encoded already.
  if (index_->stored() != 0) throw TeskraError::fit_after_add();
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
  const double factor = variance > 1e-10 ? 1.0 / std::sqrt(variance * static_cast<double>(dim)) : 1.0;
  StdParams params;
  params.mean.assign(dim, static_cast<float>(mean));
  params.inv_std.assign(dim, static_cast<float>(factor));
  pipeline_.set_std_params(std::move(params));
}

}  // namespace teskra
