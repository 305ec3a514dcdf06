// Rhdh: the seeded randomized Hadamard rotation every vector and query passes
// through. Fully determined by (dim, seed); the signs are regenerated from the
// seed whenever an engine is built or loaded, so the generator below is fixed
// to the bit: changing it would make every stored index unreadable in effect.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace teskra {

namespace rhdh_detail {
// PCG32 (XSH-RR) key expansion: eight 32-bit words from the seed, the state
// advanced before each output.
std::array<uint32_t, 8> expand_key(uint64_t seed);
// One 64-byte ChaCha20 block (20 rounds; 64-bit block counter in words 12-13,
// zero nonce in words 14-15), output words added to the input state.
std::array<uint32_t, 16> chacha20_block(const std::array<uint32_t, 8>& key, uint64_t block);
}  // namespace rhdh_detail

class Rhdh {
 public:
  // Throws std::bad_alloc when the padded dimension cannot be allocated.
  Rhdh(uint64_t dim, uint64_t seed);

  uint64_t dim() const { return dim_; }
  uint64_t padded_dim() const { return padded_dim_; }
  // One entry per padded coordinate, each +1 or -1: sign i is -1 when the
  // lowest bit of keystream word i is set.
  const std::vector<int8_t>& signs() const { return signs_; }

  // (1/sqrt(P)) * H * D * x, with x zero-padded to P = padded_dim. input holds
  // at most P values. All arithmetic in single precision: sign multiply,
  // in-place unnormalized Sylvester-order FWHT, then one multiply by
  // 1.0f / sqrtf((float)P).
  std::vector<float> apply(std::span<const float> input) const;
  // The same into out[0..P). input may start at out itself (an in-place
  // rotation); values of input beyond P are ignored.
  void apply_into(std::span<const float> input, float* out) const;

 private:
  uint64_t dim_;
  uint64_t padded_dim_;
  std::vector<int8_t> signs_;
};

}  // namespace teskra
