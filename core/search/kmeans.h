// The clustering behind IvfFlat::build: deterministic Lloyd iterations.
//
//   k = min(V, max(nlist, 1)) clusters over V rows. An nlist of 0 is taken as
//   1 rather than divided by.
//   Seeding: step = max(V / k, 1), offset = seed mod step; centroid c starts
//   as an unchanged copy of row (c * step + offset) mod V.
//   Up to 25 iterations of: assignment pass (below); stop when no row changed
//   cluster (first pass: compared with cluster 0); update: each centroid
//   becomes the f32 mean of its members (sums in row order, divided by the
//   count as f32); a cluster without members takes a copy of row
//   (seed + c * 7919) mod V (wrapping 64-bit); for Cosine every centroid is
//   then scaled to unit length when its norm exceeds 1e-9.
//   A final assignment pass against the final centroids decides membership
//   (skipped when the loop stopped on "no change": it would repeat the last
//   pass exactly).
//
// Assignment pass: each row is scored against centroids 0 .. k-1 with
// centroid_score(); a later centroid replaces the running best unless the
// best's score is strictly greater, so ties (and NaNs) go to the later one.
//
// Threads (exec): the assignment pass splits the rows into blocks, each row
// decided on its own; a centroid's sum adds its members in row order on one
// thread, whichever; the mean the bounds are measured from adds each
// coordinate in row order on one thread. So every sum is formed in the same
// order whatever the thread count, and centroids and assignment are the same
// bits on one thread as on many. The interrupt is asked between blocks; a
// stopped clustering throws Interrupted and leaves nothing behind.
//
// Scoring every row against every centroid in every pass is the whole cost.
// Rows whose cluster provably cannot change are not rescored: each row keeps
// a lower bound on its own cluster's score and an upper bound on every other
// cluster's, both moved by how far each centroid travelled (Cauchy-Schwarz),
// and both widened by a rigorous bound on the f32 rounding error of the
// scores a full pass would compute. A row is skipped only when its own score
// would beat every other by more than that error, so the assignment is the
// one the full pass would produce, bit for bit; rows with ties, NaNs or
// infinities are always rescored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/exec/execution.h"
#include "core/types.h"

namespace teskra {

// Float vector v against a centroid c (higher is better): Cosine and Dot
// the dot product; L2 2 * dot - |c|^2, which orders centroids as -|v - c|^2.
inline float centroid_score(Metric metric, float dot, float centroid_sq_norm) {
  return metric == Metric::L2 ? 2.0f * dot - centroid_sq_norm : dot;
}

// The clustering input: size() rows of dim() floats, fetched a block at a
// time, so a caller may produce rows on the fly (decoding stored codes)
// instead of holding them all as floats.
class RowSource {
 public:
  virtual ~RowSource() = default;
  virtual size_t size() const = 0;
  virtual size_t dim() const = 0;
  // Sets out[j] to row start + j for j < count (start + count <= size()).
  // A row may be read in place or written into scratch, which has room for
  // count * dim() floats; the pointers stay valid until the next call with
  // the same scratch. Called from several threads at once, each with its
  // own scratch.
  virtual void fetch(size_t start, size_t count, float* scratch, const float** out) const = 0;
};

// Rows stored back to back, dim floats each.
class FlatRows final : public RowSource {
 public:
  FlatRows(std::span<const float> data, size_t dim)
      : data_(data), dim_(dim), n_(dim == 0 ? 0 : data.size() / dim) {}
  size_t size() const override { return n_; }
  size_t dim() const override { return dim_; }
  void fetch(size_t start, size_t count, float*, const float** out) const override {
    for (size_t j = 0; j < count; ++j) out[j] = data_.data() + (start + j) * dim_;
  }

 private:
  std::span<const float> data_;
  size_t dim_;
  size_t n_;
};

struct KMeansOptions {
  // Skip rows whose cluster provably stays (same result, less work). Off
  // only to check that claim.
  bool prune = true;
};

struct KMeansResult {
  size_t k = 0;
  size_t dim = 0;
  std::vector<float> centroids;      // k * dim, centroid c at [c * dim, (c + 1) * dim)
  std::vector<uint32_t> assignment;  // cluster of each row
  // Diagnostics: assignment passes inside the loop, and rows scored against
  // every centroid over all passes (V per pass without pruning).
  size_t iterations = 0;
  uint64_t rows_rescored = 0;
};

inline constexpr size_t kMaxKMeansIterations = 25;

// Throws EmptyIndex when rows is empty. Throws std::length_error (reported as
// MemoryError) for more than 2^32 - 1 clusters.
KMeansResult kmeans(const RowSource& rows, uint64_t nlist, uint64_t seed, Metric metric,
                    const KMeansOptions& options = {}, const Execution& exec = {});

}  // namespace teskra
