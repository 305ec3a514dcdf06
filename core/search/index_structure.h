// IndexStructure: what the engine needs from an index type. The engine holds
// exactly one, made by make_index() or read_index(), and knows nothing else
// about it: BruteForce (flat_index.h), IvfFlat (ivf_index.h) and Hnsw
// (hnsw_index.h) each live in their own files. A new index type implements
// this interface, gets a tag in IndexType and a case in the two factories.
//
// The engine encodes vectors and prepares queries with its pipeline and
// passes the pipeline into every call; structures keep no reference to it.
// Every call that fails leaves the structure as it was, except where a
// method says otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/exec/execution.h"
#include "core/io/byte_stream.h"
#include "core/quantize/pipeline.h"
#include "core/search/code_store.h"
#include "core/types.h"

namespace teskra {

struct Header;

// The queries of one batch search as the engine hands them to a structure:
// query i is prepared on demand, by whichever thread searches it, and its
// hits are handed back the same way. Both are called from several threads
// at once, for different queries.
class QueryBatch {
 public:
  virtual ~QueryBatch() = default;
  virtual size_t size() const = 0;
  virtual PreparedQuery prepare(size_t i) const = 0;
  virtual void deliver(size_t i, std::vector<SearchHit> hits) const = 0;
};

// Vectors encoded ahead of a replace(): vector i has id ids[i], its code at
// codes + i * bytes_per_vec, its stored norm norms[i] and its transformed
// form at forms + i * padded_dim (null for a structure that does not take
// them).
struct EncodedBatch {
  std::span<const uint64_t> ids;
  const uint8_t* codes = nullptr;
  const float* norms = nullptr;
  const float* forms = nullptr;
  size_t bytes_per_vec = 0;
  size_t padded_dim = 0;
  size_t size() const { return ids.size(); }
  const uint8_t* code(size_t i) const { return codes + i * bytes_per_vec; }
  std::span<const float> form(size_t i) const {
    return forms ? std::span<const float>(forms + i * padded_dim, padded_dim) : std::span<const float>();
  }
};

class IndexStructure {
 public:
  virtual ~IndexStructure() = default;

  virtual IndexType type() const = 0;
  // Vectors a search can find; the count an index file records.
  virtual uint64_t size() const = 0;
  // Vectors held in any form, searchable or waiting for a build.
  virtual uint64_t stored() const { return size(); }

  // Room for `count` more add() calls (or an add_batch of that many on up
  // to `threads` threads), so that the batch cannot run out of memory
  // half-way. Throws std::bad_alloc with only capacities
  // changed, and std::length_error (Hnsw) when the index cannot hold that
  // many more vectors at all.
  virtual void reserve(size_t count, size_t threads) = 0;
  // Stores one encoded vector: its code (packed_bytes_per_vec bytes), the
  // code's stored norm, and the vector's transformed form (padded_dim
  // values), which a structure may keep to build from.
  virtual void add(uint64_t id, const uint8_t* code, float norm, std::span<const float> transformed,
                   const QuantPipeline& pipeline) = 0;

  // add() for every vector of the batch, in order. Polls exec's interrupt
  // now and then: Interrupted keeps the vectors added before it (and so
  // does any other failure). A structure may spread the work over exec's
  // threads (with the same result for any count). Room for the batch is
  // made by the caller (reserve).
  virtual void add_batch(const EncodedBatch& batch, const QuantPipeline& pipeline, const Execution& exec);

  // Removes every vector stored under an id of `doomed` (sorted ascending,
  // no repeats), searchable or waiting for a build, then add()s the batch
  // in order; returns how many vectors were removed. All or nothing: on any
  // exception (std::bad_alloc, std::length_error, Interrupted from exec's
  // poll) the structure is as it was. Whatever else the structure holds
  // (an IvfFlat index's centroids, the graph's remaining links) answers as
  // before, except where the removed vectors took part (see each type).
  virtual uint64_t replace(std::span<const uint64_t> doomed, const EncodedBatch& batch,
                           const QuantPipeline& pipeline, const Execution& exec) = 0;

  // Whether add() and replace() read the transformed forms of vectors.
  virtual bool takes_forms() const { return true; }

  // NotBuilt when vectors are stored but none is searchable yet.
  virtual void require_searchable() const {}
  // The k >= 1 best hits, highest score first. An absent allowlist means no
  // restriction; an empty one allows nothing.
  virtual std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& query, uint64_t k,
                                        const std::optional<std::span<const uint64_t>>& allowlist) const = 0;
  // search() for every query of the batch, with one k >= 1 and allowlist,
  // delivering for each exactly the hits search() returns, on exec's
  // threads. The default searches the queries one by one; a structure may
  // share work between them. Stops with Interrupted when told; queries
  // delivered by then stay delivered.
  virtual void search_batch(const QuantPipeline& pipeline, const QueryBatch& batch, uint64_t k,
                            const std::optional<std::span<const uint64_t>>& allowlist,
                            const Execution& exec) const;

  // Whatever the structure does once its vectors are in (see each type).
  virtual void build(const QuantPipeline& pipeline) = 0;
  // build() with its work spread over exec's threads, for structures that
  // can (the same result for any count), stopping with Interrupted when
  // told, which changes nothing. The default is build().
  virtual void build_parallel(const QuantPipeline& pipeline, const Execution& exec) {
    (void)exec;
    build(pipeline);
  }
  // Run-time tuning; structures without the knob ignore it.
  virtual void set_nprobe(uint64_t) {}
  virtual void set_ef_search(uint64_t) {}

  // Throws what saving must throw before any file is touched: NotBuilt or
  // SaveRefused (io/index_file.h) for a structure no file holds faithfully.
  virtual void check_saveable() const {}
  // The index section of the file (io/format.h).
  virtual void write_section(ByteSink& out) const = 0;

  // The flat store the NumPy exports read; null for structures without one.
  virtual const CodeStore* flat_store() const { return nullptr; }
};

// An empty structure of config.index_type. config has passed validate_config.
std::unique_ptr<IndexStructure> make_index(const EngineConfig& config, uint64_t bytes_per_vec,
                                           uint64_t padded_dim);

// The structure of a file's index section, read from in after the header and
// the standardization block; h is the file's checked header and config the
// configuration derived from it. Throws the section decoders' errors.
std::unique_ptr<IndexStructure> read_index(const Header& h, const EngineConfig& config, ByteSource& in,
                                           uint64_t bytes_per_vec, uint64_t padded_dim);

}  // namespace teskra
