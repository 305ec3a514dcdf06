// CentroidPanel: dot products of float vectors with one fixed set of
// centroids, the inner loop of k-means assignment and of IVF list ranking.
//
// Every dot product is the plain loop
//     s = 0.0f;  for i in 0 .. dim-1:  s = s + v[i] * c[i]
// with each product rounded before it is added. The SIMD kernels keep that
// order by giving every centroid its own lane (the centroids are stored
// transposed, coordinate-major) and running the coordinates in sequence, so
// every kernel returns the same bits on every CPU: clustering is
// reproducible across machines, not merely "close". (A NaN result is a NaN
// everywhere, but its sign and payload may differ: they depend on which
// operand of an add the compiler puts first.)
#pragma once

#include <cstddef>
#include <new>
#include <span>
#include <vector>

namespace teskra {

// Storage on 64-byte boundaries: with every panel row a multiple of 64
// floats long, each vector load of the kernels then stays within one cache
// line (split loads cost the AVX2 kernel a quarter of its speed).
template <class T>
struct CacheAlignedAllocator {
  using value_type = T;
  static constexpr std::align_val_t kAlign{64};
  CacheAlignedAllocator() = default;
  template <class U>
  CacheAlignedAllocator(const CacheAlignedAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlign)); }
  void deallocate(T* p, size_t) { ::operator delete(p, kAlign); }
  template <class U>
  bool operator==(const CacheAlignedAllocator<U>&) const { return true; }
};

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

  // The same through a named kernel ("scalar", "avx2", "avx512"), for
  // testing every kernel the CPU supports against the plain loop. Returns
  // false when this build or CPU lacks it.
  bool dots_with(const char* kernel, const float* const* rows, size_t n_rows, float* out) const;

 private:
  size_t k_ = 0;
  size_t dim_ = 0;
  size_t kpad_ = 0;
  // dim_ x kpad_: panel_[i * kpad_ + c] is coordinate i of centroid c; the
  // padding columns are zero.
  std::vector<float, CacheAlignedAllocator<float>> panel_;
};

// The plain-loop dot product above, for single pairs.
float sequential_dot(const float* a, const float* b, size_t n);

}  // namespace teskra
