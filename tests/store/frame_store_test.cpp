#include "store/frame_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

#include "core/file_replace.h"

#include "store/frame_file.h"
#include "store/frame_file_io.h"
#include "store/store_names.h"
#include "store/store_test_support.h"

namespace vel {
namespace {

using test::file_bytes;
using test::pattern_frame;
using test::put_file;
using KeySet = std::unordered_set<FrameKey, FrameKeyHasher>;

class FrameStoreTest : public ::testing::Test {
 protected:
  std::filesystem::path dir() const { return scratch_.path() / "stream"; }
  std::filesystem::path file(FrameKey k) const { return dir() / frame_file_name(k); }
  std::optional<uint64_t> save(FrameKey k, const StoredFrame& f) { return store_frame(dir(), k, f, last_, replace_); }

  testing::ScratchDir scratch_;
  LastWritten last_;
  KeySet replace_;
  LoadContext ctx_;
};

TEST_F(FrameStoreTest, RepeatedPayloadBecomesAnAliasOfTheFrameWithPixels) {
  const RgbaFrame f = pattern_frame(8, 8, 1, 0.0);
  ASSERT_TRUE(save({0, 24}, f));
  RgbaFrame again = f;  // the very same shared buffer, another time
  again.time = 1.0 / 24;
  ASSERT_EQ(save({1, 24}, again), kAliasFileBytes);
  ASSERT_EQ(save({2, 24}, again), kAliasFileBytes);
  EXPECT_EQ(parse_alias_file(file_bytes(file({2, 24})))->target, (FrameKey{0, 24})) << "aliases name the real file";

  // Equal bytes in another buffer are another frame file.
  const RgbaFrame copy{PixelPayload::copy_of(f.pixels.bytes()), 0.5, 8, 8};
  auto n = save({3, 24}, copy);
  ASSERT_TRUE(n);
  EXPECT_GT(*n, kAliasFileBytes);

  auto loaded = load_frame_file(dir(), {1, 24}, ctx_);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->time, 1.0 / 24);
  EXPECT_EQ(std::memcmp(loaded->pixels.data(), f.pixels.data(), f.pixels.size()), 0);
}

TEST_F(FrameStoreTest, PackedFramesAreWrittenUnchanged) {
  const RgbaFrame f = pattern_frame(8, 4, 3, 0.25);
  const PackedFrame p{8, 4, 0.25, PixelPayload::adopt(*pack_frame_payload(f))};
  ASSERT_EQ(save({6, 24}, p), 32 + p.packed.size() + kFrameCheckBytes);
  const auto bytes = file_bytes(file({6, 24}));
  EXPECT_EQ(std::memcmp(bytes.data() + 32, p.packed.data(), p.packed.size()), 0);
  ASSERT_EQ(save({7, 24}, p), kAliasFileBytes) << "same packed payload";
}

TEST_F(FrameStoreTest, AnExistingFileIsLeftAloneUnlessALoadRejectedIt) {
  ASSERT_TRUE(save({0, 24}, pattern_frame(4, 4, 1)));
  const auto first = file_bytes(file({0, 24}));
  EXPECT_EQ(save({0, 24}, pattern_frame(4, 4, 2)), 0u);
  EXPECT_EQ(file_bytes(file({0, 24})), first);

  // A crash left the file cut short: the load refuses it, and the next save
  // writes it again instead of skipping it for ever.
  std::vector<uint8_t> cut = first;
  cut.resize(cut.size() - 3);
  put_file(file({0, 24}), cut);
  EXPECT_FALSE(load_frame_file(dir(), {0, 24}, ctx_));
  EXPECT_TRUE(ctx_.rejected.contains(FrameKey{0, 24}));
  const RgbaFrame fresh = pattern_frame(4, 4, 3);
  auto n = store_frame(dir(), {0, 24}, fresh, last_, ctx_.rejected);
  ASSERT_TRUE(n);
  EXPECT_GT(*n, 0u);
  EXPECT_FALSE(ctx_.rejected.contains(FrameKey{0, 24}));
  auto back = load_frame_file(dir(), {0, 24}, ctx_);
  ASSERT_TRUE(back);
  EXPECT_EQ(std::memcmp(back->pixels.data(), fresh.pixels.data(), fresh.pixels.size()), 0);
}

TEST_F(FrameStoreTest, BrokenAliasesGiveNoFrame) {
  ASSERT_TRUE(save({0, 24}, pattern_frame(4, 4, 1)));
  struct Row {
    const char* what;
    FrameKey key;
    std::vector<uint8_t> bytes;
  };
  const Row rows[] = {
      {"alias to itself", {5, 24}, test::alias_file({5, 24}, 0.0, {5, 24})},
      {"alias naming another key", {6, 24}, test::alias_file({9, 24}, 0.0, {0, 24})},
      {"alias to a missing file", {7, 24}, test::alias_file({7, 24}, 0.0, {40, 24})},
      {"alias to an alias", {8, 24}, test::alias_file({8, 24}, 0.0, {1, 24})},
  };
  put_file(file({1, 24}), test::alias_file({1, 24}, 0.0, {0, 24}));
  ASSERT_TRUE(load_frame_file(dir(), {1, 24}, ctx_)) << "a good alias, for contrast";
  for (const Row& r : rows) {
    put_file(file(r.key), r.bytes);
    EXPECT_FALSE(load_frame_file(dir(), r.key, ctx_)) << r.what;
    EXPECT_TRUE(ctx_.rejected.contains(r.key)) << r.what;
  }
  // A frame file of another key under this key's name.
  std::filesystem::copy_file(file({0, 24}), file({3, 24}));
  EXPECT_FALSE(load_frame_file(dir(), {3, 24}, ctx_));
  EXPECT_FALSE(load_frame_file(dir(), {4, 24}, ctx_)) << "missing";
  EXPECT_FALSE(ctx_.rejected.contains(FrameKey{4, 24})) << "a missing file is no rejected file";
}

TEST_F(FrameStoreTest, LiveFramesAreSharedUntilTheFileChanges) {
  ASSERT_TRUE(save({0, 24}, pattern_frame(4, 4, 1)));
  auto a = load_frame_file(dir(), {0, 24}, ctx_);
  ASSERT_TRUE(a);
  std::filesystem::remove(file({0, 24}));
  ASSERT_TRUE(save({0, 24}, pattern_frame(4, 4, 1)));  // same size: only the identity's time differs
  std::filesystem::last_write_time(file({0, 24}), std::filesystem::last_write_time(file({0, 24})) + std::chrono::seconds(5));
  auto b = load_frame_file(dir(), {0, 24}, ctx_);
  ASSERT_TRUE(b);
  EXPECT_FALSE(same_payload(a->pixels, b->pixels)) << "a rewritten file is read again";
  auto c = load_frame_file(dir(), {0, 24}, ctx_);
  ASSERT_TRUE(c);
  EXPECT_TRUE(same_payload(b->pixels, c->pixels)) << "the second load reads no file";
  EXPECT_TRUE(ctx_.read_buffer.empty());
}

TEST_F(FrameStoreTest, TheLoadedTableKeeps256AndDropsTheLeastRecentlyUsed) {
  std::vector<LoadedFrame> held;
  for (int32_t v = 0; v <= 256; ++v) ASSERT_TRUE(save({v, 24}, pattern_frame(1, 1, static_cast<uint8_t>(v))));
  for (int32_t v = 0; v < 256; ++v) held.push_back(*load_frame_file(dir(), {v, 24}, ctx_));
  ASSERT_EQ(ctx_.loaded.size(), 256u);
  (void)load_frame_file(dir(), {0, 24}, ctx_);  // key 0 is used again: key 1 is now the oldest
  held.push_back(*load_frame_file(dir(), {256, 24}, ctx_));
  EXPECT_EQ(ctx_.loaded.size(), 256u);
  EXPECT_TRUE(ctx_.loaded.contains(FrameKey{0, 24}));
  EXPECT_FALSE(ctx_.loaded.contains(FrameKey{1, 24}));
}

TEST_F(FrameStoreTest, AStoreKilledInTheMiddleOfWritesServesNoCorruptFrame) {
  // What a kill can leave: complete files, a temporary file never renamed,
  // and (on a file system that reorders) a final file cut short.
  std::vector<RgbaFrame> frames;
  for (int32_t v = 0; v < 4; ++v) {
    frames.push_back(pattern_frame(6, 5, static_cast<uint8_t>(10 + v)));
    ASSERT_TRUE(save({v, 24}, frames.back()));
  }
  auto whole = file_bytes(file({3, 24}));
  const std::filesystem::path left = dir() / temporary_name_for(frame_file_name({4, 24}), 0);
  put_file(left, std::vector<uint8_t>(whole.begin(), whole.begin() + 40));
  whole.resize(whole.size() / 2);
  put_file(file({3, 24}), whole);

  LoadContext reopened;
  std::vector<FrameKey> keys = list_stored_keys(dir());
  std::sort(keys.begin(), keys.end(), [](FrameKey a, FrameKey b) { return a.value < b.value; });
  ASSERT_EQ(keys.size(), 4u) << "the temporary file is no frame";
  for (FrameKey k : keys) {
    auto f = load_frame_file(dir(), k, reopened);
    if (k.value == 3) {
      EXPECT_FALSE(f);
      continue;
    }
    ASSERT_TRUE(f) << k.value;
    ASSERT_EQ(f->pixels.size(), frames[k.value].pixels.size());
    EXPECT_EQ(std::memcmp(f->pixels.data(), frames[k.value].pixels.data(), f->pixels.size()), 0) << k.value;
  }
  // Writing the key whose temporary file was left behind goes through a
  // temporary of its own; the leftover is no frame.
  LastWritten last;
  ASSERT_TRUE(store_frame(dir(), {4, 24}, pattern_frame(6, 5, 1), last, reopened.rejected));
  EXPECT_TRUE(load_frame_file(dir(), {4, 24}, reopened));
  EXPECT_EQ(file_bytes(left).size(), 40u);
}

// What a byte changed on disk can do, and what the store makes of it: a
// frame's pixels, an alias's target, and a file of the earlier layout. Each
// is refused on load, and the next save of the key writes it again.
TEST_F(FrameStoreTest, AChangedByteOrAnOlderFileIsRefusedAndWrittenAgain) {
  const RgbaFrame a = pattern_frame(8, 6, 1, 0.0);
  const RgbaFrame b = pattern_frame(8, 6, 2, 2.0 / 24);
  ASSERT_TRUE(save({0, 24}, a));
  RgbaFrame a_again = a;  // the same buffer: an alias to frame 0
  a_again.time = 1.0 / 24;
  ASSERT_EQ(save({1, 24}, a_again), kAliasFileBytes);
  ASSERT_TRUE(save({2, 24}, b));
  ASSERT_TRUE(save({3, 24}, pattern_frame(8, 6, 3)));

  struct Row {
    const char* what;
    FrameKey key;
    std::function<void(std::vector<uint8_t>&)> change;
    const RgbaFrame& right;
  };
  const Row rows[] = {
      // The last bytes of an LZ4 block are literals: the block still decodes
      // to the exact length, one pixel channel off.
      {"last pixel byte", {0, 24}, [](auto& f) { f[f.size() - kFrameCheckBytes - 1] ^= 0x40; }, a},
      // The alias now names frame 2, whose file is whole and valid.
      {"alias target", {1, 24}, [](auto& f) { f[20] = 2; }, a_again},
      // Written before files carried a check: the record without it.
      {"older layout", {3, 24}, [](auto& f) { f.resize(f.size() - kFrameCheckBytes); }, a},
  };
  for (const Row& r : rows) {
    std::vector<uint8_t> bytes = file_bytes(file(r.key));
    r.change(bytes);
    put_file(file(r.key), bytes);
    LoadContext fresh;
    EXPECT_FALSE(load_frame_file(dir(), r.key, fresh)) << r.what;
    EXPECT_TRUE(fresh.rejected.contains(r.key)) << r.what;
    LastWritten last;
    const RgbaFrame made_again{PixelPayload::copy_of(r.right.pixels.bytes()), r.right.time, 8, 6};
    ASSERT_TRUE(store_frame(dir(), r.key, made_again, last, fresh.rejected)) << r.what;
    EXPECT_NE(file_bytes(file(r.key)), bytes) << r.what << ": rewritten";
    auto back = load_frame_file(dir(), r.key, fresh);
    ASSERT_TRUE(back) << r.what;
    EXPECT_EQ(std::memcmp(back->pixels.data(), r.right.pixels.data(), r.right.pixels.size()), 0) << r.what;
  }
}

// A folder under a frame's name is refused on load and replaced by the next
// save, instead of costing a render and a failed write in every run; one
// holding anything but the store's own files is no leftover of the store's
// and stays, its content untouched.
TEST_F(FrameStoreTest, AFolderAtAFramesNameIsReplacedByTheNextSave) {
  std::filesystem::create_directories(file({6, 24}) / "inside");
  put_file(file({6, 24}) / "mine.txt", {'m'});
  put_file(file({6, 24}) / frame_file_name({1, 24}), {'f'});
  EXPECT_FALSE(load_frame_file(dir(), {6, 24}, ctx_));
  ASSERT_TRUE(ctx_.rejected.contains(FrameKey{6, 24}));
  EXPECT_FALSE(store_frame(dir(), {6, 24}, pattern_frame(4, 4, 9), last_, ctx_.rejected));
  EXPECT_EQ(file_bytes(file({6, 24}) / "mine.txt"), (std::vector<uint8_t>{'m'}));
  EXPECT_TRUE(std::filesystem::is_directory(file({6, 24}) / "inside"));

  std::filesystem::create_directories(file({5, 24}));
  put_file(file({5, 24}) / ".last_used", {});
  EXPECT_FALSE(load_frame_file(dir(), {5, 24}, ctx_));
  ASSERT_TRUE(ctx_.rejected.contains(FrameKey{5, 24}));
  const RgbaFrame f = pattern_frame(4, 4, 9);
  ASSERT_TRUE(store_frame(dir(), {5, 24}, f, last_, ctx_.rejected));
  auto back = load_frame_file(dir(), {5, 24}, ctx_);
  ASSERT_TRUE(back);
  EXPECT_EQ(std::memcmp(back->pixels.data(), f.pixels.data(), f.pixels.size()), 0);
}

// Links planted where the store writes (the temporary name an earlier
// version used, the marker, the frame's own name) are never written through.
TEST_F(FrameStoreTest, PlantedLinksAreNeverWrittenThrough) {
  const std::filesystem::path outside = scratch_.path() / "outside";
  put_file(outside, {'k', 'e', 'e', 'p'});
  std::filesystem::create_directories(dir());
  for (const char* name : {".v100_s24.vnf.tmp", ".last_used", "v101_s24.vnf"}) {
    std::filesystem::create_symlink(outside, dir() / name);
  }
  replace_.insert(FrameKey{101, 24});  // as a load that refused the link would
  ASSERT_TRUE(save({100, 24}, pattern_frame(4, 4, 1)));
  ASSERT_TRUE(save({101, 24}, pattern_frame(4, 4, 2)));
  touch_last_used(dir());
  EXPECT_EQ(file_bytes(outside), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  for (const char* name : {".last_used", "v100_s24.vnf", "v101_s24.vnf"}) {
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(dir() / name))) << name;
  }
  EXPECT_TRUE(load_frame_file(dir(), {100, 24}, ctx_));
  EXPECT_TRUE(load_frame_file(dir(), {101, 24}, ctx_));
}

}  // namespace
}  // namespace vel
