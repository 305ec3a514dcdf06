#include "core/io/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

namespace teskra {

TeskraError os_error(int errnum) { return TeskraError::os(errnum); }

void check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw TeskraError::io("file name contained an unexpected NUL byte");
  }
}

// ---------------------------------------------------------------------------
// Fd

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd::Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void Fd::close() {
  if (fd_ < 0) return;
  const int fd = std::exchange(fd_, -1);
  // close(2) must not be retried on EINTR (the descriptor is gone either
  // way on Linux); any other error is the file's and is reported.
  if (::close(fd) != 0 && errno != EINTR) throw os_error(errno);
}

void require_regular_file(mode_t mode) {
  if (S_ISDIR(mode)) throw os_error(EISDIR);
  if (!S_ISREG(mode)) throw os_error(EINVAL);
}

Fd open_for_reading(const std::string& path) {
  check_path(path);
  int fd;
  do {
    // O_NONBLOCK only matters for what is refused below; reads of a regular
    // file ignore it.
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw os_error(errno);
  Fd file(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) throw os_error(errno);
  require_regular_file(st.st_mode);
  return file;
}

uint64_t file_size(const Fd& fd) {
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw os_error(errno);
  return st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// ---------------------------------------------------------------------------
// FileReader

FileReader::FileReader(Fd fd) : fd_(std::move(fd)), size_(file_size(fd_)), buffer_(kBufferSize) {}

uint64_t FileReader::remaining() const { return consumed_ < size_ ? size_ - consumed_ : 0; }

size_t FileReader::fill() {
  ssize_t got;
  do {
    got = ::read(fd_.get(), buffer_.data(), buffer_.size());
  } while (got < 0 && errno == EINTR);
  if (got < 0) throw os_error(errno);
  begin_ = 0;
  end_ = static_cast<size_t>(got);
  return end_;
}

void FileReader::read(void* out, size_t n) {
  uint8_t* dst = static_cast<uint8_t*>(out);
  size_t left = n;
  while (left > 0) {
    if (begin_ == end_) {
      // Large reads skip the buffer: a block of codes goes straight into
      // its destination.
      if (left >= buffer_.size()) {
        ssize_t got;
        do {
          got = ::read(fd_.get(), dst, left);
        } while (got < 0 && errno == EINTR);
        if (got < 0) throw os_error(errno);
        if (got == 0) throw unexpected_end();
        dst += got;
        left -= static_cast<size_t>(got);
        consumed_ += static_cast<uint64_t>(got);
        continue;
      }
      if (fill() == 0) throw unexpected_end();
    }
    const size_t take = std::min(left, end_ - begin_);
    std::memcpy(dst, buffer_.data() + begin_, take);
    begin_ += take;
    dst += take;
    left -= take;
    consumed_ += take;
  }
}

// ---------------------------------------------------------------------------
// FileWriter

FileWriter::FileWriter(int fd) : fd_(fd), buffer_(kBufferSize) {}

void FileWriter::write_all(const uint8_t* p, size_t n) {
  while (n > 0) {
    // Linux writes at most about 2 GiB per call; larger requests return
    // short and the loop continues.
    ssize_t put = ::write(fd_, p, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      throw os_error(errno);
    }
    if (put == 0) throw os_error(EIO);  // no progress and no error: do not spin
    p += put;
    n -= static_cast<size_t>(put);
  }
}

void FileWriter::write(const void* data, size_t n) {
  // An empty section (the codes of an empty index) may come with a null
  // pointer, which memcpy must not be given even for zero bytes.
  if (n == 0) return;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (n > buffer_.size() - used_) {
    flush();
    if (n > buffer_.size()) {
      write_all(p, n);
      return;
    }
  }
  std::memcpy(buffer_.data() + used_, p, n);
  used_ += n;
}

void FileWriter::flush() {
  const size_t n = std::exchange(used_, 0);
  write_all(buffer_.data(), n);
}

}  // namespace teskra
