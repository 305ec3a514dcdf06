// An allocator for large arrays that are read at random: graph walks jump
// between vectors and neighbour lists spread over hundreds of megabytes, and
// with 4 KiB pages nearly every such jump also misses the TLB. Blocks of 2 MiB
// and more are aligned to 2 MiB and offered to the kernel for transparent huge
// pages (a hint: without them the memory simply stays in small pages).
// Smaller blocks come from the ordinary heap.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace teskra {

template <class T>
class HugePageAllocator {
 public:
  using value_type = T;

  HugePageAllocator() noexcept = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T) - kHuge) throw std::bad_alloc();
    const size_t bytes = n * sizeof(T);
    if (bytes < kHuge) return static_cast<T*>(::operator new(bytes));
    const size_t rounded = (bytes + kHuge - 1) & ~(kHuge - 1);
    void* p = std::aligned_alloc(kHuge, rounded);
    if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    ::madvise(p, rounded, MADV_HUGEPAGE);  // a hint; failure changes nothing
#endif
    return static_cast<T*>(p);
  }

  void deallocate(T* p, size_t n) noexcept {
    if (n * sizeof(T) < kHuge) {
      ::operator delete(p);
    } else {
      std::free(p);
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }

 private:
  static constexpr size_t kHuge = size_t{2} << 20;
};

}  // namespace teskra
