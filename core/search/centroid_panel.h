// CentroidPanel: dot products of float vectors with one fixed set of
// centroids, the inner loop of k-means assignment and of IVF list ranking.
//
// Every dot product is the plain loop
//     s = 0.0f;  for i in 0 .. dim-1:  s = s + v[i] * c[i]
// with each product rounded before it is added. The kernels (panel_dots in
// core/simd/kernels.h) keep that order by giving every centroid its own lane
// (the centroids are stored transposed, coordinate-major) and running the
// coordinates in sequence, so every level returns the same bits on every CPU:
// clustering is reproducible across machines, not merely "close". (A NaN
// result is a NaN everywhere, but its sign and payload may differ: they
// depend on which operand of an add the compiler puts first.)
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/search/cache_aligned_allocator.h"

namespace teskra {

class CentroidPanel {
 public:
  CentroidPanel() = default;
  // k centroids of dim floats each, back to back (centroids.size() >= k * dim).
  CentroidPanel(std::span<const float> centroids, size_t k, size_t dim);

  size_t size() const { return k_; }
  size_t dim() const { return dim_; }
  // Row stride of dots() output: size() rounded up to the kernel's width.
  size_t stride() const { return kpad_; }

  // out[r * stride() + c] = dot(rows[r], centroid c) for r < n_rows,
  // c < size(); columns from size() to stride() are scratch. Each rows[r]
  // points at dim() floats. Rows are independent, so the rows of a block
  // need not be contiguous.
  void dots(const float* const* rows, size_t n_rows, float* out) const;

 private:
  size_t k_ = 0;
  size_t dim_ = 0;
  size_t kpad_ = 0;
  // dim_ x kpad_: panel_[i * kpad_ + c] is coordinate i of centroid c; the
  // padding columns are zero. Cache-aligned, with rows a multiple of 64
  // floats, so each vector load of the kernels stays within one cache line.
  std::vector<float, CacheAlignedAllocator<float>> panel_;
};

// The plain-loop dot product above, for single pairs.
float sequential_dot(const float* a, const float* b, size_t n);

}  // namespace teskra
