// The .tskr index file: a fixed little-endian header, an optional block of
// standardization parameters, and one index section whose layout depends on
// the index type. This file is the one definition of those bytes.
//
//   offset size field                 versions
//   0      4    magic "TSKR"          all
//   4      4    version (u32)         all      6 when written; 1..6 read
//   8      4    dim (u32)             all
//   12     1    metric                all      0 cosine, 1 dot, 2 l2
//   13     1    bit_width             all
//   14     1    index_type            all      0 BruteForce, 1 IvfFlat, 2 Hnsw
//   15     1    reserved              all
//   16     8    n_vectors (u64)       all
//   24     8    seed (u64)            all
//   32     4    n4_dims (u32)         3..6
//   36     4    reserved              3..6
//   40     4    ivf_nlist (u32)       4..6
//   44     4    ivf_nprobe (u32)      4..6
//   48     2    hnsw_m (u16)          4..6
//   50     2    hnsw_ef_construction  4..6
//   52     2    hnsw_ef_search        4..6     0 means 2 * hnsw_m
//   54     1    has_std_params        6        (ignored in 4 and 5)
//   55     1    hnsw_selection        4..6     0 diverse, 1 nearest (reserved, and
//                                                 so 0, in files written before)
// The header is 32 bytes in versions 1-2, 40 in 3, 56 in 4-6. It carries the
// configuration an engine was created with, truncated to the field widths,
// not run-time tuning.
//
// Standardization block (version 6, has_std_params 1): dim f32 mean values,
// then dim f32 inv_std values.
//
// BruteForce section: n_vectors codes back to back, n_vectors u64 ids, then
// n_vectors f32 norms (absent in version 1, or when the engine holds none:
// the file then ends after the ids).
// IvfFlat section: u32 list count, u32 centroid length, then per list its
// centroid (f32s), u32 member count and per member u64 id, code, f32 norm.
// Hnsw section: u32 node count, u32 entry point (0xFFFFFFFF: none), u32 max
// level, then per node u64 id, code, f32 norm, u8 layer count, and per layer
// (layer 0 first) a u16 neighbour count and that many u32 node indices.
// A code is packed_bytes_per_vec bytes, derived from dim and n4_dims.
//
// Decoding trusts nothing: every count is checked against the bytes the
// source still holds before anything is allocated for it (a count the file
// cannot back fails as a short file does, with the unexpected-end Io error),
// and structural nonsense (a centroid of the wrong length, a graph link to a
// missing node) fails with InvalidFile. Bytes after the last section are
// ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/config.h"
#include "core/io/byte_stream.h"
#include "core/quantize/pipeline.h"
#include "core/search/code_store.h"
#include "core/search/hnsw.h"
#include "core/search/ivf.h"

namespace teskra {

// A graph keeps every neighbour list in a fixed slot of 2m (layer 0) or m
// (above) entries, however few it holds, so a small file with a large m
// could ask for memory out of all proportion to it. A loaded graph may use
// up to this much slot memory, plus kGraphSlotsPerFileByte bytes for every
// byte of its section; beyond that the file is refused. Real graphs stay far
// below (their lists are largely full); only m in the thousands with sparse
// lists comes near. An entry is charged kGraphSlotEntryBytes, what it costs
// a graph that keeps link scores (HnswSelection::Nearest).
inline constexpr uint64_t kGraphSlotAllowance = uint64_t{256} << 20;
inline constexpr uint64_t kGraphSlotsPerFileByte = 256;
inline constexpr uint64_t kGraphSlotEntryBytes = 8;

struct Header {
  static constexpr uint32_t kVersion = 6;
  static constexpr size_t kSize = 56;

  uint64_t n_vectors = 0;
  uint64_t seed = 0;
  uint32_t dim = 0;
  uint32_t n4_dims = 0;
  uint32_t version = kVersion;
  uint32_t ivf_nlist = 0;
  uint32_t ivf_nprobe = 0;
  uint16_t hnsw_m = 0;
  uint16_t hnsw_ef_construction = 0;
  uint16_t hnsw_ef_search = 0;
  uint8_t metric = 0;
  uint8_t bit_width = 0;
  uint8_t index_type = 0;
  bool has_std_params = false;
  uint8_t hnsw_selection = 0;

  // The 56-byte version-6 header: version 6 and zero reserved bytes
  // whatever this record holds.
  void write(ByteSink& out) const;
  // Reads the fields of the file's version, in order, and stops after the
  // last one. InvalidFile "bad magic bytes"; UnsupportedVersion for 0 or
  // above 6; the unexpected-end Io error for a short header. Fields absent
  // from the version read as 0 (has_std_params false; also in 4 and 5).
  // hnsw_selection is read as stored; the loader checks it.
  static Header read(ByteSource& in);
  // 32, 40 or 56 bytes.
  static size_t size_for(uint32_t version);
};

// Standardization block: mean, then inv_std (both dim values).
void write_std_params(ByteSink& out, const StdParams& params);
StdParams read_std_params(ByteSource& in, uint64_t dim);

// BruteForce section. norms is empty or parallel to ids.
void write_flat_section(ByteSink& out, std::span<const uint8_t> codes, std::span<const uint64_t> ids,
                        std::span<const float> norms);
// n codes and ids, then with_norms the n norms unless the source ends right
// after the ids (a store without norms). Any shortfall is the unexpected-end
// Io error.
CodeStore read_flat_section(ByteSource& in, uint64_t n, uint64_t bytes_per_vec, bool with_norms);
// The parts read_flat_section reads, with its checks against the bytes in
// still holds; consumes nothing. The codes start at in's position, the ids
// follow them and the norms (if any) the ids.
struct FlatSectionPlan {
  uint64_t codes_bytes = 0;
  uint64_t ids_bytes = 0;
  bool has_norms = false;
};
FlatSectionPlan plan_flat_section(const ByteSource& in, uint64_t n, uint64_t bytes_per_vec, bool with_norms);

// IvfFlat section.
void write_ivf_section(ByteSink& out, const IvfFlat& ivf);
// Every list's centroid must be padded_dim long (InvalidFile otherwise).
std::vector<IvfList> read_ivf_lists(ByteSource& in, uint64_t bytes_per_vec, uint64_t padded_dim);
// read_ivf_lists in steps, for readers that leave the members in place
// (io/index_view.h). The list count, after checking the centroid length and
// that every list's centroid and count can follow:
uint32_t read_ivf_head(ByteSource& in, uint64_t padded_dim);
// Then, per list, its centroid (padded_dim values) and its member count,
// checked against the bytes left; the member records follow.
uint32_t read_ivf_list_head(ByteSource& in, std::span<float> centroid, uint64_t bytes_per_vec);
// A member record: u64 id, code, f32 norm.
constexpr uint64_t ivf_member_bytes(uint64_t bytes_per_vec) { return 8 + bytes_per_vec + 4; }
// Writes a section read in place (section: its bytes from the list count to
// the end of the last list) exactly as write_ivf_section writes the lists
// read from it.
void write_ivf_section_as_read(ByteSink& out, std::span<const uint8_t> section);

// Hnsw section. The graph's lists must fit the u16 count (m <= kMaxHnswM).
void write_hnsw_section(ByteSink& out, const Hnsw& graph);
// Restores the section into graph, which must be empty and made with the
// file's m and selection and the engine's code length. InvalidFile for a
// node without layers, an overlong list, a link to a missing node or layer,
// a bad entry point, or slot memory beyond the allowance above.
void read_hnsw_section(ByteSource& in, Hnsw& graph);

// What read_hnsw_section hands a section's contents to, in file order: each
// node's fixed part (its level is its layer count - 1), then its lists from
// layer 0 up, and at the end the entry point and top level. A false return
// refuses the input: node() for a level a graph cannot have, neighbours()
// for a list beyond its capacity, finish() for links or an entry point that
// name a missing node or layer. The spans last for the call only.
class HnswSectionReader {
 public:
  virtual ~HnswSectionReader() = default;
  virtual bool node(uint32_t node, uint64_t id, const uint8_t* code, float norm, uint64_t level) = 0;
  virtual bool neighbours(uint32_t node, uint64_t layer, std::span<const uint32_t> nodes) = 0;
  virtual bool finish(std::optional<uint32_t> entry_point, uint64_t max_level) = 0;
};
// The section's decoder, checks and errors as above, for a graph of the
// given m and code length.
void read_hnsw_section(ByteSource& in, uint64_t m, uint64_t bytes_per_vec, HnswSectionReader& out);
// A node record's bytes before its lists: id, code, norm, layer count.
constexpr uint64_t hnsw_node_fixed_bytes(uint64_t bytes_per_vec) { return 8 + bytes_per_vec + 4 + 1; }
// Writes a section read in place (from the node count to the end of the
// last node) exactly as write_hnsw_section writes the graph restored from it.
void write_hnsw_section_as_read(ByteSink& out, std::span<const uint8_t> section);

}  // namespace teskra
