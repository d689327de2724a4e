// Loads that give only frames of the composition's size at the downsample
// the preview asks for: a frame a worker of another size left in the store
// in an earlier run (larger, smaller, another aspect) is never loaded, by
// the load jobs or by the preload of a stream, and the next save replaces it.
#include <gtest/gtest.h>

#include "store/frame_file.h"
#include "store/frame_store.h"
#include "store/store_names.h"
#include "store/store_test_support.h"
#include "store/store_worker.h"

namespace vel {
namespace {

using test::pattern_frame;
using KeySet = std::unordered_set<FrameKey, FrameKeyHasher>;

TEST(LoadSize, TheCompositionsSizeAtTheAskedDownsampleEitherRounding) {
  const LoadSize full{1920, 1080, 1}, quarter{1920, 1080, 4}, odd{1001, 563, 2}, sixteenth{1920, 1080, 16};
  const struct {
    const char* what;
    LoadSize size;
    uint32_t w, h;
    bool fits;
  } rows[] = {
      {"full size", full, 1920, 1080, true},
      {"another aspect", full, 1920, 1440, false},
      {"twice the size", full, 3840, 2160, false},
      {"half size", full, 960, 540, false},
      {"a quarter", quarter, 480, 270, true},
      {"another aspect at a quarter", quarter, 480, 360, false},
      {"twice the size at a quarter", quarter, 960, 540, false},
      {"half size at a quarter", quarter, 240, 135, false},
      {"an odd side rounded up", odd, 501, 282, true},
      {"an odd side rounded down", odd, 500, 281, true},
      {"an odd side one past", odd, 502, 282, false},
      {"a pool frame reduced again", sixteenth, 120, 67, true},
      {"a host frame at the same step", sixteenth, 120, 68, true},
      {"no downsample given", LoadSize{8, 8, 0}, 8, 8, true},
  };
  for (const auto& r : rows) EXPECT_EQ(load_size_fits(r.size, r.w, r.h), r.fits) << r.what;
}

class StoreLoadSize : public ::testing::Test {
 protected:
  std::filesystem::path dir() const { return scratch_.path() / "stream"; }
  std::optional<uint64_t> save(FrameKey k, const RgbaFrame& f) { return store_frame(dir(), k, f, last_, ctx_.rejected); }

  testing::ScratchDir scratch_;
  LastWritten last_;
  LoadContext ctx_;
};

TEST_F(StoreLoadSize, AStoredFrameOfAnotherSizeIsNotLoadedAndTheNextSaveReplacesIt) {
  const LoadSize asked{32, 18, 2};  // 16 × 9
  const struct {
    const char* what;
    uint32_t w, h;
  } foreign[] = {{"larger", 32, 18}, {"smaller", 8, 5}, {"other aspect", 16, 12}};
  int32_t value = 0;
  for (const auto& f : foreign) {
    const FrameKey key{value++, 24};
    ASSERT_TRUE(save(key, pattern_frame(f.w, f.h, 3)));
    EXPECT_TRUE(load_frame_file(dir(), key, ctx_)) << f.what << ": without a size, as before";
    EXPECT_FALSE(load_frame_file(dir(), key, ctx_, asked)) << f.what;
    // The preview renders the frame at the asked size; its save replaces
    // the refused file.
    ASSERT_GT(save(key, pattern_frame(16, 9, 4)).value_or(0), 0u) << f.what;
    const std::optional<LoadedFrame> again = load_frame_file(dir(), key, ctx_, asked);
    ASSERT_TRUE(again) << f.what;
    EXPECT_EQ(again->width, 16u);
    EXPECT_EQ(again->height, 9u);
  }
}

// An alias gives its target's pixels: a target of another size is refused
// through it too.
TEST_F(StoreLoadSize, AnAliasToAFrameOfAnotherSizeIsRefused) {
  const RgbaFrame big = pattern_frame(16, 12, 5);
  ASSERT_TRUE(save({0, 24}, big));
  RgbaFrame same = big;
  same.time = 1.0 / 24;
  ASSERT_EQ(save({1, 24}, same), kAliasFileBytes);
  EXPECT_FALSE(load_frame_file(dir(), {1, 24}, ctx_, LoadSize{16, 9, 1}));
  EXPECT_TRUE(load_frame_file(dir(), {1, 24}, ctx_, LoadSize{16, 12, 1}));
}

// The store thread: the preload of a stream and a load job hold their
// frames to the size they carry.
class StoreThreadLoadSize : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    snapshot_ = scratch_.path() / "project.aep";
    test::put_file(snapshot_, {'p', 'r', 'o', 'j'});
  }
  std::vector<FrameKey> replies_until_opened(StoreHandle& h) {
    std::vector<FrameKey> frames;
    for (;;) {
      std::optional<StoreReply> r = h.wait_reply();
      if (!r) return frames;
      if (auto* f = std::get_if<FrameReply>(&r->body)) frames.push_back(f->frame.key);
      if (std::holds_alternative<OpenedReply>(r->body)) return frames;
    }
  }
  testing::ScratchDir scratch_;
  std::filesystem::path snapshot_;
};

TEST_F(StoreThreadLoadSize, PreloadAndLoadJobsGiveOnlyFramesOfTheAskedSize) {
  const std::filesystem::path root = scratch_.path() / "store";
  {
    // An earlier run: frames 0 and 2 of another size, 1 of the composition's.
    StoreHandle h = spawn_store_worker(root);
    ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 0, std::nullopt}));
    replies_until_opened(h);
    ASSERT_TRUE(h.send(WriteFrameJob{{0, 24}, pattern_frame(16, 12, 1)}));
    ASSERT_TRUE(h.send(WriteFrameJob{{1, 24}, pattern_frame(16, 9, 2)}));
    ASSERT_TRUE(h.send(WriteFrameJob{{2, 24}, pattern_frame(32, 18, 3)}));
    for (int saved = 0; saved < 3;) {
      std::optional<StoreReply> r = h.wait_reply();
      ASSERT_TRUE(r);
      saved += std::holds_alternative<SavedReply>(r->body) ? 1 : 0;
    }
  }
  StoreHandle h = spawn_store_worker(root);
  ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 10, std::nullopt, LoadSize{16, 9, 1}}));
  EXPECT_EQ(replies_until_opened(h), (std::vector<FrameKey>{{1, 24}}));
  ASSERT_TRUE(h.send(LoadJob{{{0, 24}, {1, 24}, {2, 24}}, LoadSize{16, 9, 1}}));
  std::vector<FrameKey> loaded, missing;
  while (loaded.size() + missing.size() < 3) {
    std::optional<StoreReply> r = h.wait_reply();
    ASSERT_TRUE(r);
    if (auto* f = std::get_if<FrameReply>(&r->body)) loaded.push_back(f->frame.key);
    if (auto* m = std::get_if<MissingReply>(&r->body)) missing.insert(missing.end(), m->keys.begin(), m->keys.end());
  }
  EXPECT_EQ(loaded, (std::vector<FrameKey>{{1, 24}}));
  EXPECT_EQ(missing, (std::vector<FrameKey>{{0, 24}, {2, 24}}));
}

}  // namespace
}  // namespace vel
