#include "core/search/code_store.h"

#include <algorithm>
#include <stdexcept>

namespace teskra {

namespace {

// Room for extra more elements. Growing geometrically matters: reserving
// exactly size + extra on every add would reallocate and copy the whole
// store each time, which makes adding n vectors cost O(n^2).
template <class V>
void grow(V& v, size_t extra) {
  if (extra > v.max_size() - v.size()) throw std::bad_alloc();
  const size_t need = v.size() + extra;
  if (need > v.capacity()) v.reserve(std::max(need, std::min(v.max_size(), 2 * v.capacity())));
}

}  // namespace

CodeStore::CodeStore(uint64_t bytes_per_vec, CodeArray codes, std::vector<uint64_t> ids,
                     std::vector<float> norms, bool has_norms)
    : bytes_(static_cast<size_t>(bytes_per_vec)),
      codes_(std::move(codes)),
      ids_(std::move(ids)),
      norms_(std::move(norms)),
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
  if (bytes_ != 0 && extra > codes_.max_size() / bytes_) throw std::bad_alloc();
  grow(codes_, extra * bytes_);
  grow(ids_, extra);
  grow(norms_, extra);
}

void CodeStore::append(uint64_t id, const uint8_t* code, float norm, const QuantPipeline& pipeline) {
  complete_norms(pipeline);
  append(id, code, norm);
}

void CodeStore::append(uint64_t id, const uint8_t* code, float norm) {
  require_owned();
  if (!has_norms_) throw std::logic_error("CodeStore::append: complete the norms first");
  reserve_more(1);
  codes_.insert(codes_.end(), code, code + bytes_);
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
  std::vector<float> norms;
  norms.reserve(std::max(ids_.size(), norms_.capacity()));
  for (size_t i = 0; i < ids_.size(); ++i) norms.push_back(pipeline.compute_norm(code(i)));
  norms_ = std::move(norms);
  has_norms_ = true;
}

void CodeStore::release() {
  require_owned();
  CodeArray().swap(codes_);
  std::vector<uint64_t>().swap(ids_);
  std::vector<float>().swap(norms_);
  has_norms_ = true;
}

}  // namespace teskra
