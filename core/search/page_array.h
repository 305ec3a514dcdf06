// PageArray: a growable array of plain values whose large blocks are memory
// mappings of their own.
//
// Blocks of kMapBytes and more are mappings: growing one remaps its pages
// instead of copying them (no second copy is ever resident, and growth
// costs no copy), capacity that was never written costs no memory, large
// blocks are offered to the kernel for transparent huge pages, and freeing
// unmaps, so the pages return to the system however the process's
// allocator is tuned. Smaller blocks come from the heap. The code store
// and the graph keep their large arrays in these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace teskra {

template <class T>
class PageArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  static constexpr size_t kMapBytes = size_t{64} << 10;

  PageArray() = default;
  // n values of T{}.
  explicit PageArray(size_t n) { resize(n); }
  // A copy of [first, last).
  template <class It>
  PageArray(It first, It last) {
    make_room(static_cast<size_t>(last - first));
    for (; first != last; ++first) data_[size_++] = *first;
  }
  PageArray(const PageArray&) = delete;
  PageArray& operator=(const PageArray&) = delete;
  PageArray(PageArray&& o) noexcept : data_(o.data_), size_(o.size_), capacity_(o.capacity_) {
    o.data_ = nullptr;
    o.size_ = o.capacity_ = 0;
  }
  PageArray& operator=(PageArray&& o) noexcept {
    if (this != &o) {
      release();
      data_ = o.data_;
      size_ = o.size_;
      capacity_ = o.capacity_;
      o.data_ = nullptr;
      o.size_ = o.capacity_ = 0;
    }
    return *this;
  }
  ~PageArray() { release(); }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& front() { return data_[0]; }
  const T& front() const { return data_[0]; }
  T& back() { return data_[size_ - 1]; }

  // Room for `need` values, growing at least twofold. std::bad_alloc, with
  // nothing changed, when the system refuses (or need cannot be a size).
  void make_room(size_t need) {
    if (need > capacity_) grow(need < capacity_ * 2 ? capacity_ * 2 : need);
  }
  // Values from size() to n are set to fill.
  void resize(size_t n, T fill = T{}) {
    make_room(n);
    for (size_t i = size_; i < n; ++i) data_[i] = fill;
    size_ = n;
  }
  void push_back(const T& v) {
    make_room(size_ + 1);
    data_[size_++] = v;
  }
  // Appends n values from p.
  void append(const T* p, size_t n) {
    if (n > std::numeric_limits<size_t>::max() - size_) throw std::bad_alloc();
    make_room(size_ + n);
    if (n > 0) std::memcpy(data_ + size_, p, n * sizeof(T));
    size_ += n;
  }
  void pop_back() { --size_; }
  void clear() { size_ = 0; }
  // Frees the block; the array is empty without capacity.
  void release() noexcept;
  // Returns the pages past size() to the system; the capacity stays and
  // reads as zeros when written again.
  void trim() noexcept;

 private:
  static constexpr size_t kPage = 4096;
  static size_t round_up_to_page(size_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }
  void grow(size_t capacity);

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

template <class T>
void PageArray<T>::grow(size_t capacity) {
  if (capacity > (std::numeric_limits<size_t>::max() - kPage) / sizeof(T)) throw std::bad_alloc();
  const size_t old_bytes = capacity_ * sizeof(T);
  size_t bytes = capacity * sizeof(T);
  void* p = nullptr;
#if defined(__linux__)
  if (bytes >= kMapBytes) {
    bytes = round_up_to_page(bytes);
    if (old_bytes >= kMapBytes) {
      p = ::mremap(data_, round_up_to_page(old_bytes), bytes, MREMAP_MAYMOVE);
    } else {
      p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p != MAP_FAILED && size_ > 0) std::memcpy(p, data_, size_ * sizeof(T));
      if (p != MAP_FAILED) std::free(data_);
    }
    if (p == MAP_FAILED) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
    ::madvise(p, bytes, MADV_HUGEPAGE);  // a hint; failure changes nothing
#endif
    data_ = static_cast<T*>(p);
    capacity_ = bytes / sizeof(T);
    return;
  }
#endif
  p = std::realloc(data_, bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  data_ = static_cast<T*>(p);
  capacity_ = capacity;
}

template <class T>
void PageArray<T>::release() noexcept {
  if (data_ != nullptr) {
    const size_t bytes = capacity_ * sizeof(T);
#if defined(__linux__)
    if (bytes >= kMapBytes) {
      ::munmap(data_, round_up_to_page(bytes));
    } else {
      std::free(data_);
    }
#else
    std::free(data_);
#endif
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
}

template <class T>
void PageArray<T>::trim() noexcept {
#if defined(__linux__)
  const size_t bytes = capacity_ * sizeof(T);
  if (bytes < kMapBytes) return;
  const size_t used = round_up_to_page(size_ * sizeof(T));
  const size_t mapped = round_up_to_page(bytes);
  if (used < mapped) ::madvise(reinterpret_cast<char*>(data_) + used, mapped - used, MADV_DONTNEED);
#endif
}

}  // namespace teskra
