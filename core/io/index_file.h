// IndexFile: a whole engine to and from the bytes of an index file
// (format.h). Teskra::save and Teskra::load are built on
// it; the fuzz target calls decode() on bytes in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/engine.h"
#include "core/io/byte_stream.h"
#include "core/io/format.h"

namespace teskra {

// An engine that no index file can represent faithfully: saving it would
// lose vectors or load back as a different index. Raised before any file is
// touched. (The binding reports it as RuntimeError with this text.)
class SaveRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class IndexFile {
 public:
  // Throws what save must throw before touching a file: the structure's
  // refusals (IndexStructure::check_saveable), then SaveRefused for a padded
  // dimension above kMaxPaddedDim or standardization parameters of the wrong
  // length.
  static void check_saveable(const Teskra& engine);

  // The header of the engine's file (n_vectors and has_std_params filled).
  static Header header_of(const Teskra& engine);

  // The whole file: header, standardization block, index section.
  // check_saveable must have passed.
  static void encode(const Teskra& engine, ByteSink& out);

  // Reads a whole file from its first byte. After the header: InvalidMetric,
  // UnsupportedIndexType, InvalidFile for a padded dimension above
  // kMaxPaddedDim, InvalidBitWidth for an inconsistent n4_dims, InvalidFile
  // for a version-4 Hnsw file or an hnsw_m below 2; then the section
  // decoders' errors (format.h). Never returns a partly loaded engine.
  static Teskra decode(ByteSource& in);

  // How decode reads the index section: from in, positioned after the
  // standardization block, given the checked header, the configuration
  // derived from it, the code length and the padded dimension.
  using SectionReader = std::function<std::unique_ptr<IndexStructure>(
      const Header& h, const EngineConfig& config, ByteSource& in, uint64_t bytes_per_vec,
      uint64_t padded_dim)>;
  // decode with another section reader (read_index is decode's); the
  // engine keeps mapping (views: index_view.h).
  static Teskra decode(ByteSource& in, const SectionReader& read_section,
                       std::shared_ptr<const MappedFile> mapping);

  // The header checks decode runs before building anything (everything up
  // to, not including, the standardization block).
  static void check_header(const Header& h);
};

}  // namespace teskra
