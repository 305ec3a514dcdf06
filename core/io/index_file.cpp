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

constexpr uint64_t kU16Max = std::numeric_limits<uint16_t>::max();
constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();

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
  c.metric = static_cast<Metric>(h.metric);
  c.index_type = static_cast<IndexType>(h.index_type);
  // Checked for graphs; other index types ignore the byte.
  if (c.index_type == IndexType::Hnsw) c.hnsw_selection = static_cast<HnswSelection>(h.hnsw_selection);
  if (h.version < 4 && c.index_type == IndexType::IvfFlat) {
    // Files before version 4 carry no tuning fields. An nprobe of 0 would
    // make every search of the loaded index empty, and an nlist of 0 leave
    // one list after the next build: they get the constructor's defaults.
    c.ivf_nlist = kDefaultIvfNlist;
    c.ivf_nprobe = kDefaultIvfNprobe;
  }
  return c;
}

}  // namespace

// ---------------------------------------------------------------------------
// Saving

void IndexFile::check_saveable(const Teskra& e) {
  const EngineConfig& c = e.config();
  e.index().check_saveable();
  // Every setting must come back as it was saved: cut to its field, an
  // nprobe of 2^32 would load as 0 (every search empty) and an
  // ef_construction of 65536 as 0 (later insertions unreachable).
  const struct {
    const char* name;
    uint64_t value, limit;
  } fields[] = {{"ivf_nlist", c.ivf_nlist, kU32Max},
                {"ivf_nprobe", c.ivf_nprobe, kU32Max},
                {"hnsw_m", c.hnsw_m, kMaxHnswM},
                {"hnsw_ef_construction", c.hnsw_ef_construction, kU16Max},
                {"hnsw_ef_search", c.hnsw_ef_search, kU16Max}};
  for (const auto& f : fields) {
    if (f.value > f.limit) {
      throw SaveRefused(std::string("cannot save: ") + f.name + " " + num(f.value) + " is above " +
                        num(f.limit) + ", the largest an index file can hold");
    }
  }
  const uint64_t padded = e.pipeline().padded_dim();
  if (padded > kMaxPaddedDim) {
    throw SaveRefused("cannot save: dimension " + num(c.dim) + " pads to " + num(padded) +
                      ", above the largest padded dimension an index file holds (" + num(kMaxPaddedDim) +
                      ")");
  }
  if (const std::optional<StdParams>& params = e.pipeline().std_params();
      params && (params->mean.size() != c.dim || params->inv_std.size() != c.dim)) {
    throw SaveRefused("cannot save: standardization parameters do not have one value per dimension");
  }
}

Header IndexFile::header_of(const Teskra& e) {
  const EngineConfig& c = e.config();
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
  h.metric = static_cast<uint8_t>(c.metric);
  h.bit_width = c.bit_width;
  h.index_type = static_cast<uint8_t>(c.index_type);
  if (c.index_type == IndexType::Hnsw) h.hnsw_selection = static_cast<uint8_t>(c.hnsw_selection);
  h.has_std_params = e.pipeline().std_params().has_value();
  h.n_vectors = e.n_vectors();
  return h;
}

void IndexFile::encode(const Teskra& e, ByteSink& out) {
  header_of(e).write(out);
  if (const std::optional<StdParams>& params = e.pipeline().std_params()) write_std_params(out, *params);
  e.index().write_section(out);
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
  if (!metric_from_byte(h.metric)) throw TeskraError::invalid_metric(h.metric);
  if (!index_type_from_byte(h.index_type)) throw TeskraError::unsupported_index_type(h.index_type);
  // Before the pipeline: its rotation is as large as the padded dimension.
  const uint64_t padded = padded_dim_for(h.dim);
  if (padded > kMaxPaddedDim) {
    throw TeskraError::invalid_file("dimension " + num(h.dim) + " pads to " + num(padded) +
                                    ", above the largest supported padded dimension (" + num(kMaxPaddedDim) +
                                    ")");
  }
  // Only 2 and 4 are widths any writer produces, in every version.
  if (h.bit_width != 2 && h.bit_width != 4) throw TeskraError::invalid_bit_width(h.bit_width);
  if (!n4_layout_is_sound(padded, resolved_n4_dims(h, padded)))
    throw TeskraError::invalid_bit_width(h.bit_width);
  if (h.index_type == static_cast<uint8_t>(IndexType::Hnsw)) {
    if (h.version == 4) throw TeskraError::invalid_file(kHnswV4Message);
    // Levels are drawn with 1 / ln(m): below 2 they have no bound, and no
    // graph we write has such an m.
    if (h.hnsw_m < 2) {
      throw TeskraError::invalid_file("hnsw_m " + num(h.hnsw_m) + " is below 2, which no graph can have");
    }
    // Lists of 2m entries must fit their u16 lengths; save refuses more.
    if (h.hnsw_m > kMaxHnswM) {
      throw TeskraError::invalid_file("hnsw_m " + num(h.hnsw_m) + " is above " + num(kMaxHnswM) +
                                      ", which no index file holds");
    }
    // A construction list of 0 keeps no candidates: later insertions would
    // link nowhere.
    if (h.hnsw_ef_construction == 0) {
      throw TeskraError::invalid_file("hnsw_ef_construction 0 keeps no construction candidates");
    }
    if (!hnsw_selection_from_byte(h.hnsw_selection)) {
      throw TeskraError::invalid_file("hnsw_selection byte " + num(h.hnsw_selection) +
                                      " is neither 0 (diverse) nor 1 (nearest)");
    }
  }
}

Teskra IndexFile::decode(ByteSource& in) { return decode(in, read_index, nullptr); }

Teskra IndexFile::decode(ByteSource& in, const SectionReader& read_section,
                         std::shared_ptr<const MappedFile> mapping) {
  const Header h = Header::read(in);
  check_header(h);
  const EngineConfig config = config_of(h);
  const uint64_t padded = padded_dim_for(config.dim);
  const uint64_t bytes = packed_bytes_for(padded, config.n4_dims);

  // Every byte is read and checked before the pipeline is built: its
  // rotation costs time and memory in proportion to the dimension, which a
  // damaged file should not get to spend.
  std::optional<StdParams> params;
  if (h.has_std_params) params = read_std_params(in, h.dim);
  std::unique_ptr<IndexStructure> index = read_section(h, config, in, bytes, padded);

  // The file's bit_width is kept as stored.
  QuantPipeline pipeline(config);
  if (params) pipeline.set_std_params(std::move(*params));
  return Teskra(config, std::move(pipeline), std::move(index), std::move(mapping));
}

void Teskra::write_to(ByteSink& out) const {
  IndexFile::check_saveable(*this);
  IndexFile::encode(*this, out);
}

Teskra Teskra::from_bytes(std::span<const uint8_t> bytes) {
  MemorySource in(bytes);
  return IndexFile::decode(in);
}

Teskra Teskra::load(const std::string& path) {
  FileReader reader(open_for_reading(path));
  return IndexFile::decode(reader);
}

}  // namespace teskra
