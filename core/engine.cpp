#include "core/engine.h"

#include "core/search/brute.h"
#include "core/search/filter.h"

namespace teskra {

namespace {

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
      packed_bytes_per_vec_(pipeline_.packed_bytes_per_vec()) {}

uint64_t Teskra::n_vectors() const { return ids_.size(); }

void Teskra::store_one(uint64_t id, std::span<const float> v, std::vector<float>& scratch) {
  const size_t bytes = packed_bytes_per_vec_;
  const size_t old_size = codes_.size();
  // Grow every store before writing so that a failed allocation leaves the
  // three arrays parallel.
  codes_.resize(old_size + bytes);
  try {
    ids_.reserve(ids_.size() + 1);
    norms_.reserve(norms_.size() + 1);
    if (index_type() == IndexType::IvfFlat) {
      pending_vectors_.reserve(pending_vectors_.size() + pipeline_.padded_dim());
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
  if (index_type() == IndexType::Hnsw) throw TeskraError::not_implemented("Hnsw");
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
  if (index_type() == IndexType::Hnsw) throw TeskraError::not_implemented("Hnsw");
  codes_.reserve(codes_.size() + ids.size() * packed_bytes_per_vec_);
  ids_.reserve(ids_.size() + ids.size());
  norms_.reserve(norms_.size() + ids.size());
  std::vector<float> scratch;
  for (size_t i = 0; i < ids.size(); ++i) {
    store_one(ids[i], flat.subspan(i * d, d), scratch);
  }
}

std::vector<SearchHit> Teskra::search(
    std::span<const float> query, uint64_t k,
    const std::optional<std::span<const uint64_t>>& allowlist) const {
  if (query.size() != config_.dim) throw TeskraError::dimension_mismatch(config_.dim, query.size());
  if (n_vectors() == 0) throw TeskraError::empty_index();
  switch (index_type()) {
    case IndexType::IvfFlat:
      // The clusters arrive with build(); until then nothing is searchable.
      throw TeskraError::not_built();
    case IndexType::Hnsw:
      throw TeskraError::not_implemented("Hnsw");
    case IndexType::BruteForce:
      break;
  }
  PreparedQuery pq = pipeline_.prepare_query(pipeline_.transform_query(query));
  std::optional<Allowlist> allow;
  if (allowlist) allow.emplace(*allowlist);
  FlatStoreView store{codes_, packed_bytes_per_vec_, ids_, norms_};
  return brute_force_search(pipeline_, pq, store, k, allow ? &*allow : nullptr);
}

}  // namespace teskra
