#include "core/search/index_structure.h"

#include "core/io/format.h"
#include "core/search/flat_index.h"
#include "core/search/hnsw_index.h"
#include "core/search/ivf_index.h"

namespace teskra {

void IndexStructure::search_batch(const QuantPipeline& pipeline, const QueryBatch& batch, uint64_t k,
                                  const std::optional<std::span<const uint64_t>>& allowlist,
                                  const Execution& exec) const {
  parallel_for(exec, batch.size(),
               [&](size_t i, size_t) { batch.deliver(i, search(pipeline, batch.prepare(i), k, allowlist)); });
}

void IndexStructure::add_batch(const EncodedBatch& batch, const QuantPipeline& pipeline,
                               const Execution& exec) {
  for (size_t i = 0; i < batch.size(); ++i) {
    if (i % 64 == 63) exec.poll();
    add(batch.ids[i], batch.code(i), batch.norms[i], batch.form(i), pipeline);
  }
}

std::unique_ptr<IndexStructure> make_index(const EngineConfig& c, uint64_t bytes_per_vec,
                                           uint64_t padded_dim) {
  switch (c.index_type) {
    case IndexType::BruteForce:
      break;
    case IndexType::IvfFlat:
      return std::make_unique<IvfFlatIndex>(c.ivf_nlist, c.ivf_nprobe, c.seed, c.metric, bytes_per_vec,
                                            padded_dim);
    case IndexType::Hnsw:
      return std::make_unique<HnswIndex>(Hnsw(c.hnsw_m, c.hnsw_ef_construction, c.hnsw_ef_search,
                                              bytes_per_vec, padded_dim, c.hnsw_selection),
                                         c.metric);
  }
  return std::make_unique<FlatIndex>(CodeStore(bytes_per_vec));
}

std::unique_ptr<IndexStructure> read_index(const Header& h, const EngineConfig& c, ByteSource& in,
                                           uint64_t bytes_per_vec, uint64_t padded_dim) {
  switch (c.index_type) {
    case IndexType::BruteForce:
      break;
    case IndexType::IvfFlat:
      // nprobe from the header: run-time tuning is not saved.
      return std::make_unique<IvfFlatIndex>(IvfFlat(read_ivf_lists(in, bytes_per_vec, padded_dim),
                                                    bytes_per_vec, c.ivf_nprobe, padded_dim, c.metric),
                                            c.ivf_nlist, c.seed);
    case IndexType::Hnsw: {
      // The graph replaces a stored ef_search of 0 by 2m; the configuration
      // keeps the 0.
      Hnsw graph(c.hnsw_m, c.hnsw_ef_construction, c.hnsw_ef_search, bytes_per_vec, padded_dim,
                 c.hnsw_selection);
      read_hnsw_section(in, graph);
      return std::make_unique<HnswIndex>(std::move(graph), c.metric);
    }
  }
  return std::make_unique<FlatIndex>(read_flat_section(in, h.n_vectors, bytes_per_vec, h.version >= 2));
}

}  // namespace teskra
