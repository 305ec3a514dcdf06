// FlatIndex (BruteForce): every vector in one CodeStore, in insertion order;
// a search scans all of them (scan.h). Nothing to build.
#pragma once

#include "core/search/filter.h"
#include "core/search/index_structure.h"

namespace teskra {

class FlatIndex final : public IndexStructure {
 public:
  explicit FlatIndex(CodeStore store) : store_(std::move(store)) {}

  IndexType type() const override { return IndexType::BruteForce; }
  uint64_t size() const override { return store_.size(); }
  void reserve(size_t count, size_t) override { store_.reserve_more(count); }
  void add(uint64_t id, const uint8_t* code, float norm, std::span<const float> transformed,
           const QuantPipeline& pipeline) override;
  // Compacts the store in place: the rest keep their order, so every
  // search answers as if the removed vectors had never been added.
  uint64_t replace(std::span<const uint64_t> doomed, const EncodedBatch& batch, const QuantPipeline& pipeline,
                   const Execution& exec) override;
  bool takes_forms() const override { return false; }
  // The allowlist is applied while scanning: rejected vectors are never
  // scored, and the k best allowed vectors come back.
  std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& query, uint64_t k,
                                const std::optional<std::span<const uint64_t>>& allowlist) const override;
  // Groups of queries share one pass over the codes (scan_store_group); the
  // groups run in parallel.
  void search_batch(const QuantPipeline& pipeline, const QueryBatch& batch, uint64_t k,
                    const std::optional<std::span<const uint64_t>>& allowlist,
                    const Execution& exec) const override;
  void build(const QuantPipeline&) override {}
  // The store as it is: a norm per vector, or none at all (read from a file
  // without norms and never added to).
  void write_section(ByteSink& out) const override;
  const CodeStore* flat_store() const override { return &store_; }

 private:
  // The allowlist as the scan consults it; empty without one.
  std::optional<Allowlist> admit(const std::optional<std::span<const uint64_t>>& allowlist) const;

  CodeStore store_;
};

}  // namespace teskra
