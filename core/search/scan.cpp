#include "core/search/scan.h"

namespace teskra {

namespace {

// A CodeStore as scan_records_group reads it: its codes lie bytes_per_vec
// apart. The arrays are taken once, not per vector.
struct StoreRecords {
  explicit StoreRecords(const CodeStore& store)
      : ids(store.ids()),
        norms(store.norms()),
        codes(store.codes().data()),
        bytes(static_cast<size_t>(store.bytes_per_vec())),
        norms_held(store.has_norms()) {}

  std::span<const uint64_t> ids;
  std::span<const float> norms;
  const uint8_t* codes;
  size_t bytes;
  bool norms_held;

  size_t size() const { return ids.size(); }
  bool has_norms() const { return norms_held; }
  size_t stride() const { return bytes; }
  uint64_t id(size_t i) const { return ids[i]; }
  const uint8_t* code(size_t i) const { return codes + i * bytes; }
  float norm(size_t i) const { return norms[i]; }
};

}  // namespace

void scan_store(const QuantPipeline& pipeline, const PreparedQuery& pq, const CodeStore& store,
                const Allowlist* allow, TopK& heap) {
  scan_records(pipeline, pq, StoreRecords(store), allow, heap);
}

void scan_store_group(const QuantPipeline& pipeline, std::span<const PreparedQuery> queries,
                      const CodeStore& store, const Allowlist* allow, std::span<TopK> heaps) {
  scan_records_group(pipeline, queries, StoreRecords(store), allow, heaps);
}

}  // namespace teskra
