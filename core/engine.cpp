#include "core/engine.h"

#include <cmath>

#include "core/config.h"

namespace teskra {

namespace {

QuantPipeline make_pipeline(const EngineConfig& config) {
  validate_config(config);
  return QuantPipeline(config);
}

}  // namespace

Teskra::Teskra(const EngineConfig& config)
    : config_(config),
      pipeline_(make_pipeline(config)),
      index_(make_index(config_, pipeline_.packed_bytes_per_vec(), pipeline_.padded_dim())) {}

Teskra::Teskra(const EngineConfig& config, QuantPipeline pipeline, std::unique_ptr<IndexStructure> index)
    : config_(config), pipeline_(std::move(pipeline)), index_(std::move(index)) {}

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

void Teskra::store_one(uint64_t id, std::span<const float> v, std::vector<float>& scratch,
                       std::vector<uint8_t>& code) {
  code.resize(static_cast<size_t>(pipeline_.packed_bytes_per_vec()));
  pipeline_.encode_into(v, code.data(), scratch);
  // encode_into leaves the transformed vector in scratch.
  index_->add(id, code.data(), pipeline_.compute_norm(code.data()),
              std::span<const float>(scratch.data(), static_cast<size_t>(pipeline_.padded_dim())), pipeline_);
}

void Teskra::add(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors) {
  if (ids.size() != vectors.size()) throw TeskraError::count_mismatch(ids.size(), vectors.size());
  if (ids.empty()) return;
  index_->reserve(ids.size());
  std::vector<float> scratch;
  std::vector<uint8_t> code;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (vectors[i].size() != config_.dim) {
      throw TeskraError::dimension_mismatch(config_.dim, vectors[i].size());
    }
    store_one(ids[i], vectors[i], scratch, code);
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
  index_->reserve(ids.size());
  std::vector<float> scratch;
  std::vector<uint8_t> code;
  for (size_t i = 0; i < ids.size(); ++i) store_one(ids[i], flat.subspan(i * d, d), scratch, code);
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

void Teskra::fit(std::span<const std::vector<float>> samples) {
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
  const double factor =
      variance > 1e-10 ? 1.0 / std::sqrt(variance * static_cast<double>(dim)) : 1.0;
  StdParams params;
  params.mean.assign(dim, static_cast<float>(mean));
  params.inv_std.assign(dim, static_cast<float>(factor));
  pipeline_.set_std_params(std::move(params));
}

}  // namespace teskra
