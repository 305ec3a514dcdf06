// IvfFlatIndex: the IvfFlat structure as the engine holds it.
//
// Added vectors wait in a pending CodeStore, with their transformed forms,
// until build() clusters them into the lists of an IvfFlat (ivf.h).
//   unbuilt        size() counts the pending vectors; search fails NotBuilt.
//   built          size() counts the lists' members; search probes them.
//   built+pending  as built; the pending vectors are neither counted nor found.
// A build in the last state re-clusters every vector: the members already in
// the lists (their float forms were released at the previous build, or never
// existed after a load) are reconstructed from their codes, the pending ones
// use their kept transformed forms. Assigning new vectors to old clusters
// would be cheaper, but the old centroids drift away from the data as it
// grows and recall decays; re-clustering searches as well as a fresh build.
#pragma once

#include <optional>

#include "core/search/index_structure.h"
#include "core/search/ivf.h"

namespace teskra {

class IvfFlatIndex final : public IndexStructure {
 public:
  // nlist and nprobe as configured; the seed drives k-means.
  IvfFlatIndex(uint64_t nlist, uint64_t nprobe, uint64_t seed, Metric metric, uint64_t bytes_per_vec,
               uint64_t padded_dim);
  // A loaded index: its lists, nothing pending.
  IvfFlatIndex(IvfFlat built, uint64_t nlist, uint64_t seed);

  IndexType type() const override { return IndexType::IvfFlat; }
  uint64_t size() const override { return built_ ? built_->n_members() : pending_.size(); }
  uint64_t stored() const override { return (built_ ? built_->n_members() : 0) + pending_.size(); }
  void reserve(size_t count, size_t threads = 1) override;
  void add(uint64_t id, const uint8_t* code, float norm, std::span<const float> transformed,
           const QuantPipeline& pipeline) override;
  // Removes from the lists (their centroids stay: the next build
  // re-clusters) and from the pending vectors, then the batch waits for the
  // next build like any add.
  uint64_t replace(std::span<const uint64_t> doomed, const EncodedBatch& batch, const QuantPipeline& pipeline,
                   const Execution& exec) override;
  void require_searchable() const override;
  // With an allowlist, scores allowed members only and returns fewer than
  // k hits only when fewer allowed members exist (IvfFlat::search).
  std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& query, uint64_t k,
                                const std::optional<std::span<const uint64_t>>& allowlist) const override;
  // search() for each query, the allowlist prepared once for all of them.
  void search_batch(const QuantPipeline& pipeline, const QueryBatch& batch, uint64_t k,
                    const std::optional<std::span<const uint64_t>>& allowlist,
                    const Execution& exec) const override;
  // Clusters every stored vector into min(n, max(nlist, 1)) lists with the
  // configured nprobe, then frees the pending store and its float forms.
  // EmptyIndex when nothing was added since the last build; on any error the
  // index is unchanged. The clustering runs on exec's threads.
  void build(const QuantPipeline& pipeline) override { build_parallel(pipeline, {}); }
  void build_parallel(const QuantPipeline& pipeline, const Execution& exec) override;
  // Set on the built lists; without them nothing happens (the next build
  // takes the configured nprobe).
  void set_nprobe(uint64_t nprobe) override;
  // NotBuilt never built; SaveRefused with vectors pending (the file holds
  // the lists only, and they would silently vanish) or counts beyond the
  // format's 32-bit fields.
  void check_saveable() const override;
  void write_section(ByteSink& out) const override;

  const std::optional<IvfFlat>& built() const { return built_; }
  const CodeStore& pending() const { return pending_; }
  // The pending vectors' transformed forms, padded_dim values each.
  const std::vector<float>& pending_vectors() const { return pending_vectors_; }

 private:
  uint64_t nlist_;
  uint64_t nprobe_;
  uint64_t seed_;
  Metric metric_;
  uint64_t padded_dim_;
  std::optional<IvfFlat> built_;
  CodeStore pending_;
  std::vector<float> pending_vectors_;
};

}  // namespace teskra
