#include "core/error.h"

#include <cstring>
#include <utility>

namespace teskra {

namespace {
std::string num(uint64_t v) { return std::to_string(v); }
}  // namespace

TeskraError::TeskraError(ErrorKind kind, std::string message, int errnum)
    : kind_(kind), message_(std::move(message)), errno_(errnum) {}

TeskraError TeskraError::dimension_mismatch(uint64_t expected, uint64_t got) {
  return {ErrorKind::DimensionMismatch,
          "dimension mismatch: expected " + num(expected) + ", got " + num(got)};
}

TeskraError TeskraError::invalid_bit_width(uint8_t width) {
  return {ErrorKind::InvalidBitWidth, "invalid bit width: " + num(width) + " (must be 2 or 4)"};
}

TeskraError TeskraError::invalid_metric(uint8_t byte) {
  return {ErrorKind::InvalidMetric, "invalid metric byte: " + num(byte)};
}

TeskraError TeskraError::empty_index() { return {ErrorKind::EmptyIndex, "index is empty"}; }

TeskraError TeskraError::count_mismatch(uint64_t ids, uint64_t vectors) {
  return {ErrorKind::CountMismatch,
          "id/vector count mismatch: " + num(ids) + " ids vs " + num(vectors) + " vectors"};
}

TeskraError TeskraError::io(const std::string& os_message) {
  return {ErrorKind::Io, "io error: " + os_message};
}

TeskraError TeskraError::os(int errnum) {
  return {ErrorKind::Io, "io error: " + std::string(std::strerror(errnum)), errnum};
}

TeskraError TeskraError::invalid_file(const std::string& detail) {
  return {ErrorKind::InvalidFile, "invalid .tskr file: " + detail};
}

TeskraError TeskraError::unsupported_version(uint32_t version) {
  return {ErrorKind::UnsupportedVersion, "unsupported file version: " + num(version)};
}

TeskraError TeskraError::unsupported_index_type(uint8_t byte) {
  return {ErrorKind::UnsupportedIndexType, "unsupported index type byte: " + num(byte)};
}

TeskraError TeskraError::not_implemented(const std::string& index_type_name) {
  return {ErrorKind::NotImplemented, "index type '" + index_type_name +
                                         "' is not yet implemented \u2014 use "
                                         "IndexType::BruteForce"};
}

TeskraError TeskraError::not_built() {
  return {ErrorKind::NotBuilt, "call build() before search() for IvfFlat indexes"};
}

TeskraError TeskraError::empty_sample() {
  return {ErrorKind::EmptySample, "sample is empty \u2014 provide at least 1 vector for profiling"};
}

TeskraError TeskraError::fit_after_add() {
  return {ErrorKind::FitAfterAdd, "fit() must be called before add() \u2014 index already contains vectors"};
}

}  // namespace teskra
