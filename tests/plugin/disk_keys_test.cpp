// The record of the frames on disk: the store's listing as it came, the
// frames saved and removed since beside it, each answer the same as a plain
// set of the keys would give.
#include <gtest/gtest.h>

#include <unordered_set>
#include <vector>

#include "plugin/disk_keys.h"
#include "store/store_worker.h"

namespace vel {
namespace {

FrameKey k(int32_t v, uint32_t s = 30) { return FrameKey{v, s}; }

TEST(DiskKeys, AnswersAsASetOfTheListingWithTheChangesSince) {
  enum Op { Listing, Insert, Erase };
  struct Step {
    Op op;
    std::vector<FrameKey> keys;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"a listing, one scale", {{Listing, {k(-3), k(0), k(1), k(7), k(900000)}}}},
      {"a listing of keys of two scales", {{Listing, {k(1, 24), k(1, 30), k(2, 24), k(48, 48)}}}},
      {"saved before the listing, listed too", {{Insert, {k(5), k(6)}}, {Listing, {k(4), k(5)}}, {Erase, {k(5)}}}},
      {"listed, removed, written again", {{Listing, {k(1), k(2), k(3)}}, {Erase, {k(2)}}, {Insert, {k(2), k(9)}}}},
      {"removed twice, not listed", {{Listing, {k(1)}}, {Erase, {k(8), k(8), k(1), k(1)}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DiskKeys keys;
    std::unordered_set<FrameKey, FrameKeyHasher> plain;
    std::vector<FrameKey> probes = {k(0), k(-1), k(1, 31)};
    for (const Step& s : c.steps) {
      probes.insert(probes.end(), s.keys.begin(), s.keys.end());
      if (s.op == Listing) {
        std::vector<FrameKey> sorted = s.keys;
        sort_listing(sorted);
        ASSERT_EQ(sorted, s.keys) << "the cases list their keys in the listing's order";
        // Frames saved before the listing came stay on disk.
        plain.insert(s.keys.begin(), s.keys.end());
        keys.take_listing(s.keys);
      }
      for (const FrameKey key : s.keys) {
        if (s.op == Insert) {
          keys.insert(key);
          plain.insert(key);
        } else if (s.op == Erase) {
          keys.erase(key);
          plain.erase(key);
        }
      }
      EXPECT_EQ(keys.size(), plain.size());
    }
    for (const FrameKey key : probes) {
      EXPECT_EQ(keys.contains(key), plain.contains(key)) << key.value << "/" << key.scale;
    }
    keys.clear();
    EXPECT_TRUE(keys.empty());
  }
}

}  // namespace
}  // namespace vel
