#include "store/stream_frames.h"

#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <vector>

#include "store/frame_file_io.h"
#include "store/frame_store.h"
#include "store/store_names.h"
#include "store/store_test_support.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

class StreamFramesOnDisk : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
  testing::ScratchDir scratch_{"vel-stream-frames"};
  fs::path root_ = scratch_.path() / "framestore-fast-v1";
  fs::path stream_ = root_ / "Main" / stream_dir_name(1);
};

// A store of small frames takes many times its bytes on disk: the cap
// counts what the disk gives each file.
TEST_F(StreamFramesOnDisk, EachFileCountsTheBlocksItTakes) {
  const uint64_t lengths[] = {1, 100, 4095, 4096, 4097, 70000};
  uint64_t total = 0;
  for (size_t i = 0; i < std::size(lengths); ++i) {
    test::put_file(stream_ / frame_file_name({static_cast<int32_t>(i), 24}), std::vector<uint8_t>(lengths[i], 7));
    total += test::disk_use(stream_, lengths[i]);
  }
  test::put_file(stream_ / ".composition", std::vector<uint8_t>(3, 'x'));
  const StreamFrames frames = measure_stream_frames(root_, stream_);
  for (size_t i = 0; i < std::size(lengths); ++i) {
    const FrameKey key{static_cast<int32_t>(i), 24};
    ASSERT_TRUE(frames.holds(key)) << lengths[i];
    EXPECT_EQ(frames.sizes.at(key), test::disk_use(stream_, lengths[i])) << lengths[i] << " bytes";
    EXPECT_EQ(frame_file_disk_bytes(root_, stream_, key), test::disk_use(stream_, lengths[i])) << lengths[i];
  }
  EXPECT_EQ(frames.frame_bytes, total);
  EXPECT_EQ(frames.other_bytes, test::disk_use(stream_, 3));
}

// An alias whose frame a crash removed, or that names another alias, is
// taken out of the folder when the stream is measured; a sound alias is
// linked to its frame; a file of an alias's length that is no alias of its
// own key stays as it is (the load refuses it, the next save replaces it).
TEST_F(StreamFramesOnDisk, AliasesWithoutTheirFrameGoAtOpening) {
  struct Row {
    const char* what;
    FrameKey key;
    std::vector<uint8_t> bytes;  // empty: a frame with pixels
    bool stays;
    std::optional<FrameKey> target;
  };
  const FrameKey f0{0, 24}, a1{1, 24}, a2{2, 24}, a4{4, 24}, a5{5, 24}, g7{7, 24};
  const Row rows[] = {
      {"a frame with pixels", f0, {}, true, std::nullopt},
      {"an alias of it", a1, test::alias_file(a1, 0.1, f0), true, f0},
      {"an alias of a removed frame", a2, test::alias_file(a2, 0.1, {3, 24}), false, std::nullopt},
      {"an alias of an alias", a4, test::alias_file(a4, 0.1, a1), false, std::nullopt},
      {"an alias record of another key", a5, test::alias_file({6, 24}, 0.1, f0), true, std::nullopt},
      {"40 bytes of something else", g7, std::vector<uint8_t>(kAliasFileBytes, 9), true, std::nullopt},
  };
  for (const Row& r : rows) {
    if (r.bytes.empty()) {
      ASSERT_TRUE(write_raw_frame_file(stream_, r.key, test::pattern_frame(4, 4)));
    } else {
      test::put_file(stream_ / frame_file_name(r.key), r.bytes);
    }
  }
  StreamFrames frames = measure_stream_frames(root_, stream_);
  const std::vector<FrameKey> removed = remove_broken_aliases(root_, stream_, frames);
  EXPECT_EQ(removed.size(), 2u);
  for (const Row& r : rows) {
    EXPECT_EQ(fs::exists(stream_ / frame_file_name(r.key)), r.stays) << r.what;
    EXPECT_EQ(frames.holds(r.key), r.stays) << r.what;
    auto t = frames.targets.find(r.key);
    EXPECT_EQ(t == frames.targets.end() ? std::nullopt : std::optional(t->second), r.target) << r.what;
  }
  LoadContext ctx;
  EXPECT_TRUE(load_frame_file(stream_, a1, ctx)) << "the sound alias still loads";
}

}  // namespace
}  // namespace vel
