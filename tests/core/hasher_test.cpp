#include "core/hasher.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace vel {
namespace {

// The finaliser is splitmix64's: its first output from state 0 is a
// published constant.
TEST(IntKeyHasher, FinaliserMatchesSplitmix64) {
  EXPECT_EQ(splitmix64_finalize(0x9e3779b97f4a7c15ULL), 0xe220a8397b1dcdafULL);
  EXPECT_EQ(splitmix64_finalize(0), 0u);
}

// Pinned values: maps are iterated in several places, and a change of hash
// would silently change their order between versions.
TEST(IntKeyHasher, PinnedVectors) {
  struct Case {
    uint64_t got, want;
  } cases[] = {
      {hash_word(0, kHashSeed32), 0x0c5f7a6a4d14f822ULL},
      {hash_word(24, kHashSeed32), 0x74da74a418a85abaULL},
      {hash_pair(1, 24), 0x4c0e80077b09482fULL},
      {hash_pair(24, 1), 0xa07b3d3e9e2bc888ULL},
      {hash_word(0xdeadbeefcafebabeULL, kHashSeed64), 0x7b0bfcfdec6f985fULL},
      {hash_word(0xdeadbeefcafebabeULL, kHashSeed64Alt), 0x791b990b02726bffULL},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(IntKeyHasher, PairOrderAndDistinctKeysMatter) {
  IntKeyHasher<> h;
  EXPECT_NE(h(std::pair<int32_t, uint32_t>{1, 24}), h(std::pair<int32_t, uint32_t>{24, 1}));
  EXPECT_NE(h(std::pair<int32_t, uint32_t>{1, 24}), h(std::pair<int32_t, uint32_t>{2, 48}));
  std::unordered_set<size_t> seen;
  for (int32_t v = -500; v < 500; ++v) seen.insert(h(std::pair<int32_t, uint32_t>{v, 24}));
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace vel
