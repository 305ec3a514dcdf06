// Teskra: one index. Owns its configuration, its quantization pipeline, the
// flat store of packed codes (codes / ids / norms, parallel) and at most one
// approximate index structure.
//
// Where vectors live:
//   BruteForce  the flat store, appended to by add.
//   IvfFlat     the flat store plus their transformed forms until build
//               clusters them into the lists of ivf(); vectors added after a
//               build wait there (unsearchable) until the next build.
//   Hnsw        the graph's nodes only; each added vector is inserted at
//               once and the flat store stays empty.
//
// IvfFlat states:
//   unbuilt        n_vectors counts the flat store; search fails NotBuilt
//                  (EmptyIndex with no vectors).
//   built          n_vectors counts the lists; search probes them.
//   built+pending  as built; the added vectors are neither counted nor found.
// A build in the last state re-clusters every vector: the members already in
// the lists (their float forms were released at the previous build, or never
// existed after a load) are reconstructed from their codes, the pending ones
// use their kept transformed forms. Assigning new vectors to old clusters
// would be cheaper, but the old centroids drift away from the data as it
// grows and recall decays; re-clustering searches as well as a fresh build.
//
// Errors are thrown as TeskraError; std::bad_alloc may also escape, and save
// throws SaveRefused (io/index_file.h) for an index no file can hold.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/quantize/pipeline.h"
#include "core/search/hnsw.h"
#include "core/search/ivf.h"
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

  // Searchable vectors: the members of the IvfFlat lists once built, the
  // graph's nodes for Hnsw, otherwise the flat store's count.
  uint64_t n_vectors() const;
  bool is_empty() const { return n_vectors() == 0; }

  // Flat store, in insertion order.
  const std::vector<uint8_t>& codes() const { return codes_; }
  const std::vector<uint64_t>& ids() const { return ids_; }
  const std::vector<float>& norms() const { return norms_; }
  // IvfFlat: transformed forms of the flat store's vectors, padded_dim each.
  // They belong to its last pending_vectors().size() / padded_dim vectors
  // (all of them unless the store came from a file, which keeps no floats).
  const std::vector<float>& pending_vectors() const { return pending_vectors_; }
  // The IvfFlat index, once built.
  const std::optional<IvfFlat>& ivf() const { return ivf_; }
  // The graph: present exactly when the index type is Hnsw.
  const std::optional<Hnsw>& hnsw() const { return hnsw_; }

  // One vector per id. CountMismatch before anything is stored; a vector of
  // the wrong length throws DimensionMismatch and the vectors before it stay
  // added.
  void add(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors);
  // Vectors back to back in flat, dim values each, read in place.
  // CountMismatch (nothing stored) when dim is 0 or the length is not
  // dim * ids.size().
  void add_flat(std::span<const uint64_t> ids, std::span<const float> flat);

  // The k best hits, highest score first. DimensionMismatch for a query of the
  // wrong length (checked first), EmptyIndex when nothing is searchable,
  // NotBuilt for an IvfFlat engine never built. An absent allowlist means no
  // restriction; an empty one allows nothing. IvfFlat filters its top k by
  // the allowlist afterwards, so it may return fewer than k hits.
  std::vector<SearchHit> search(std::span<const float> query, uint64_t k,
                                const std::optional<std::span<const uint64_t>>& allowlist) const;

  // Standardization for L2 (other metrics: no effect, no error). Throws, in
  // this order, FitAfterAdd when any vector is stored, EmptySample, then
  // DimensionMismatch for the first sample of the wrong length. One mean and
  // one factor over all values of all samples (double sums) serve every
  // dimension: factor = 1 / sqrt(variance * dim), so a standardized vector
  // has unit mean squared norm, the scale the codebooks are built for; a
  // variance of at most 1e-10 keeps factor 1. Replaces an earlier fit.
  void fit(std::span<const std::vector<float>> samples);

  // IvfFlat: clusters every stored vector (see the states above) into
  // min(n, max(ivf_nlist, 1)) lists with nprobe = ivf_nprobe, then empties
  // the flat store and the pending vectors. EmptyIndex when nothing was
  // added since the last build; on any error the engine is unchanged.
  // Hnsw: releases the graph's construction vectors (later adds still work,
  // scoring released nodes through their codes). BruteForce: nothing to do.
  void build();

  // Set on the built IvfFlat index; without one nothing happens (the next
  // build takes ivf_nprobe from the configuration).
  void set_nprobe(uint64_t nprobe);
  // Set on the Hnsw graph; without one nothing happens.
  void set_ef_search(uint64_t ef);

  // Writes the index to path (core/io/format.h): the configuration it was
  // created with (not run-time nprobe / ef_search), the standardization
  // parameters, and the index structure. Before touching any file: Hnsw
  // without a graph throws NotImplemented, IvfFlat never built throws
  // NotBuilt, and an index no file can hold faithfully throws SaveRefused
  // (io/index_file.h), e.g. an IvfFlat index with vectors added since its
  // last build. The file is replaced atomically (io/atomic_file.h): on any
  // failure (Io with the system's text) the previous file stays as it was.
  // A path holding a NUL throws Io.
  void save(const std::string& path) const;
  // Reads an index file through a buffered reader. The loaded engine owns
  // everything; the file may change or go away afterwards. Errors: Io (the
  // system's text, or "failed to fill whole buffer" for a file shorter than
  // it claims), InvalidFile, UnsupportedVersion, InvalidMetric,
  // UnsupportedIndexType, InvalidBitWidth.
  static Teskra load(const std::string& path);
  // The loader the binding uses; the same result as load(). It reads rather
  // than maps the file, so a file shortened by another process while it is
  // read fails with Io instead of killing the process.
  static Teskra load_mmap(const std::string& path);

 private:
  // The loader (io/index_file.cpp) assembles an engine from a file: it
  // builds the pipeline with the file's parameters (whose bit_width is kept
  // as stored, not validated) and fills the stores itself.
  friend class IndexFile;
  Teskra(const EngineConfig& config, QuantPipeline pipeline);

  // A store read from a file without norms holds fewer norms than ids. The
  // first add computes the missing ones from the codes, so that every
  // score of a ranking is adjusted by its norm, not some raw and some not.
  void complete_flat_norms();
  // Encodes v and stores it by index type. scratch is reused across a batch.
  void store_one(uint64_t id, std::span<const float> v, std::vector<float>& scratch);
  void build_ivf();

  EngineConfig config_;
  QuantPipeline pipeline_;
  uint64_t packed_bytes_per_vec_;
  std::vector<uint8_t> codes_;
  std::vector<uint64_t> ids_;
  std::vector<float> norms_;
  // IvfFlat only: the transformed form of every vector added since the last
  // build, padded_dim values each, back to back; the next build's input.
  std::vector<float> pending_vectors_;
  std::optional<IvfFlat> ivf_;
  std::optional<Hnsw> hnsw_;
  // Hnsw: the code of the vector being inserted (the graph copies it).
  std::vector<uint8_t> graph_code_;
};

}  // namespace teskra
