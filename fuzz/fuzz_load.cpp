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
// The same bytes are also written to a file and opened with Teskra::view,
// which reads the file in place: it must refuse exactly what load refuses,
// with the same text, and otherwise answer and save exactly as the loaded
// index does.
//
// Built with libFuzzer (clang -fsanitize=fuzzer) this file is the whole
// target; with g++ the standalone driver in driver.cpp supplies main().
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <unistd.h>

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

// One file per process for the view, rewritten for every input (no view of
// it is open then: a view lives only inside view_matches_load).
const char* view_path() {
  static char name[] = "/tmp/fuzz_load_view_XXXXXX";
  static const bool made = [] {
    const int fd = mkstemp(name);
    if (fd < 0) finding("cannot create the view's file");
    close(fd);
    std::atexit([] { unlink(name); });
    return true;
  }();
  (void)made;
  return name;
}

std::optional<std::string> error_of(const auto& open, std::optional<Teskra>& out) {
  try {
    out.emplace(open());
  } catch (const teskra::TeskraError& e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

void view_matches_load(const uint8_t* data, size_t size) {
  const std::string path = view_path();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || (size != 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
    finding("cannot write the view's file");
  }
  std::optional<Teskra> loaded, viewed;
  const std::optional<std::string> load_error = error_of([&] { return Teskra::load(path); }, loaded);
  const std::optional<std::string> view_error = error_of([&] { return Teskra::view(path); }, viewed);
  if (load_error != view_error) finding("view and load disagree about the file");
  if (load_error) return;

  const uint64_t dim = loaded->config().dim;
  if (dim != 0 && dim <= kMaxExercisedDim && !loaded->is_empty()) {
    std::vector<float> q(dim);
    for (size_t i = 0; i < dim; ++i) q[i] = std::cos(0.3f * static_cast<float>(i) + 0.1f);
    const uint64_t allow[] = {0, 1, 2, 3, 0xF00D};
    using Allow = std::optional<std::span<const uint64_t>>;
    for (const Allow& list : {Allow{}, Allow{std::span<const uint64_t>(allow)}}) {
      const std::vector<teskra::SearchHit> a = loaded->search(q, 10, list);
      const std::vector<teskra::SearchHit> b = viewed->search(q, 10, list);
      const bool same =
          a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](auto& x, auto& y) {
            return x.id == y.id && std::memcmp(&x.score, &y.score, sizeof x.score) == 0;
          });
      if (!same) finding("a view answers differently from the loaded index");
    }
  }
  std::optional<std::string> from_loaded, from_view;
  try {
    teskra::IndexFile::check_saveable(*loaded);
    from_loaded = encode(*loaded);
  } catch (const teskra::SaveRefused&) {
  }
  try {
    teskra::IndexFile::check_saveable(*viewed);
    from_view = encode(*viewed);
  } catch (const teskra::SaveRefused&) {
  }
  if (from_loaded != from_view) finding("a view saves different bytes from the loaded index");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  view_matches_load(data, size);
  teskra::MemorySource in({data, size});
  try {
    Teskra e = teskra::IndexFile::decode(in);
    exercise(e);
  } catch (const teskra::TeskraError&) {
    // The loader's (and the engine's) reported errors are expected.
  }
  return 0;
}
