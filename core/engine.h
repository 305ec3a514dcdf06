// Teskra: one index. Owns its configuration, its quantization pipeline and
// exactly one index structure (search/index_structure.h), which holds the
// vectors: BruteForce a flat store, IvfFlat its lists and the vectors
// waiting for the next build, Hnsw its graph. The engine encodes, prepares
// queries and checks arguments; the structure stores and searches.
//
// Errors are thrown as TeskraError; ConfigError (config.h) from the
// constructor; std::bad_alloc may also escape, and save throws SaveRefused
// (io/index_file.h) for an index no file can hold.
//
// Threads: the calls taking an Execution (exec/execution.h) spread their
// work over its threads (encoding and graph walks in add, k-means in build,
// the graph's repair in remove and upsert, the queries of search_batch) and
// give the same result, to the bit, for any count; they throw Interrupted
// when its interrupt asks them to stop. Const calls may run on one engine
// from many threads at once; a changing call must run alone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/exec/execution.h"
#include "core/io/byte_stream.h"
#include "core/quantize/pipeline.h"
#include "core/search/index_structure.h"
#include "core/types.h"

namespace teskra {

class MappedFile;

// A change asked of an index served from its file (Teskra::view), which
// cannot change: "cannot add to a view of an index file: load() it to change
// it" and the like. (The binding reports it as RuntimeError with this text.)
class ViewIsReadOnly : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The rows of a search_batch result: row i holds counts[i] hits, best
// first, in ids[i * k ..] and scores[i * k ..]; the k - counts[i] entries
// after them are id 0 and a NaN score. counts.size() is the query count;
// ids and scores hold counts.size() * k entries.
struct BatchHits {
  uint64_t k = 0;
  std::span<uint64_t> ids;
  std::span<float> scores;
  std::span<int64_t> counts;
};

class Teskra {
 public:
  // Throws what validate_config (config.h) throws.
  explicit Teskra(const EngineConfig& config);
  // An engine from parts read from a file: the pipeline built with the
  // file's parameters and its index structure; for a view, also the mapping
  // the structure reads, which the engine keeps alive.
  Teskra(const EngineConfig& config, QuantPipeline pipeline, std::unique_ptr<IndexStructure> index,
         std::shared_ptr<const MappedFile> mapping = nullptr);

  const EngineConfig& config() const { return config_; }
  const QuantPipeline& pipeline() const { return pipeline_; }
  Metric metric() const { return config_.metric; }
  IndexType index_type() const { return config_.index_type; }
  uint64_t packed_bytes_per_vec() const { return pipeline_.packed_bytes_per_vec(); }
  const IndexStructure& index() const { return *index_; }
  // Whether this engine serves an index file in place (view()).
  bool is_view() const { return mapping_ != nullptr; }
  // The file a view reads, null for other engines. Whatever points into
  // the view's data (codes(), ids(), norms()) stays valid while a copy of
  // this pointer lives, even after the engine is gone.
  const std::shared_ptr<const MappedFile>& mapping() const { return mapping_; }
  // Throws ViewIsReadOnly for a view: "cannot <action> a view of an index
  // file: load() it to change it". Every changing call runs it first.
  void require_changeable(const char* action) const;

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
  // DimensionMismatch and the vectors before it stay added; so do the
  // vectors before the point where exec's interrupt stopped the call.
  void add(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors,
           const Execution& exec = {});
  // Vectors back to back in flat, dim values each, read in place.
  // CountMismatch (nothing stored) when dim is 0 or the length is not
  // dim * ids.size().
  void add_flat(std::span<const uint64_t> ids, std::span<const float> flat, const Execution& exec = {});

  // Removes every vector stored under any of ids (all copies of an id
  // added more than once; vectors waiting for an IvfFlat build too); ids
  // stored nowhere are ignored. Returns how many vectors went. Afterwards
  // the index answers as if they had never been added: BruteForce and
  // IvfFlat exactly (IvfFlat keeps its centroids); Hnsw repairs the lists
  // that named them (Hnsw::without). Unchanged on any error, including
  // Interrupted.
  uint64_t remove(std::span<const uint64_t> ids, const Execution& exec = {});
  // remove(ids), then add(ids, vectors), as one change: every argument
  // error (CountMismatch, DimensionMismatch for the first vector of the
  // wrong length) is found before anything changes, the new vectors are
  // encoded before the first one is removed, and a failure after that
  // (memory, Interrupted) leaves the index as it was. Returns how many
  // vectors were removed.
  uint64_t upsert(std::span<const uint64_t> ids, std::span<const std::vector<float>> vectors,
                  const Execution& exec = {});
  // The same with the vectors back to back in flat (add_flat's checks).
  uint64_t upsert_flat(std::span<const uint64_t> ids, std::span<const float> flat,
                       const Execution& exec = {});

  // The k best hits, highest score first. DimensionMismatch for a query of the
  // wrong length (checked first), EmptyIndex when nothing is searchable,
  // NotBuilt for an IvfFlat engine never built. An absent allowlist means no
  // restriction; an empty one allows nothing. BruteForce and IvfFlat return
  // fewer than k hits only when fewer allowed vectors exist; Hnsw filters
  // its top k by the allowlist afterwards, so it may return fewer.
  std::vector<SearchHit> search(std::span<const float> query, uint64_t k,
                                const std::optional<std::span<const uint64_t>>& allowlist) const;
  // search() for each of out.counts.size() queries, rows of query_dim floats
  // back to back in queries, with one k (out.k) and allowlist: row i of out
  // gets exactly the hits search(query i, k, allowlist) returns. The same
  // errors in the same order; no queries gives nothing to do and no error
  // but the dimension's. An interrupted batch throws Interrupted with some
  // rows written.
  void search_batch(const float* queries, size_t query_dim,
                    const std::optional<std::span<const uint64_t>>& allowlist, const BatchHits& out,
                    const Execution& exec = {}) const;

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
  // With exec, the clustering runs on its threads, and an interrupted build
  // changes nothing.
  void build(const Execution& exec = {}) {
    require_changeable("build");
    index_->build_parallel(pipeline_, exec);
  }

  // Run-time tuning of the IvfFlat lists / the Hnsw graph; no effect on
  // other types or before an IvfFlat build. Views take them too: the
  // setting lives beside the file's data, and save does not write it.
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
  // Serves the index file at path in place, from a read-only memory mapping
  // (io/index_view.h): codes, ids, norms, IvfFlat lists and graph links are
  // read from the file's pages, not copied; the engine adds only small
  // tables (8 bytes per IvfFlat list or graph node) and what the pipeline
  // needs. The same validation and errors as load, for files of every
  // version; searches give exactly load's hits. add, add_flat, fit and build
  // throw ViewIsReadOnly; save and write_to write the bytes a loaded copy
  // would. The file must not be shortened in place while the view (or
  // anything holding mapping()) lives; replacing it by rename, as save
  // does, is safe: the view keeps reading the file it opened.
  static Teskra view(const std::string& path);
  // Writes the bytes save would write to out, after the same refusals.
  void write_to(ByteSink& out) const;
  // The engine the bytes of an index file describe: the same validation and
  // errors as load.
  static Teskra from_bytes(std::span<const uint8_t> bytes);

 private:
  using RowFn = std::function<std::span<const float>(size_t)>;
  // Encodes row(first + i) for i < count on exec's threads into codes,
  // norms and, when forms is not null, the transformed forms (the layout
  // of EncodedBatch). scratch holds one buffer per slot of exec.
  void encode_rows(const RowFn& row, size_t first, size_t count, uint8_t* codes, float* norms, float* forms,
                   std::vector<std::vector<float>>& scratch, const Execution& exec) const;
  // Encodes row(i) for every i < ids.size() on exec's threads, a chunk at a
  // time, and hands the codes to the structure in order on this thread.
  // Room for them is made by the caller.
  void add_rows(std::span<const uint64_t> ids, const RowFn& row, const Execution& exec);
  // Removes the vectors stored under an id of `removed`, then adds row(i)
  // under ids[i] (IndexStructure::replace), encoding them all first.
  uint64_t replace_rows(std::span<const uint64_t> removed, std::span<const uint64_t> ids, const RowFn& row,
                        const Execution& exec);
  // replace_rows, then the freed heap goes back to the system.
  uint64_t replace_and_trim(std::span<const uint64_t> removed, std::span<const uint64_t> ids,
                            const RowFn& row, const Execution& exec);
  // add_flat's checks: CountMismatch unless flat holds dim values per id.
  void check_flat(std::span<const uint64_t> ids, std::span<const float> flat) const;

  EngineConfig config_;
  QuantPipeline pipeline_;
  // Declared before index_, so released after the structure that reads it.
  std::shared_ptr<const MappedFile> mapping_;
  std::unique_ptr<IndexStructure> index_;
};

}  // namespace teskra
