// Files behind the byte streams: a buffered reader and a buffered writer over
// POSIX descriptors.
//
// Every failure is a TeskraError of kind Io whose text is the operating
// system's own (strerror); a read the file cannot fill is the unexpected-end
// Io error of byte_stream.h.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/io/byte_stream.h"

namespace teskra {

// Io error carrying strerror(errnum).
TeskraError os_error(int errnum);

// Paths go to the system as C strings, which end at the first NUL: a path
// holding one would name a different file. Throws Io "file name contained an
// unexpected NUL byte".
void check_path(const std::string& path);

// An owned descriptor, closed on destruction (errors ignored there; close()
// reports them).
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept;
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now; throws Io if the system reports an error (a write that
  // failed late surfaces here on some file systems).
  void close();

 private:
  int fd_ = -1;
};

// Index files are regular files. Throws Io "Is a directory" for a directory
// and "Invalid argument" for anything else that is not a regular file (FIFO,
// socket, device node, symbolic link), given its st_mode.
void require_regular_file(mode_t mode);

// Opens path read-only (Io on failure), refusing anything but a regular file
// (require_regular_file) without waiting: the open does not block on a FIFO
// without a writer, and a terminal does not become the controlling one.
Fd open_for_reading(const std::string& path);
// The file's length by fstat (Io on failure).
uint64_t file_size(const Fd& fd);

// Reads a file from its start through an 8 KiB buffer. remaining() is
// measured against the file's length when the reader was made; if another
// process shortens the file meanwhile, reads fail with the unexpected-end
// error rather than return short.
class FileReader final : public ByteSource {
 public:
  static constexpr size_t kBufferSize = 8192;

  explicit FileReader(Fd fd);

  void read(void* out, size_t n) override;
  uint64_t remaining() const override;

 private:
  // One read(2) into the buffer, retried on EINTR; returns bytes read.
  size_t fill();

  Fd fd_;
  uint64_t size_;
  uint64_t consumed_ = 0;  // bytes handed out so far
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0, end_ = 0;
};

// Writes through an 8 KiB buffer to a descriptor it does not own. A write
// that does not fit the free space flushes first; one larger than the buffer
// goes to the file directly. flush() must be called at the end: bytes still
// buffered at destruction are dropped (the destructor cannot report errors).
class FileWriter final : public ByteSink {
 public:
  static constexpr size_t kBufferSize = 8192;

  explicit FileWriter(int fd);

  void write(const void* data, size_t n) override;
  void flush();

 private:
  void write_all(const uint8_t* p, size_t n);

  int fd_;
  std::vector<uint8_t> buffer_;
  size_t used_ = 0;
};

}  // namespace teskra
