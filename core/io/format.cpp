#include "core/io/format.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

namespace teskra {

namespace {

constexpr std::array<uint8_t, 4> kMagic = {'T', 'S', 'K', 'R'};
constexpr uint32_t kNoEntryPoint = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------
// Little-endian scalars, independent of the host's byte order.

template <class T>
void put_le(uint8_t* p, T v) {
  using U = std::make_unsigned_t<T>;
  U u = static_cast<U>(v);
  for (size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

template <class T>
T get_le(const uint8_t* p) {
  std::make_unsigned_t<T> u = 0;
  for (size_t i = 0; i < sizeof(T); ++i) u |= static_cast<decltype(u)>(p[i]) << (8 * i);
  return static_cast<T>(u);
}

void put_f32(uint8_t* p, float v) { put_le(p, std::bit_cast<uint32_t>(v)); }
float get_f32(const uint8_t* p) { return std::bit_cast<float>(get_le<uint32_t>(p)); }

template <class T>
void write_scalar(ByteSink& out, T v) {
  uint8_t b[sizeof(T)];
  put_le(b, v);
  out.write(b, sizeof b);
}

template <class T>
T read_scalar(ByteSource& in) {
  uint8_t b[sizeof(T)];
  in.read(b, sizeof b);
  return get_le<T>(b);
}

// Arrays of u32, u64 or f32. On a little-endian host the memory image is the
// file image and goes out in one write; elsewhere through a small buffer.
template <class T>
void write_array(ByteSink& out, std::span<const T> values) {
  if constexpr (std::endian::native == std::endian::little) {
    out.write(values.data(), values.size_bytes());
  } else {
    std::array<uint8_t, 4096> buf;
    constexpr size_t per = buf.size() / sizeof(T);
    for (size_t i = 0; i < values.size(); i += per) {
      const size_t n = std::min(per, values.size() - i);
      for (size_t j = 0; j < n; ++j) {
        using U = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
        put_le(buf.data() + j * sizeof(T), std::bit_cast<U>(values[i + j]));
      }
      out.write(buf.data(), n * sizeof(T));
    }
  }
}

// Reads values.size() elements in place.
template <class T>
void read_array(ByteSource& in, std::span<T> values) {
  in.read(values.data(), values.size_bytes());
  if constexpr (std::endian::native != std::endian::little) {
    using U = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
    for (T& v : values) {
      uint8_t b[sizeof(T)];
      std::memcpy(b, &v, sizeof(T));
      v = std::bit_cast<T>(get_le<U>(b));
    }
  }
}

// n as a size_t for an allocation; the caller has already checked n against
// the bytes of the source, which a size_t always measures.
size_t to_size(uint64_t n) { return static_cast<size_t>(n); }

}  // namespace

// ---------------------------------------------------------------------------
// Header

size_t Header::size_for(uint32_t version) {
  if (version <= 2) return 32;
  if (version == 3) return 40;
  return 56;
}

void Header::write(ByteSink& out) const {
  std::array<uint8_t, kSize> b{};
  std::copy(kMagic.begin(), kMagic.end(), b.begin());
  put_le<uint32_t>(&b[4], kVersion);
  put_le<uint32_t>(&b[8], dim);
  b[12] = metric;
  b[13] = bit_width;
  b[14] = index_type;
  put_le<uint64_t>(&b[16], n_vectors);
  put_le<uint64_t>(&b[24], seed);
  put_le<uint32_t>(&b[32], n4_dims);
  put_le<uint32_t>(&b[40], ivf_nlist);
  put_le<uint32_t>(&b[44], ivf_nprobe);
  put_le<uint16_t>(&b[48], hnsw_m);
  put_le<uint16_t>(&b[50], hnsw_ef_construction);
  put_le<uint16_t>(&b[52], hnsw_ef_search);
  b[54] = has_std_params ? 1 : 0;
  b[55] = hnsw_selection;
  out.write(b.data(), b.size());
}

Header Header::read(ByteSource& in) {
  uint8_t magic[4];
  in.read(magic, sizeof magic);
  if (!std::equal(kMagic.begin(), kMagic.end(), magic)) throw TeskraError::invalid_file("bad magic bytes");
  Header h;
  h.version = read_scalar<uint32_t>(in);
  if (h.version == 0 || h.version > kVersion) throw TeskraError::unsupported_version(h.version);

  uint8_t b[kSize - 8];  // everything after magic and version
  const size_t rest = size_for(h.version) - 8;
  in.read(b, rest);
  h.dim = get_le<uint32_t>(&b[0]);
  h.metric = b[4];
  h.bit_width = b[5];
  h.index_type = b[6];
  h.n_vectors = get_le<uint64_t>(&b[8]);
  h.seed = get_le<uint64_t>(&b[16]);
  if (h.version >= 3) h.n4_dims = get_le<uint32_t>(&b[24]);
  if (h.version >= 4) {
    h.ivf_nlist = get_le<uint32_t>(&b[32]);
    h.ivf_nprobe = get_le<uint32_t>(&b[36]);
    h.hnsw_m = get_le<uint16_t>(&b[40]);
    h.hnsw_ef_construction = get_le<uint16_t>(&b[42]);
    h.hnsw_ef_search = get_le<uint16_t>(&b[44]);
    // Versions 4 and 5 carried this byte without meaning; only 6 has the
    // standardization block it announces.
    h.has_std_params = h.version >= 6 && b[46] != 0;
    h.hnsw_selection = b[47];
  }
  return h;
}

// ---------------------------------------------------------------------------
// Standardization block

void write_std_params(ByteSink& out, const StdParams& params) {
  write_array<float>(out, params.mean);
  write_array<float>(out, params.inv_std);
}

StdParams read_std_params(ByteSource& in, uint64_t dim) {
  in.require(dim, 2 * sizeof(float));
  StdParams p;
  p.mean.resize(to_size(dim));
  read_array<float>(in, p.mean);
  p.inv_std.resize(to_size(dim));
  read_array<float>(in, p.inv_std);
  return p;
}

// ---------------------------------------------------------------------------
// BruteForce section

void write_flat_section(ByteSink& out, std::span<const uint8_t> codes, std::span<const uint64_t> ids,
                        std::span<const float> norms) {
  out.write(codes.data(), codes.size());
  write_array<uint64_t>(out, ids);
  write_array<float>(out, norms);
}

FlatSectionPlan plan_flat_section(const ByteSource& in, uint64_t n, uint64_t bytes_per_vec, bool with_norms) {
  // Codes and ids must both be there; checking them together before the
  // first allocation keeps a damaged n from reserving more than the file.
  in.require(n, bytes_per_vec + sizeof(uint64_t));
  FlatSectionPlan plan;
  plan.codes_bytes = n * bytes_per_vec;
  plan.ids_bytes = n * sizeof(uint64_t);
  // A file that ends right after the ids holds no norms (version 1, or an
  // index saved while it had none) and searches keep raw scores. A norms part
  // that starts but stops short is a truncated file like any other.
  const uint64_t after_ids = in.remaining() - plan.codes_bytes - plan.ids_bytes;
  plan.has_norms = with_norms && after_ids != 0;
  if (plan.has_norms && after_ids / sizeof(float) < n) throw unexpected_end();
  return plan;
}

CodeStore read_flat_section(ByteSource& in, uint64_t n, uint64_t bytes_per_vec, bool with_norms) {
  const FlatSectionPlan plan = plan_flat_section(in, n, bytes_per_vec, with_norms);
  CodeStore::CodeArray codes(to_size(plan.codes_bytes));
  in.read(codes.data(), codes.size());
  std::vector<uint64_t> ids(to_size(n));
  read_array<uint64_t>(in, ids);
  std::vector<float> norms;
  if (plan.has_norms) {
    norms.resize(to_size(n));
    read_array<float>(in, norms);
  }
  return CodeStore(bytes_per_vec, std::move(codes), std::move(ids), std::move(norms), plan.has_norms);
}

// ---------------------------------------------------------------------------
// IvfFlat section

void write_ivf_section(ByteSink& out, const IvfFlat& ivf) {
  const std::vector<IvfList>& lists = ivf.lists();
  const size_t bytes = static_cast<size_t>(ivf.bytes_per_vec());
  write_scalar<uint32_t>(out, static_cast<uint32_t>(lists.size()));
  write_scalar<uint32_t>(out, lists.empty() ? 0 : static_cast<uint32_t>(lists.front().centroid.size()));
  std::vector<uint8_t> record(sizeof(uint64_t) + bytes + sizeof(float));
  for (const IvfList& list : lists) {
    write_array<float>(out, list.centroid);
    const CodeStore& members = list.members;
    write_scalar<uint32_t>(out, static_cast<uint32_t>(members.size()));
    for (size_t j = 0; j < members.size(); ++j) {
      put_le<uint64_t>(record.data(), members.id(j));
      std::memcpy(record.data() + 8, members.code(j), bytes);
      put_f32(record.data() + 8 + bytes, members.norm(j));
      out.write(record.data(), record.size());
    }
  }
}

uint32_t read_ivf_head(ByteSource& in, uint64_t padded_dim) {
  const uint32_t n_lists = read_scalar<uint32_t>(in);
  const uint32_t centroid_len = read_scalar<uint32_t>(in);
  if (n_lists == 0) return 0;
  // Centroids live in the transformed-query space; any other length would
  // be scored against queries over the wrong number of coordinates.
  if (centroid_len != padded_dim) {
    throw TeskraError::invalid_file("IvfFlat centroid length " + std::to_string(centroid_len) +
                                    " differs from the padded dimension " + std::to_string(padded_dim));
  }
  in.require(n_lists, uint64_t{centroid_len} * sizeof(float) + sizeof(uint32_t));
  return n_lists;
}

uint32_t read_ivf_list_head(ByteSource& in, std::span<float> centroid, uint64_t bytes_per_vec) {
  read_array<float>(in, centroid);
  const uint32_t n_members = read_scalar<uint32_t>(in);
  in.require(n_members, ivf_member_bytes(bytes_per_vec));
  return n_members;
}

std::vector<IvfList> read_ivf_lists(ByteSource& in, uint64_t bytes_per_vec, uint64_t padded_dim) {
  const uint32_t n_lists = read_ivf_head(in, padded_dim);
  std::vector<IvfList> lists(n_lists);
  const size_t bytes = to_size(bytes_per_vec);
  std::vector<uint8_t> record(to_size(ivf_member_bytes(bytes_per_vec)));
  for (IvfList& list : lists) {
    list.centroid.resize(to_size(padded_dim));
    const uint32_t n_members = read_ivf_list_head(in, list.centroid, bytes_per_vec);
    std::vector<uint64_t> ids(n_members);
    CodeStore::CodeArray codes(n_members * bytes);
    std::vector<float> norms(n_members);
    for (uint32_t j = 0; j < n_members; ++j) {
      in.read(record.data(), record.size());
      ids[j] = get_le<uint64_t>(record.data());
      std::memcpy(codes.data() + size_t{j} * bytes, record.data() + 8, bytes);
      norms[j] = get_f32(record.data() + 8 + bytes);
    }
    list.members = CodeStore(bytes_per_vec, std::move(codes), std::move(ids), std::move(norms), true);
  }
  return lists;
}

void write_ivf_section_as_read(ByteSink& out, std::span<const uint8_t> section) {
  if (section.size() < 8) throw unexpected_end();
  const uint32_t n_lists = get_le<uint32_t>(section.data());
  // A section without lists is written with a centroid length of 0, whatever
  // the file said.
  write_scalar<uint32_t>(out, n_lists);
  write_scalar<uint32_t>(out, n_lists == 0 ? 0 : get_le<uint32_t>(section.data() + 4));
  if (n_lists != 0) out.write(section.data() + 8, section.size() - 8);
}

// ---------------------------------------------------------------------------
// Hnsw section

void write_hnsw_section(ByteSink& out, const Hnsw& graph) {
  const uint64_t n = graph.size();
  write_scalar<uint32_t>(out, static_cast<uint32_t>(n));
  write_scalar<uint32_t>(out, graph.entry_point().value_or(kNoEntryPoint));
  write_scalar<uint32_t>(out, static_cast<uint32_t>(graph.max_level()));
  const size_t bytes = static_cast<size_t>(graph.bytes_per_vec());
  std::vector<uint8_t> record;
  for (uint32_t node = 0; node < n; ++node) {
    const uint64_t levels = graph.level(node) + 1;
    record.assign(sizeof(uint64_t) + bytes + sizeof(float) + 1, 0);
    put_le<uint64_t>(record.data(), graph.id(node));
    std::memcpy(record.data() + 8, graph.code(node), bytes);
    put_f32(record.data() + 8 + bytes, graph.norm(node));
    record[8 + bytes + 4] = static_cast<uint8_t>(levels);
    for (uint64_t layer = 0; layer < levels; ++layer) {
      const std::span<const uint32_t> list = graph.neighbours(node, layer);
      const size_t at = record.size();
      record.resize(at + 2 + 4 * list.size());
      put_le<uint16_t>(record.data() + at, static_cast<uint16_t>(list.size()));
      for (size_t j = 0; j < list.size(); ++j) put_le<uint32_t>(record.data() + at + 2 + 4 * j, list[j]);
    }
    out.write(record.data(), record.size());
  }
}

void read_hnsw_section(ByteSource& in, uint64_t m, uint64_t bytes_per_vec, HnswSectionReader& out) {
  const uint32_t n_nodes = read_scalar<uint32_t>(in);
  const uint32_t entry = read_scalar<uint32_t>(in);
  const uint32_t max_level = read_scalar<uint32_t>(in);
  const size_t bytes = to_size(bytes_per_vec);
  // Smallest node record: id, code, norm, layer count, one empty list.
  const uint64_t fixed = hnsw_node_fixed_bytes(bytes_per_vec);
  in.require(n_nodes, fixed + sizeof(uint16_t));

  // Slot memory: 2m entries per node on layer 0, m per upper layer.
  const uint64_t slot_budget =
      kGraphSlotAllowance +
      kGraphSlotsPerFileByte * std::min<uint64_t>(in.remaining(), std::numeric_limits<uint64_t>::max() /
                                                                      (2 * kGraphSlotsPerFileByte));
  const uint64_t slots_allowed = slot_budget / kGraphSlotEntryBytes;
  uint64_t slots = 0;
  auto charge = [&](uint64_t count, uint64_t per) {
    if (per != 0 && count > (slots_allowed - slots) / per) {
      throw TeskraError::invalid_file(
          "graph with hnsw_m " + std::to_string(m) +
          " needs more neighbour-list memory than a file of its size can justify");
    }
    slots += count * per;
  };
  charge(n_nodes, 2 * m);

  std::vector<uint8_t> record(to_size(fixed));
  std::vector<uint8_t> raw;
  std::vector<uint32_t> nodes;
  for (uint32_t node = 0; node < n_nodes; ++node) {
    in.read(record.data(), record.size());
    const uint8_t layers = record[fixed - 1];
    if (layers == 0) {
      throw TeskraError::invalid_file("graph node " + std::to_string(node) + " has no layers");
    }
    charge(layers - 1u, m);
    const uint64_t id = get_le<uint64_t>(record.data());
    const float norm = get_f32(record.data() + 8 + bytes);
    if (!out.node(node, id, record.data() + 8, norm, layers - 1u)) {
      throw TeskraError::invalid_file("graph node " + std::to_string(node) + " has too many layers");
    }
    for (uint64_t layer = 0; layer < layers; ++layer) {
      const uint16_t count = read_scalar<uint16_t>(in);
      in.require(count, sizeof(uint32_t));
      raw.resize(size_t{count} * 4);
      in.read(raw.data(), raw.size());
      nodes.resize(count);
      for (size_t j = 0; j < count; ++j) nodes[j] = get_le<uint32_t>(raw.data() + 4 * j);
      if (!out.neighbours(node, layer, nodes)) {
        throw TeskraError::invalid_file("graph node " + std::to_string(node) + " lists " +
                                        std::to_string(count) + " neighbours on layer " +
                                        std::to_string(layer) + ", more than hnsw_m allows");
      }
    }
  }
  const std::optional<uint32_t> entry_point =
      entry == kNoEntryPoint ? std::nullopt : std::optional<uint32_t>(entry);
  if (!out.finish(entry_point, max_level)) {
    throw TeskraError::invalid_file(
        "graph links or entry point name a node or layer the graph does not have");
  }
}

void read_hnsw_section(ByteSource& in, Hnsw& graph) {
  // The graph restores itself from what the section holds.
  class Restore final : public HnswSectionReader {
   public:
    explicit Restore(Hnsw& g) : g_(g) {}
    bool node(uint32_t, uint64_t id, const uint8_t* code, float norm, uint64_t level) override {
      return g_.restore_node(id, code, norm, level);
    }
    bool neighbours(uint32_t node, uint64_t layer, std::span<const uint32_t> nodes) override {
      return g_.restore_neighbours(node, layer, nodes);
    }
    bool finish(std::optional<uint32_t> entry_point, uint64_t max_level) override {
      return g_.finish_restore(entry_point, max_level);
    }

   private:
    Hnsw& g_;
  };
  Restore restore(graph);
  read_hnsw_section(in, graph.m(), graph.bytes_per_vec(), restore);
}

void write_hnsw_section_as_read(ByteSink& out, std::span<const uint8_t> section) {
  if (section.size() < 12) throw unexpected_end();
  const uint32_t n_nodes = get_le<uint32_t>(section.data());
  const uint32_t entry = get_le<uint32_t>(section.data() + 4);
  // A graph without an entry point is written with a top level of 0.
  write_scalar<uint32_t>(out, n_nodes);
  write_scalar<uint32_t>(out, entry);
  write_scalar<uint32_t>(out, entry == kNoEntryPoint ? 0 : get_le<uint32_t>(section.data() + 8));
  out.write(section.data() + 12, section.size() - 12);
}

}  // namespace teskra
