// The display texts reach Python exceptions unchanged and callers match on
// them, so every one is pinned character for character.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "core/error.h"

namespace teskra {
namespace {

TEST(ErrorTexts, EveryVariant) {
  // U+2014 spelled as bytes so an editor cannot turn it into a hyphen.
  const std::string dash = "\xE2\x80\x94";
  const uint64_t big = std::numeric_limits<uint64_t>::max();
  using E = TeskraError;
  using K = ErrorKind;
  const struct {
    TeskraError error;
    ErrorKind kind;
    std::string text;
  } cases[] = {
      {E::dimension_mismatch(128, 64), K::DimensionMismatch, "dimension mismatch: expected 128, got 64"},
      {E::dimension_mismatch(big, 0), K::DimensionMismatch,
       "dimension mismatch: expected 18446744073709551615, got 0"},
      // u8 payloads print as numbers, never as characters.
      {E::invalid_bit_width(65), K::InvalidBitWidth, "invalid bit width: 65 (must be 2 or 4)"},
      {E::invalid_metric(7), K::InvalidMetric, "invalid metric byte: 7"},
      {E::empty_index(), K::EmptyIndex, "index is empty"},
      {E::count_mismatch(2, big), K::CountMismatch,
       "id/vector count mismatch: 2 ids vs 18446744073709551615 vectors"},
      {E::io("failed to fill whole buffer"), K::Io, "io error: failed to fill whole buffer"},
      {E::invalid_file("bad magic bytes"), K::InvalidFile, "invalid .tskr file: bad magic bytes"},
      {E::unsupported_version(4294967295u), K::UnsupportedVersion, "unsupported file version: 4294967295"},
      {E::unsupported_index_type(200), K::UnsupportedIndexType, "unsupported index type byte: 200"},
      {E::not_implemented("Hnsw"), K::NotImplemented,
       "index type 'Hnsw' is not yet implemented " + dash + " use IndexType::BruteForce"},
      {E::not_built(), K::NotBuilt, "call build() before search() for IvfFlat indexes"},
      {E::empty_sample(), K::EmptySample,
       "sample is empty " + dash + " provide at least 1 vector for profiling"},
      {E::fit_after_add(), K::FitAfterAdd,
       "fit() must be called before add() " + dash + " index already contains vectors"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.text;
    EXPECT_EQ(c.error.message(), c.text);
    EXPECT_STREQ(c.error.what(), c.text.c_str());
  }
}

}  // namespace
}  // namespace teskra
