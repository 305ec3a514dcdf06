// Teskra: one index. Owns its configuration, its quantization pipeline and
// exactly one index structure (search/index_structure.h), which holds the
// vectors: BruteForce a flat store, IvfFlat its lists and the vectors
// waiting for the next build, Hnsw its graph. The engine encodes, prepares
// queries and checks arguments; the structure stores and searches.
//
// Errors are thrown as TeskraError; ConfigError (config.h) from the
// constructor; std::bad_alloc may also escape, and save throws SaveRefused
// (io/index_file.h) for an index no file can hold.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/io/byte_stream.h"
#include "core/quantize/pipeline.h"
#include "core/search/index_structure.h"
#include "core/types.h"

namespace teskra {

class Teskra {
 public:
  // Throws what validate_config (config.h) throws.
  explicit Teskra(const EngineConfig& config);
  // An engine from parts read from a file: the pipeline built with the
  // file's parameters and its index structure.
  Teskra(const EngineConfig& config, QuantPipeline pipeline, std::unique_ptr<IndexStructure> index);

  const EngineConfig& config() const { return config_; }
  const QuantPipeline& pipeline() const { return pipeline_; }
  Metric metric() const { return config_.metric; }
  IndexType index_type() const { return config_.index_type; }
  uint64_t packed_bytes_per_vec() const { return pipeline_.packed_bytes_per_vec(); }
  const IndexStructure& index() const { return *index_; }

  // Searchable vectors: the members of the IvfFlat lists once built, the
  // graph's nodes for Hnsw, otherwise the stored vectors.
  uint64_t n_vectors() const { return index_->size(); }
  bool is_empty() const { return n_vectors() == 0; }

  // The flat store of a BruteForce index, in insertion order; empty for the
  // other types.
  std::span<const uint8_t> codes() const;
  std::span<const uint64_t> ids() const;
  std::span<const float> norms() const;

  // One vector per id. CountMismatch before anything is stored; room for the
  // whole batch is made before the first vector is stored, so running out
  // of memory stores nothing. A vector of the wrong length throws
  // DimensionMismatch and the vectors before it stay added.
  void add(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors);
  // Vectors back to back in flat, dim values each, read in place.
  // CountMismatch (nothing stored) when dim is 0 or the length is not
  // dim * ids.size().
  void add_flat(std::span<const uint64_t> ids, std::span<const float> flat);

  // The k best hits, highest score first. DimensionMismatch for a query of the
  // wrong length (checked first), EmptyIndex when nothing is searchable,
  // NotBuilt for an IvfFlat engine never built. An absent allowlist means no
  // restriction; an empty one allows nothing. BruteForce and IvfFlat return
  // fewer than k hits only when fewer allowed vectors exist; Hnsw filters
  // its top k by the allowlist afterwards, so it may return fewer.
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

  // The structure's build (IvfFlat: cluster, EmptyIndex when nothing was
  // added since the last build, unchanged on any error; Hnsw: release the
  // construction vectors; BruteForce: nothing).
  void build() { index_->build(pipeline_); }

  // Run-time tuning of the IvfFlat lists / the Hnsw graph; no effect on
  // other types or before an IvfFlat build.
  void set_nprobe(uint64_t nprobe) { index_->set_nprobe(nprobe); }
  void set_ef_search(uint64_t ef) { index_->set_ef_search(ef); }

  // Writes the index to path (core/io/format.h): the configuration it was
  // created with (not run-time nprobe / ef_search), the standardization
  // parameters, and the index structure. Before touching any file: IvfFlat
  // never built throws NotBuilt, and an index no file can hold faithfully
  // throws SaveRefused (io/index_file.h), e.g. an IvfFlat index with vectors
  // added since its last build. The file is replaced atomically
  // (io/atomic_file.h): on any failure (Io with the system's text) the
  // previous file stays as it was. A path holding a NUL throws Io.
  void save(const std::string& path) const;
  // Reads an index file. The loaded engine owns everything; the file may
  // change or go away afterwards. Errors: Io (the system's text, or "failed
  // to fill whole buffer" for a file shorter than it claims), InvalidFile,
  // UnsupportedVersion, InvalidMetric, UnsupportedIndexType, InvalidBitWidth.
  static Teskra load(const std::string& path);
  // Writes the bytes save would write to out, after the same refusals.
  void write_to(ByteSink& out) const;
  // The engine the bytes of an index file describe: the same validation and
  // errors as load.
  static Teskra from_bytes(std::span<const uint8_t> bytes);

 private:
  // Encodes vector v and hands it to the structure; scratch and code are
  // reused across a batch.
  void store_one(uint64_t id, std::span<const float> v, std::vector<float>& scratch, std::vector<uint8_t>& code);

  EngineConfig config_;
  QuantPipeline pipeline_;
  std::unique_ptr<IndexStructure> index_;
};

}  // namespace teskra
