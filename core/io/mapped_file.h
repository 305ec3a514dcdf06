// MappedFile: a whole file mapped read-only into memory, for indexes served
// from their file (index_view.h) without copying it.
//
// The mapping stays valid, and shows the bytes the file had, for as long as
// the object lives, even after the file is removed or another file is
// renamed over its name (what our own save does: atomic_file.h). Shortening
// the file in place while it is mapped is another matter: touching a page
// past the new end kills the process with SIGBUS. Nothing in teskra
// truncates a file it writes; other programs must not do it to a viewed one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace teskra {

class MappedFile {
 public:
  // Maps the regular file at path. Io with the system's text when it cannot
  // be opened (as open_for_reading in file.h: directories and other special
  // files are refused) or mapped. An empty file maps to no bytes.
  static std::shared_ptr<const MappedFile> open(const std::string& path);

  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  std::span<const uint8_t> bytes() const { return {data_, size_}; }
  size_t size() const { return size_; }
  // Whether [p, p + n) lies inside the mapping.
  bool contains(const void* p, size_t n) const;
  // Takes the pages of the mapping out of this process's resident set: they
  // stay in the page cache and come back, from there, when next touched. For
  // after a pass over the whole file (validation), so that opening a large
  // file does not leave all of it counted as this process's memory.
  void release_pages() const;

 private:
  MappedFile(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  const uint8_t* data_;
  size_t size_;
};

}  // namespace teskra
