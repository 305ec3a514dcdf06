// Teskra: one index. Owns its configuration, its quantization pipeline, the
// flat store of packed codes (codes / ids / norms, parallel) and at most one
// approximate index structure.
//
// Where vectors live:
//   BruteForce  the flat store, appended to by add.
//   IvfFlat     the flat store plus their transformed forms until build
//               clusters them (arrives with the IVF index).
//   Hnsw        the graph's nodes (arrives with the graph index).
//
// Errors are thrown as TeskraError; std::bad_alloc may also escape.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/quantize/pipeline.h"
#include "core/types.h"

namespace teskra {

class Teskra {
 public:
  // Throws InvalidBitWidth for a bit_width other than 2 or 4 and for an
  // n4_dims the pipeline rejects. Nothing else is validated here.
  explicit Teskra(const EngineConfig& config);

  const EngineConfig& config() const { return config_; }
  const QuantPipeline& pipeline() const { return pipeline_; }
  Metric metric() const { return static_cast<Metric>(config_.metric); }
  IndexType index_type() const { return static_cast<IndexType>(config_.index_type); }
  uint64_t packed_bytes_per_vec() const { return packed_bytes_per_vec_; }

  // Searchable vectors: the flat store's count for BruteForce. An IvfFlat
  // engine counts its flat store until it is built.
  uint64_t n_vectors() const;
  bool is_empty() const { return n_vectors() == 0; }

  // Flat store, in insertion order.
  const std::vector<uint8_t>& codes() const { return codes_; }
  const std::vector<uint64_t>& ids() const { return ids_; }
  const std::vector<float>& norms() const { return norms_; }

  // One vector per id. CountMismatch before anything is stored; a vector of
  // the wrong length throws DimensionMismatch and the vectors before it stay
  // added.
  void add(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors);
  // Vectors back to back in flat, dim values each, read in place.
  // CountMismatch (nothing stored) when dim is 0 or the length is not
  // dim * ids.size().
  void add_flat(std::span<const uint64_t> ids, std::span<const float> flat);

  // The k best hits, highest score first. DimensionMismatch for a query of the
  // wrong length (checked first), EmptyIndex when nothing is searchable. An
  // absent allowlist means no restriction; an empty one allows nothing.
  std::vector<SearchHit> search(std::span<const float> query, uint64_t k,
                                const std::optional<std::span<const uint64_t>>& allowlist) const;

 private:
  // Encodes v and stores it by index type. scratch is reused across a batch.
  void store_one(uint64_t id, std::span<const float> v, std::vector<float>& scratch);

  EngineConfig config_;
  QuantPipeline pipeline_;
  uint64_t packed_bytes_per_vec_;
  std::vector<uint8_t> codes_;
  std::vector<uint64_t> ids_;
  std::vector<float> norms_;
  // IvfFlat only: the transformed form of every vector added since the last
  // build, padded_dim values each, back to back; the next build's input.
  std::vector<float> pending_vectors_;
};

}  // namespace teskra
