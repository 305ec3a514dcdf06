// The two byte-stream interfaces index files are encoded to and decoded from.
//
// The section decoders see only a ByteSource, so a buffered file, a memory
// mapping and a fuzzer's in-memory input all run the same decoding code. A
// source knows how many bytes it still holds, which lets a decoder check a
// count read from the file against the bytes that could possibly back it
// before allocating anything for it: a damaged count then fails as a short
// file does instead of asking for terabytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "core/error.h"

namespace teskra {

// The display text of an unexpected end of input (a read that the remaining
// bytes cannot fill).
inline constexpr const char* kUnexpectedEnd = "failed to fill whole buffer";

inline TeskraError unexpected_end() { return TeskraError::io(kUnexpectedEnd); }

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills out[0..n) or throws: Io "failed to fill whole buffer" when the
  // input ends first, Io with the system's text when reading fails. After a
  // failure the source is not to be read any further.
  virtual void read(void* out, size_t n) = 0;
  // Bytes left from the current position to the end of the input, as known
  // when the input was opened.
  virtual uint64_t remaining() const = 0;

  // Throws the unexpected-end error unless at least count records of
  // record_bytes each can still follow. Overflow-safe for any count.
  void require(uint64_t count, uint64_t record_bytes) const {
    if (record_bytes != 0 && count > remaining() / record_bytes) throw unexpected_end();
  }
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes all n bytes or throws (Io with the system's text).
  virtual void write(const void* data, size_t n) = 0;
};

// A source over bytes in memory (a mapping, a fuzzer's input). The bytes must
// outlive the source.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  void read(void* out, size_t n) override {
    if (n > bytes_.size() - pos_) throw unexpected_end();
    if (n != 0) std::memcpy(out, bytes_.data() + pos_, n);
    pos_ += n;
  }
  uint64_t remaining() const override { return bytes_.size() - pos_; }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

// A sink that appends to a string (tests, the fuzzer's re-encoding).
// Counts the bytes written to it, to size a buffer before the real pass.
class CountingSink final : public ByteSink {
 public:
  void write(const void*, size_t n) override { count += n; }
  uint64_t count = 0;
};

// Writes into a caller's buffer; the unexpected-end Io error when it is full.
class BufferSink final : public ByteSink {
 public:
  explicit BufferSink(std::span<uint8_t> buffer) : buffer_(buffer) {}
  void write(const void* data, size_t n) override {
    if (n > buffer_.size() - pos_) throw unexpected_end();
    if (n != 0) std::memcpy(buffer_.data() + pos_, data, n);
    pos_ += n;
  }
  size_t written() const { return pos_; }

 private:
  std::span<uint8_t> buffer_;
  size_t pos_ = 0;
};

class StringSink final : public ByteSink {
 public:
  void write(const void* data, size_t n) override { out.append(static_cast<const char*>(data), n); }
  std::string out;
};

}  // namespace teskra
