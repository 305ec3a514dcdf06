#include "core/search/code_store.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace teskra {

CodeStore::CodeStore(uint64_t bytes_per_vec, CodeArray codes, std::vector<uint64_t> ids,
                     std::vector<float> norms, bool has_norms)
    : bytes_(static_cast<size_t>(bytes_per_vec)),
      codes_(std::move(codes)),
      ids_(ids.begin(), ids.end()),
      norms_(norms.begin(), norms.end()),
      has_norms_(has_norms) {
  if (codes_.size() != ids_.size() * bytes_ || norms_.size() != (has_norms_ ? ids_.size() : 0)) {
    throw std::invalid_argument("CodeStore: codes, ids and norms disagree in count");
  }
}

CodeStore CodeStore::borrowing(uint64_t bytes_per_vec, std::span<const uint8_t> codes,
                               std::span<const uint64_t> ids, std::span<const float> norms, bool has_norms) {
  CodeStore store(bytes_per_vec);
  if (codes.size() != ids.size() * store.bytes_ || norms.size() != (has_norms ? ids.size() : 0)) {
    throw std::invalid_argument("CodeStore: codes, ids and norms disagree in count");
  }
  store.borrowed_ = true;
  store.has_norms_ = has_norms;
  store.view_codes_ = codes;
  store.view_ids_ = ids;
  store.view_norms_ = norms;
  return store;
}

void CodeStore::require_owned() const {
  if (borrowed_) throw std::logic_error("CodeStore: a borrowed store cannot change");
}

void CodeStore::reserve_more(size_t extra) {
  require_owned();
  const size_t n = ids_.size();
  if (extra > std::numeric_limits<size_t>::max() / 8 - n) throw std::bad_alloc();
  if (bytes_ != 0 && n + extra > std::numeric_limits<size_t>::max() / bytes_) throw std::bad_alloc();
  codes_.make_room((n + extra) * bytes_);
  ids_.make_room(n + extra);
  norms_.make_room(n + extra);
}

void CodeStore::append(uint64_t id, const uint8_t* code, float norm, const QuantPipeline& pipeline) {
  complete_norms(pipeline);
  append(id, code, norm);
}

void CodeStore::append(uint64_t id, const uint8_t* code, float norm) {
  require_owned();
  if (!has_norms_) throw std::logic_error("CodeStore::append: complete the norms first");
  reserve_more(1);
  codes_.append(code, bytes_);
  ids_.push_back(id);
  norms_.push_back(norm);
}

void CodeStore::truncate(size_t n) {
  require_owned();
  if (n >= ids_.size()) return;
  codes_.resize(n * bytes_);
  ids_.resize(n);
  if (has_norms_) norms_.resize(n);
}

void CodeStore::complete_norms(const QuantPipeline& pipeline) {
  if (has_norms_) return;
  require_owned();
  PageArray<float> norms;
  norms.make_room(std::max(ids_.size(), norms_.capacity()));
  for (size_t i = 0; i < ids_.size(); ++i) norms.push_back(pipeline.compute_norm(code(i)));
  norms_ = std::move(norms);
  has_norms_ = true;
}

void CodeStore::release() {
  require_owned();
  codes_.release();
  ids_.release();
  norms_.release();
  has_norms_ = true;
}

}  // namespace teskra
