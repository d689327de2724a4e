#include "store/frame_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

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
  ASSERT_EQ(save({6, 24}, p), 32 + p.packed.size());
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
    std::array<uint8_t, kAliasFileBytes> bytes;
  };
  const Row rows[] = {
      {"alias to itself", {5, 24}, vnf4_bytes({5, 24}, 0.0, {5, 24})},
      {"alias naming another key", {6, 24}, vnf4_bytes({9, 24}, 0.0, {0, 24})},
      {"alias to a missing file", {7, 24}, vnf4_bytes({7, 24}, 0.0, {40, 24})},
      {"alias to an alias", {8, 24}, vnf4_bytes({8, 24}, 0.0, {1, 24})},
  };
  put_file(file({1, 24}), [] {
    auto a = vnf4_bytes({1, 24}, 0.0, {0, 24});
    return std::vector<uint8_t>(a.begin(), a.end());
  }());
  ASSERT_TRUE(load_frame_file(dir(), {1, 24}, ctx_)) << "a good alias, for contrast";
  for (const Row& r : rows) {
    put_file(file(r.key), std::vector<uint8_t>(r.bytes.begin(), r.bytes.end()));
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
  put_file(dir() / temp_file_name(frame_file_name({4, 24})), std::vector<uint8_t>(whole.begin(), whole.begin() + 40));
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
  // Writing the key whose temporary file was left behind replaces it.
  LastWritten last;
  ASSERT_TRUE(store_frame(dir(), {4, 24}, pattern_frame(6, 5, 1), last, reopened.rejected));
  EXPECT_FALSE(std::filesystem::exists(dir() / temp_file_name(frame_file_name({4, 24}))));
  EXPECT_TRUE(load_frame_file(dir(), {4, 24}, reopened));
}

}  // namespace
}  // namespace vel
