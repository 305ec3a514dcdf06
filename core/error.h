// The engine's one error type. Every fallible operation either returns its
// result or throws a TeskraError; what() is the exact display text that the
// Python binding puts into the exception it raises.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace teskra {

// In this order; the binding maps each kind to a Python exception class.
enum class ErrorKind : uint8_t {
  DimensionMismatch = 0,
  InvalidBitWidth = 1,
  InvalidMetric = 2,
  EmptyIndex = 3,
  CountMismatch = 4,
  Io = 5,
  InvalidFile = 6,
  UnsupportedVersion = 7,
  UnsupportedIndexType = 8,
  NotImplemented = 9,
  NotBuilt = 10,
  EmptySample = 11,
  FitAfterAdd = 12,
};

class TeskraError : public std::exception {
 public:
  static TeskraError dimension_mismatch(uint64_t expected, uint64_t got);
  static TeskraError invalid_bit_width(uint8_t width);
  static TeskraError invalid_metric(uint8_t byte);
  static TeskraError empty_index();
  static TeskraError count_mismatch(uint64_t ids, uint64_t vectors);
  // os_message is the operating system's own text for the failure.
  static TeskraError io(const std::string& os_message);
  // Io with the system's text for errnum, which os_errno() keeps.
  static TeskraError os(int errnum);
  static TeskraError invalid_file(const std::string& detail);
  static TeskraError unsupported_version(uint32_t version);
  static TeskraError unsupported_index_type(uint8_t byte);
  static TeskraError not_implemented(const std::string& index_type_name);
  static TeskraError not_built();
  static TeskraError empty_sample();
  static TeskraError fit_after_add();

  ErrorKind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }
  // The system's error number behind an Io error; 0 when there is none (an
  // unexpected end of file, a NUL in a path).
  int os_errno() const noexcept { return errno_; }

 private:
  TeskraError(ErrorKind kind, std::string message, int errnum = 0);

  ErrorKind kind_;
  std::string message_;
  int errno_;
};

}  // namespace teskra
