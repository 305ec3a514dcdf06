#include "core/io/index_file.h"

#include <limits>

#include "core/io/atomic_file.h"
#include "core/io/file.h"

namespace teskra {

namespace {

constexpr const char* kHnswV4Message =
    "HNSW index version 4 is incompatible with v5 format (neighbor count type changed u8\u2192u16). "
    "Rebuild the index with the current version.";

std::string num(uint64_t v) { return std::to_string(v); }

// n4_dims as the file defines it: versions 1-2 did not store it and coded
// every coordinate at the nominal width.
uint64_t resolved_n4_dims(const Header& h, uint64_t padded) {
  if (h.version <= 2) return h.bit_width == 4 ? padded : 0;
  return h.n4_dims;
}

EngineConfig config_of(const Header& h) {
  EngineConfig c;
  c.dim = h.dim;
  c.n4_dims = resolved_n4_dims(h, padded_dim_for(h.dim));
  c.seed = h.seed;
  c.ivf_nlist = h.ivf_nlist;
  c.ivf_nprobe = h.ivf_nprobe;
  c.hnsw_m = h.hnsw_m;
  c.hnsw_ef_construction = h.hnsw_ef_construction;
  c.hnsw_ef_search = h.hnsw_ef_search;  // as stored: 0 stays 0 here
  c.bit_width = h.bit_width;
  c.metric = h.metric;
  c.index_type = h.index_type;
  return c;
}

constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();

}  // namespace

// ---------------------------------------------------------------------------
// Saving

void IndexFile::check_saveable(const Teskra& e) {
  const EngineConfig& c = e.config_;
  switch (e.index_type()) {
    case IndexType::BruteForce:
      break;
    case IndexType::Hnsw:
      if (!e.hnsw_) throw TeskraError::not_implemented("Hnsw");
      // Truncated to 16 bits the file would describe a graph of another
      // degree, whose lists the stored ones overflow.
      if (c.hnsw_m > kMaxHnswM) {
        throw SaveRefused("cannot save: hnsw_m " + num(c.hnsw_m) + " is above " + num(kMaxHnswM) +
                          ", the largest an index file can hold");
      }
      break;
    case IndexType::IvfFlat: {
      if (!e.ivf_) throw TeskraError::not_built();
      // The file holds the lists only. Writing it anyway would drop these
      // vectors without a word; the caller can keep them with one build().
      if (!e.ids_.empty()) {
        throw SaveRefused("cannot save: " + num(e.ids_.size()) +
                          " vectors were added after the last build() and are not in the index "
                          "yet; call build() first so that they are saved");
      }
      const std::vector<IvfList>& lists = e.ivf_->lists();
      bool fits = lists.size() <= kU32Max;
      for (const IvfList& list : lists) fits = fits && list.ids.size() <= kU32Max;
      if (!fits) throw SaveRefused("cannot save: an IvfFlat index beyond 2^32 - 1 lists or members per list");
      break;
    }
  }
  const uint64_t padded = e.pipeline_.padded_dim();
  if (padded > kMaxPaddedDim) {
    throw SaveRefused("cannot save: dimension " + num(c.dim) + " pads to " + num(padded) +
                      ", above the largest padded dimension an index file holds (" + num(kMaxPaddedDim) + ")");
  }
  if (const std::optional<StdParams>& params = e.pipeline_.std_params();
      params && (params->mean.size() != c.dim || params->inv_std.size() != c.dim)) {
    throw SaveRefused("cannot save: standardization parameters do not have one value per dimension");
  }
}

Header IndexFile::header_of(const Teskra& e) {
  const EngineConfig& c = e.config_;
  Header h;
  // The configuration the engine was created with, cut to the field
  // widths; dim and n4_dims fit (check_saveable bounds the dimension).
  h.dim = static_cast<uint32_t>(c.dim);
  h.n4_dims = static_cast<uint32_t>(c.n4_dims);
  h.seed = c.seed;
  h.ivf_nlist = static_cast<uint32_t>(c.ivf_nlist);
  h.ivf_nprobe = static_cast<uint32_t>(c.ivf_nprobe);
  h.hnsw_m = static_cast<uint16_t>(c.hnsw_m);
  h.hnsw_ef_construction = static_cast<uint16_t>(c.hnsw_ef_construction);
  h.hnsw_ef_search = static_cast<uint16_t>(c.hnsw_ef_search);
  h.metric = c.metric;
  h.bit_width = c.bit_width;
  h.index_type = c.index_type;
  h.has_std_params = e.pipeline_.std_params().has_value();
  switch (e.index_type()) {
    case IndexType::BruteForce: h.n_vectors = e.ids_.size(); break;
    case IndexType::IvfFlat: h.n_vectors = e.ivf_ ? e.ivf_->n_members() : 0; break;
    case IndexType::Hnsw: h.n_vectors = e.hnsw_ ? e.hnsw_->size() : 0; break;
  }
  return h;
}

void IndexFile::encode(const Teskra& e, ByteSink& out) {
  header_of(e).write(out);
  if (const std::optional<StdParams>& params = e.pipeline_.std_params()) write_std_params(out, *params);
  switch (e.index_type()) {
    case IndexType::BruteForce: {
      // The store holds a norm per vector, or none at all (loaded without
      // norms and never added to: the first add completes them).
      std::span<const float> norms = e.norms_;
      if (norms.size() != e.ids_.size()) norms = {};
      write_flat_section(out, e.codes_, e.ids_, norms);
      break;
    }
    case IndexType::IvfFlat:
      write_ivf_section(out, *e.ivf_);
      break;
    case IndexType::Hnsw:
      write_hnsw_section(out, *e.hnsw_);
      break;
  }
}

void Teskra::save(const std::string& path) const {
  IndexFile::check_saveable(*this);
  check_path(path);
  ReplacementFile file(path);
  FileWriter writer(file.fd());
  IndexFile::encode(*this, writer);
  writer.flush();
  file.commit();
}

// ---------------------------------------------------------------------------
// Loading

void IndexFile::check_header(const Header& h) {
  if (h.metric > 2) throw TeskraError::invalid_metric(h.metric);
  if (h.index_type > 2) throw TeskraError::unsupported_index_type(h.index_type);
  // Before the pipeline: its rotation is as large as the padded dimension.
  const uint64_t padded = padded_dim_for(h.dim);
  if (padded > kMaxPaddedDim) {
    throw TeskraError::invalid_file("dimension " + num(h.dim) + " pads to " + num(padded) +
                                    ", above the largest supported padded dimension (" +
                                    num(kMaxPaddedDim) + ")");
  }
  const uint64_t n4 = resolved_n4_dims(h, padded);
  if (n4 > padded || (n4 != padded && n4 % 4 != 0)) throw TeskraError::invalid_bit_width(h.bit_width);
  if (h.index_type == static_cast<uint8_t>(IndexType::Hnsw)) {
    if (h.version == 4) throw TeskraError::invalid_file(kHnswV4Message);
    // Levels are drawn with 1 / ln(m): below 2 they have no bound, and no
    // graph we write has such an m.
    if (h.hnsw_m < 2) {
      throw TeskraError::invalid_file("hnsw_m " + num(h.hnsw_m) + " is below 2, which no graph can have");
    }
  }
}

Teskra IndexFile::decode(ByteSource& in) {
  const Header h = Header::read(in);
  check_header(h);
  const EngineConfig config = config_of(h);
  const uint64_t padded = padded_dim_for(config.dim);
  const uint64_t bytes = (config.n4_dims + 1) / 2 + (padded - config.n4_dims + 3) / 4;
  const Metric metric = static_cast<Metric>(h.metric);

  // Every byte is read and checked before the pipeline is built: its
  // rotation costs time and memory in proportion to the dimension, which a
  // damaged file should not get to spend.
  std::optional<StdParams> params;
  if (h.has_std_params) params = read_std_params(in, h.dim);
  std::optional<FlatSection> flat;
  std::optional<IvfFlat> ivf;
  std::optional<Hnsw> graph;
  switch (static_cast<IndexType>(h.index_type)) {
    case IndexType::BruteForce:
      flat = read_flat_section(in, h.n_vectors, bytes, h.version >= 2);
      break;
    case IndexType::IvfFlat:
      // nprobe from the header: run-time tuning is not saved.
      ivf.emplace(read_ivf_lists(in, bytes, padded), bytes, h.ivf_nprobe, padded, metric);
      break;
    case IndexType::Hnsw:
      // The graph replaces a stored ef_search of 0 by 2m; the configuration
      // keeps the 0.
      graph.emplace(h.hnsw_m, h.hnsw_ef_construction, h.hnsw_ef_search, bytes, padded);
      read_hnsw_section(in, *graph);
      break;
  }

  QuantPipeline pipeline(config);
  if (params) pipeline.set_std_params(std::move(*params));
  Teskra e(config, std::move(pipeline));
  if (flat) {
    e.codes_ = std::move(flat->codes);
    e.ids_ = std::move(flat->ids);
    e.norms_ = std::move(flat->norms);
  }
  e.ivf_ = std::move(ivf);
  e.hnsw_ = std::move(graph);
  return e;
}

Teskra Teskra::load(const std::string& path) {
  FileReader reader(open_for_reading(path));
  return IndexFile::decode(reader);
}

// Every index type, BruteForce included, is read with ordinary reads. A
// mapping would save nothing (every byte is copied into the engine either
// way, and the reader moves the code block straight into place with one
// read), while a mapped file that another process shortens during the copy
// kills the whole process with SIGBUS; a read then merely comes up short and
// fails with the unexpected-end error.
Teskra Teskra::load_mmap(const std::string& path) { return load(path); }

}  // namespace teskra
