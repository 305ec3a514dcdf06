// Fuzz target over the index-file loader.
//
// The input is decoded as a whole index file from memory, through the same
// decoder the file loader uses. Whatever loads must then
// behave like any index: it answers searches, re-encodes to bytes that decode
// to the same bytes again, and accepts a new vector (which completes missing
// norms, inserts into a restored graph, or re-clusters loaded lists). Errors
// the loader reports are fine; a crash, a sanitizer report, an unexpected
// exception type or a re-encoding mismatch is a finding.
//
// Built with libFuzzer (clang -fsanitize=fuzzer) this file is the whole
// target; with g++ the standalone driver in driver.cpp supplies main().
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/engine.h"
#include "core/io/byte_stream.h"
#include "core/io/index_file.h"

namespace {

using teskra::Teskra;

// Searching builds a transformed query of padded_dim floats per call; huge
// (but valid) dimensions would only slow the fuzzer down without reaching
// new code.
constexpr uint64_t kMaxExercisedDim = 4096;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "fuzz_load: %s\n", what);
  std::abort();
}

std::string encode(const Teskra& e) {
  teskra::StringSink out;
  teskra::IndexFile::encode(e, out);
  return out.out;
}

void exercise(Teskra& e) {
  const uint64_t dim = e.config().dim;
  if (dim == 0 || dim > kMaxExercisedDim) return;
  std::vector<float> q(dim);
  for (size_t i = 0; i < dim; ++i) q[i] = std::sin(0.7f * static_cast<float>(i) + 0.3f);

  if (!e.is_empty()) {
    const std::vector<teskra::SearchHit> hits = e.search(q, 10, std::nullopt);
    if (hits.size() > 10) finding("search returned more than k hits");
    const uint64_t allow[] = {0, 1, 2, 3};
    e.search(q, 3, std::span<const uint64_t>(allow));
  }

  // What loaded must save (unless the file holds what no save writes) and
  // come back byte for byte.
  std::optional<std::string> first;
  try {
    teskra::IndexFile::check_saveable(e);
    first = encode(e);
  } catch (const teskra::SaveRefused&) {
  }
  if (first) {
    teskra::MemorySource again({reinterpret_cast<const uint8_t*>(first->data()), first->size()});
    if (encode(teskra::IndexFile::decode(again)) != *first) finding("re-encoded file decodes differently");
  }

  const uint64_t id = 0xF00D;
  e.add_flat(std::span<const uint64_t>(&id, 1), std::span<const float>(q));
  if (e.index_type() == teskra::IndexType::IvfFlat) e.build();
  e.search(q, 5, std::nullopt);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  teskra::MemorySource in({data, size});
  try {
    Teskra e = teskra::IndexFile::decode(in);
    exercise(e);
  } catch (const teskra::TeskraError&) {
    // The loader's (and the engine's) reported errors are expected.
  }
  return 0;
}
