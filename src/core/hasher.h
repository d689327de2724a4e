// IntKeyHasher: the hash of integer keys in every hash map and set.
// A pure function of the key, identical in every run (no per-process seed),
// so bucket order never depends on the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace vel {

inline constexpr uint64_t kHashSeed32 = 0x55c5e55dfb685f30ULL;     // 32-bit keys and key pairs
inline constexpr uint64_t kHashSeed64 = 0xeeb76875cb4efe38ULL;     // 64-bit keys (payload accounting)
inline constexpr uint64_t kHashSeed64Alt = 0x094032d9a3f6c86aULL;  // 64-bit keys, second family
inline constexpr uint64_t kHashPrime = 0x100000001b3ULL;
inline constexpr uint64_t kHashPairGolden = 0x9e3779b97f4a7c15ULL;

constexpr uint64_t splitmix64_finalize(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

constexpr uint64_t hash_word(uint64_t word, uint64_t seed) {
  return splitmix64_finalize((word ^ seed) * kHashPrime);
}

constexpr uint64_t hash_pair(uint64_t first, uint64_t second, uint64_t seed = kHashSeed32) {
  uint64_t h = (first ^ seed) * kHashPrime;
  h = (h ^ (second ^ kHashPairGolden)) * kHashPrime;
  return splitmix64_finalize(h);
}

// Hasher object for std::unordered_map / unordered_set.
template <uint64_t Seed64 = kHashSeed64>
struct IntKeyHasher {
  size_t operator()(uint32_t k) const { return static_cast<size_t>(hash_word(k, kHashSeed32)); }
  size_t operator()(int32_t k) const { return (*this)(static_cast<uint32_t>(k)); }
  size_t operator()(uint64_t k) const { return static_cast<size_t>(hash_word(k, Seed64)); }
  size_t operator()(int64_t k) const { return (*this)(static_cast<uint64_t>(k)); }
  template <class A, class B>
  size_t operator()(const std::pair<A, B>& p) const {
    return static_cast<size_t>(hash_pair(static_cast<uint32_t>(p.first), static_cast<uint32_t>(p.second)));
  }
};

}  // namespace vel
