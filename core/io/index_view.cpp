#include "core/io/index_view.h"

#include <bit>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/io/index_file.h"
#include "core/search/filter.h"
#include "core/search/flat_index.h"
#include "core/search/hnsw.h"
#include "core/search/hnsw_index.h"
#include "core/search/ivf.h"
#include "core/search/record_scan.h"
#include "core/search/topk.h"

namespace teskra {

namespace {

// A source over the mapped bytes that also tells where it is, so readers
// can note offsets, and steps over what they leave in place.
class MappedSource final : public ByteSource {
 public:
  explicit MappedSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  void read(void* out, size_t n) override {
    if (n > bytes_.size() - pos_) throw unexpected_end();
    if (n != 0) std::memcpy(out, bytes_.data() + pos_, n);
    pos_ += n;
  }
  uint64_t remaining() const override { return bytes_.size() - pos_; }

  const uint8_t* base() const { return bytes_.data(); }
  std::span<const uint8_t> bytes() const { return bytes_; }
  size_t position() const { return pos_; }
  void skip(uint64_t n) {
    if (n > remaining()) throw unexpected_end();
    pos_ += static_cast<size_t>(n);
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

ViewIsReadOnly cannot(const char* action) {
  return ViewIsReadOnly(std::string("cannot ") + action + " a view of an index file: load() it to change it");
}

// What every view refuses. The engine refuses these calls before they get
// here; the structures refuse them again for any other caller.
class ReadOnly : public IndexStructure {
 public:
  void reserve(size_t, size_t) override { throw cannot("add to"); }
  void add(uint64_t, const uint8_t*, float, std::span<const float>, const QuantPipeline&) override {
    throw cannot("add to");
  }
  uint64_t replace(std::span<const uint64_t>, const EncodedBatch&, const QuantPipeline&,
                   const Execution&) override {
    throw cannot("remove from");
  }
  void build(const QuantPipeline&) override { throw cannot("build"); }
  void build_parallel(const QuantPipeline&, const Execution&) override { throw cannot("build"); }
};

// ---------------------------------------------------------------------------
// BruteForce

class FlatView final : public ReadOnly {
 public:
  FlatView(std::vector<uint64_t> ids_copy, std::vector<float> norms_copy, std::span<const uint8_t> codes,
           std::span<const uint64_t> ids, std::span<const float> norms, bool has_norms,
           uint64_t bytes_per_vec)
      : ids_copy_(std::move(ids_copy)),
        norms_copy_(std::move(norms_copy)),
        index_(CodeStore::borrowing(bytes_per_vec, codes, ids_copy_.empty() ? ids : std::span(ids_copy_),
                                    norms_copy_.empty() ? norms : std::span(norms_copy_), has_norms)) {}

  IndexType type() const override { return IndexType::BruteForce; }
  uint64_t size() const override { return index_.size(); }
  std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& query, uint64_t k,
                                const std::optional<std::span<const uint64_t>>& allowlist) const override {
    return index_.search(pipeline, query, k, allowlist);
  }
  void search_batch(const QuantPipeline& pipeline, const QueryBatch& batch, uint64_t k,
                    const std::optional<std::span<const uint64_t>>& allowlist,
                    const Execution& exec) const override {
    index_.search_batch(pipeline, batch, k, allowlist, exec);
  }
  void write_section(ByteSink& out) const override { index_.write_section(out); }
  const CodeStore* flat_store() const override { return index_.flat_store(); }

 private:
  // Copies of the ids or norms when the file holds them misaligned.
  std::vector<uint64_t> ids_copy_;
  std::vector<float> norms_copy_;
  FlatIndex index_;
};

// The n values of type T at p: in place when aligned for T, else copied
// into copy.
template <class T>
std::span<const T> in_place_or_copy(const uint8_t* p, size_t n, std::vector<T>& copy) {
  if (n == 0) return {};
  if (reinterpret_cast<uintptr_t>(p) % alignof(T) == 0) return {reinterpret_cast<const T*>(p), n};
  copy.resize(n);
  std::memcpy(copy.data(), p, n * sizeof(T));
  return {};
}

std::unique_ptr<IndexStructure> view_flat(const Header& h, MappedSource& in, uint64_t bytes_per_vec) {
  // The checks of read_flat_section (read_index gives it the same n and
  // with_norms).
  const uint64_t n = h.n_vectors;
  const FlatSectionPlan plan = plan_flat_section(in, n, bytes_per_vec, h.version >= 2);
  const uint8_t* codes = in.base() + in.position();
  const uint8_t* ids = codes + plan.codes_bytes;
  const uint8_t* norms = ids + plan.ids_bytes;
  const size_t count = static_cast<size_t>(n);
  std::vector<uint64_t> ids_copy;
  std::vector<float> norms_copy;
  const std::span<const uint64_t> id_span = in_place_or_copy(ids, count, ids_copy);
  const std::span<const float> norm_span =
      plan.has_norms ? in_place_or_copy(norms, count, norms_copy) : std::span<const float>();
  return std::make_unique<FlatView>(std::move(ids_copy), std::move(norms_copy),
                                    std::span<const uint8_t>(codes, static_cast<size_t>(plan.codes_bytes)),
                                    id_span, norm_span, plan.has_norms, bytes_per_vec);
}

// ---------------------------------------------------------------------------
// IvfFlat

class IvfView final : public ReadOnly {
 public:
  IvfView(IvfFlat ivf, std::span<const uint8_t> section) : ivf_(std::move(ivf)), section_(section) {}

  IndexType type() const override { return IndexType::IvfFlat; }
  uint64_t size() const override { return ivf_.n_members(); }
  std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& query, uint64_t k,
                                const std::optional<std::span<const uint64_t>>& allowlist) const override {
    if (!allowlist) return ivf_.search(pipeline, query, k);
    size_t allowed = 0;
    const Allowlist allow = admit(*allowlist, &allowed);
    return ivf_.search(pipeline, query, k, &allow, allowed);
  }
  // search() for each query, the allowlist prepared once for all of them
  // (as IvfFlatIndex does).
  void search_batch(const QuantPipeline& pipeline, const QueryBatch& batch, uint64_t k,
                    const std::optional<std::span<const uint64_t>>& allowlist,
                    const Execution& exec) const override {
    std::optional<Allowlist> allow;
    size_t allowed = 0;
    if (allowlist) allow.emplace(admit(*allowlist, &allowed));
    parallel_for(exec, batch.size(), [&](size_t i, size_t) {
      const PreparedQuery query = batch.prepare(i);
      batch.deliver(
          i, allow ? ivf_.search(pipeline, query, k, &*allow, allowed) : ivf_.search(pipeline, query, k));
    });
  }
  void set_nprobe(uint64_t nprobe) override { ivf_.set_nprobe(nprobe); }
  void write_section(ByteSink& out) const override { write_ivf_section_as_read(out, section_); }

 private:
  Allowlist admit(std::span<const uint64_t> listed, size_t* allowed) const {
    return allowlist_for_records(
        listed, static_cast<size_t>(ivf_.n_members()),
        [&](std::vector<uint64_t>& out) {
          for (size_t c = 0; c < ivf_.n_lists(); ++c) {
            const MemberRecords records = ivf_.records(c);
            for (size_t j = 0; j < records.size(); ++j) out.push_back(records.id(j));
          }
        },
        allowed);
  }

  IvfFlat ivf_;
  std::span<const uint8_t> section_;
};

std::unique_ptr<IndexStructure> view_ivf(const EngineConfig& config, MappedSource& in, uint64_t bytes_per_vec,
                                         uint64_t padded_dim) {
  const size_t start = in.position();
  const uint32_t n_lists = read_ivf_head(in, padded_dim);
  MappedIvfLists lists;
  lists.base = in.base();
  lists.count_at.reserve(n_lists);
  const size_t p = static_cast<size_t>(padded_dim);
  lists.centroids.resize(size_t{n_lists} * p);
  const uint64_t member_bytes = ivf_member_bytes(bytes_per_vec);
  for (uint32_t c = 0; c < n_lists; ++c) {
    const uint32_t members =
        read_ivf_list_head(in, std::span<float>(lists.centroids.data() + c * p, p), bytes_per_vec);
    lists.count_at.push_back(in.position() - sizeof(uint32_t));
    in.skip(members * member_bytes);  // checked by read_ivf_list_head
  }
  const std::span<const uint8_t> section(in.base() + start, in.position() - start);
  // nprobe from the header, as read_index takes it.
  IvfFlat ivf(std::move(lists), bytes_per_vec, config.ivf_nprobe, padded_dim, config.metric);
  return std::make_unique<IvfView>(std::move(ivf), section);
}

// ---------------------------------------------------------------------------
// Hnsw

class HnswViewIndex final : public ReadOnly {
 public:
  HnswViewIndex(HnswView graph, Metric metric, std::span<const uint8_t> section)
      : graph_(std::move(graph)), metric_(metric), section_(section) {}

  IndexType type() const override { return IndexType::Hnsw; }
  uint64_t size() const override { return graph_.size(); }
  // HnswIndex::search, over the file's records.
  std::vector<SearchHit> search(const QuantPipeline& pipeline, const PreparedQuery& query, uint64_t k,
                                const std::optional<std::span<const uint64_t>>& allowlist) const override {
    if (!allowlist) return graph_.search(pipeline, query, k, metric_);
    size_t allowed = 0;
    const Allowlist allow = allowlist_for_records(
        *allowlist, static_cast<size_t>(graph_.size()),
        [&](std::vector<uint64_t>& out) {
          for (uint32_t node = 0; node < graph_.size(); ++node) out.push_back(graph_.id(node));
        },
        &allowed);
    return HnswIndex::search_allowed(
        graph_.size(), allowed, k,
        [&] {
          TopK heap(k, allowed);
          scan_records(pipeline, query, graph_, &allow, heap);
          return heap.into_sorted();
        },
        [&] { return graph_.search(pipeline, query, k, metric_, &allow, allowed); });
  }
  void set_ef_search(uint64_t ef) override { graph_.set_ef_search(ef); }
  void write_section(ByteSink& out) const override { write_hnsw_section_as_read(out, section_); }

 private:
  HnswView graph_;
  Metric metric_;
  std::span<const uint8_t> section_;
};

// Notes where each node's record starts while the section decoder checks
// the section, and refuses what Hnsw's restore calls refuse.
class RecordTable final : public HnswSectionReader {
 public:
  RecordTable(const EngineConfig& config, const MappedSource& in, uint64_t bytes_per_vec)
      : config_(config), in_(in), bytes_(bytes_per_vec) {}

  bool node(uint32_t, uint64_t, const uint8_t*, float, uint64_t level) override {
    if (level > Hnsw::kMaxLevel) return false;
    // The decoder has just read the record's fixed part.
    record_at_.push_back(in_.position() - hnsw_node_fixed_bytes(bytes_));
    return true;
  }
  bool neighbours(uint32_t, uint64_t layer, std::span<const uint32_t> nodes) override {
    return nodes.size() <= (layer == 0 ? 2 * config_.hnsw_m : config_.hnsw_m);
  }
  bool finish(std::optional<uint32_t> entry_point, uint64_t max_level) override {
    graph_.emplace(config_.hnsw_m, config_.hnsw_ef_search, bytes_, in_.bytes(), std::move(record_at_),
                   entry_point, max_level);
    return graph_->is_sound();
  }

  HnswView take() { return std::move(*graph_); }

 private:
  const EngineConfig& config_;
  const MappedSource& in_;
  uint64_t bytes_;
  std::vector<uint64_t> record_at_;
  std::optional<HnswView> graph_;
};

std::unique_ptr<IndexStructure> view_hnsw(const EngineConfig& config, MappedSource& in,
                                          uint64_t bytes_per_vec) {
  const size_t start = in.position();
  RecordTable table(config, in, bytes_per_vec);
  read_hnsw_section(in, config.hnsw_m, bytes_per_vec, table);
  const std::span<const uint8_t> section(in.base() + start, in.position() - start);
  return std::make_unique<HnswViewIndex>(table.take(), config.metric, section);
}

// The index section, read in place from in with the checks and errors of
// read_index (index_structure.h).
std::unique_ptr<IndexStructure> view_index(const Header& h, const EngineConfig& config, MappedSource& in,
                                           uint64_t bytes_per_vec, uint64_t padded_dim) {
  switch (config.index_type) {
    case IndexType::BruteForce:
      break;
    case IndexType::IvfFlat:
      return view_ivf(config, in, bytes_per_vec, padded_dim);
    case IndexType::Hnsw:
      return view_hnsw(config, in, bytes_per_vec);
  }
  return view_flat(h, in, bytes_per_vec);
}

}  // namespace

Teskra Teskra::view(const std::string& path) {
  if constexpr (std::endian::native != std::endian::little) {
    // Index files are little-endian and a view reads them as they are.
    throw std::runtime_error(
        "view() reads index files in place, which needs a little-endian machine: load() it");
  }
  std::shared_ptr<const MappedFile> file = MappedFile::open(path);
  MappedSource in(file->bytes());
  // decode hands the section reader the source it was given: in.
  Teskra engine = IndexFile::decode(
      in,
      [&](const Header& h, const EngineConfig& config, ByteSource&, uint64_t bytes, uint64_t padded) {
        return view_index(h, config, in, bytes, padded);
      },
      file);
  file->release_pages();
  return engine;
}

}  // namespace teskra
