#include "core/io/mapped_file.h"

#include <sys/mman.h>

#include <cerrno>
#include <limits>

#include "core/io/file.h"

namespace teskra {

std::shared_ptr<const MappedFile> MappedFile::open(const std::string& path) {
  const Fd fd = open_for_reading(path);
  const uint64_t size = file_size(fd);
  if (size == 0) return std::shared_ptr<const MappedFile>(new MappedFile(nullptr, 0));
  if (size > std::numeric_limits<size_t>::max()) throw os_error(EFBIG);
  void* p = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) throw os_error(errno);
  // The mapping holds the file from here on; the descriptor closes with fd.
  return std::shared_ptr<const MappedFile>(
      new MappedFile(static_cast<const uint8_t*>(p), static_cast<size_t>(size)));
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) ::munmap(const_cast<uint8_t*>(data_), size_);
}

bool MappedFile::contains(const void* p, size_t n) const {
  const auto at = reinterpret_cast<uintptr_t>(p);
  const auto begin = reinterpret_cast<uintptr_t>(data_);
  return data_ != nullptr && at >= begin && at - begin <= size_ && n <= size_ - (at - begin);
}

void MappedFile::release_pages() const {
  // A hint: should it fail, the pages merely stay resident.
  if (data_ != nullptr) ::madvise(const_cast<uint8_t*>(data_), size_, MADV_DONTNEED);
}

}  // namespace teskra
