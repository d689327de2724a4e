#include "store/stream_frames.h"

#include <gtest/gtest.h>

#include <vector>

#include "store/frame_file_io.h"
#include "store/store_names.h"
#include "store/store_test_support.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

// A store of small frames takes many times its bytes on disk: each file
// counts the blocks it takes. An alias whose frame a crash removed, or
// naming another alias, goes when the stream is measured; a sound one is
// linked to its frame; 40 bytes that are no alias stay (never the store's
// to delete as an alias).
TEST(StreamFramesOnDisk, FilesCountTheirBlocksAndAliasesWithoutTheirFrameGo) {
  testing::ScratchDir scratch("vel-stream-frames");
  const fs::path root = scratch.path() / "framestore-fast-v1", stream = root / "Main" / stream_dir_name(1);
  ASSERT_TRUE(write_raw_frame_file(stream, {0, 24}, test::pattern_frame(4, 4)));
  struct Row {
    int32_t value;
    std::vector<uint8_t> bytes;
    bool stays;
    bool alias_of_0;
  } const rows[] = {
      {1, std::vector<uint8_t>(1, 7), true, false},
      {2, std::vector<uint8_t>(4097, 7), true, false},
      {3, test::alias_file({3, 24}, 0.1, {0, 24}), true, true},
      {4, test::alias_file({4, 24}, 0.1, {9, 24}), false, false},
      {5, test::alias_file({5, 24}, 0.1, {3, 24}), false, false},
      {6, std::vector<uint8_t>(kAliasFileBytes, 9), true, false},
  };
  for (const Row& r : rows) test::put_file(stream / frame_file_name({r.value, 24}), r.bytes);
  StreamFrames frames = measure_stream_frames(root, stream);
  EXPECT_EQ(remove_broken_aliases(root, stream, frames).size(), 2u);
  for (const Row& r : rows) {
    const FrameKey key{r.value, 24};
    EXPECT_EQ(fs::exists(stream / frame_file_name(key)), r.stays) << r.value;
    ASSERT_EQ(frames.holds(key), r.stays) << r.value;
    if (r.stays) {
      EXPECT_EQ(frames.sizes.at(key), test::disk_use(stream, r.bytes.size())) << r.value;
    }
    EXPECT_EQ(frames.targets.contains(key), r.alias_of_0) << r.value;
  }
  EXPECT_EQ(frame_file_disk_bytes(root, stream, {1, 24}), test::disk_use(stream, 1));
}

}  // namespace
}  // namespace vel
