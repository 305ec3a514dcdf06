// An allocator for large arrays that are read at random: graph walks jump
// between vectors and neighbour lists spread over hundreds of megabytes, and
// with 4 KiB pages nearly every such jump also misses the TLB. Blocks of 2 MiB
// and more are aligned to 2 MiB and offered to the kernel for transparent huge
// pages (a hint: without them the memory simply stays in small pages). They
// are memory mappings of their own, so that a freed block (the old one when
// an array grows) goes back to the system at once instead of lingering in
// the heap, which the C allocator would otherwise use for blocks of this
// size once the process has freed a few large ones. Smaller blocks come from
// the ordinary heap.
#pragma once

#include <cstddef>
#include <cstdint>
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
#if defined(__linux__)
    // Mapped with a huge page to spare, and cut to the aligned part.
    void* raw = ::mmap(nullptr, rounded + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    char* const first = static_cast<char*>(raw);
    char* const p = first + ((kHuge - reinterpret_cast<uintptr_t>(first) % kHuge) % kHuge);
    if (p != first) ::munmap(first, static_cast<size_t>(p - first));
    if (p + rounded != first + rounded + kHuge) ::munmap(p + rounded, static_cast<size_t>(first + kHuge - p));
#if defined(MADV_HUGEPAGE)
    ::madvise(p, rounded, MADV_HUGEPAGE);  // a hint; failure changes nothing
#endif
#else
    void* p = std::aligned_alloc(kHuge, rounded);
    if (p == nullptr) throw std::bad_alloc();
#endif
    return reinterpret_cast<T*>(p);
  }

  void deallocate(T* p, size_t n) noexcept {
    const size_t bytes = n * sizeof(T);
    if (bytes < kHuge) {
      ::operator delete(p);
    } else {
#if defined(__linux__)
      ::munmap(p, (bytes + kHuge - 1) & ~(kHuge - 1));
#else
      std::free(p);
#endif
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
