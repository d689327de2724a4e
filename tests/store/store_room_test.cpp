#include "store/store_room.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/stream_frames.h"
#include "store/byte_sizes.h"

namespace vel {
namespace {

TEST(StoreRoom, TheReserveIsTheLargerOfOneGibibyteAndFivePercent) {
  struct Row {
    uint64_t volume;
    uint64_t reserve;
  };
  const Row rows[] = {{0, kGiB}, {256 * kMiB, kGiB}, {20 * kGiB, kGiB}, {40 * kGiB, 2 * kGiB}, {1024 * kGiB, 1024 * kGiB / 20}};
  for (const Row& r : rows) EXPECT_EQ(volume_reserve(r.volume), r.reserve) << r.volume;
}

TEST(StoreRoom, TheNearerOfTheCapAndTheVolumesReserveBounds) {
  struct Row {
    const char* what;
    uint64_t store_bytes;
    std::optional<VolumeSpace> volume;
    uint64_t bytes;
    RoomLimit limit;
  };
  const uint64_t cap = 16 * kGiB;
  const Row rows[] = {
      {"an unknown volume: the cap alone", 10 * kGiB, std::nullopt, 6 * kGiB, RoomLimit::Cap},
      {"the store over its cap has no room", 17 * kGiB, std::nullopt, 0, RoomLimit::Cap},
      {"a roomy volume leaves the cap to bound", 4 * kGiB, VolumeSpace{50 * kGiB, 100 * kGiB}, 12 * kGiB, RoomLimit::Cap},
      {"a volume nearly full: what lies above 5 %", 4 * kGiB, VolumeSpace{8 * kGiB, 100 * kGiB}, 3 * kGiB + 0, RoomLimit::Reserve},
      {"a small volume keeps 1 GiB", 0, VolumeSpace{kGiB + 300 * kMiB, 10 * kGiB}, 300 * kMiB, RoomLimit::Reserve},
      {"a volume smaller than the reserve is never written", 0, VolumeSpace{200 * kMiB, 256 * kMiB}, 0, RoomLimit::Reserve},
      {"free space under the reserve gives nothing", 0, VolumeSpace{kGiB, 500 * kGiB}, 0, RoomLimit::Reserve},
  };
  for (const Row& r : rows) {
    const StoreRoom room = store_room(r.store_bytes, cap, r.volume);
    EXPECT_EQ(room.bytes, r.bytes) << r.what;
    EXPECT_EQ(room.limit, r.limit) << r.what;
  }
}

// Ten frames of 10 bytes at 24 fps, the work area over all ten.
StreamFrames ten_frames() {
  StreamFrames f;
  for (int32_t v = 0; v < 10; ++v) f.put({v, 24}, 10);
  return f;
}
const MicrosRange kTenFrames{true, 0, key_micros({10, 24})};

std::vector<int32_t> values(const FreedFrames& freed) {
  std::vector<int32_t> out;
  for (const FreedFrame& f : freed.frames) out.push_back(f.key.value);
  return out;
}

TEST(StoreRoom, TheFramesFarthestFromThePlayheadMakeWayForNearerOnes) {
  using V = std::vector<int32_t>;
  struct Row {
    const char* what;
    StreamFrames frames;
    StoreFocus focus;
    uint64_t needed;
    std::optional<FrameKey> nearer;
    V taken;
  };
  StreamFrames with_outside = ten_frames();
  with_outside.put({30, 24}, 10);
  StreamFrames focus_only;
  focus_only.put({5, 24}, 10);
  // Frames 1 and 2 are aliases of 0; 9 of 8.
  StreamFrames with_aliases = ten_frames();
  for (int32_t v : {1, 2}) with_aliases.put_alias({v, 24}, 10, {0, 24});
  with_aliases.put_alias({9, 24}, 10, {8, 24});
  const Row rows[] = {
      {"just played goes first: the loop comes back to it last", ten_frames(), {FrameKey{5, 24}, kTenFrames}, 25,
       std::nullopt, V{4, 3, 2}},
      {"only frames farther than the one to write", ten_frames(), {FrameKey{5, 24}, kTenFrames}, 25, FrameKey{3, 24},
       V{4}},
      {"a frame outside the work area before any inside", with_outside, {FrameKey{5, 24}, kTenFrames}, 15,
       FrameKey{6, 24}, V{30, 4}},
      {"without a work area, the farthest in time", ten_frames(), {FrameKey{2, 24}, MicrosRange{}}, 20, std::nullopt,
       V{9, 8}},
      {"without a focus nothing goes", ten_frames(), {std::nullopt, kTenFrames}, 10, std::nullopt, V{}},
      {"the playhead's own frame stays", focus_only, {FrameKey{5, 24}, kTenFrames}, 10, std::nullopt, V{}},
      {"a frame takes its aliases along, before it", with_aliases, {FrameKey{8, 24}, MicrosRange{}}, 10,
       std::nullopt, V{1, 2, 0}},
      {"a frame stays while an alias is as near as the frame to write", with_aliases,
       {FrameKey{8, 24}, MicrosRange{}}, 10, FrameKey{2, 24}, V{1}},
      {"a frame stays while the playhead's frame is its alias", with_aliases, {FrameKey{1, 24}, kTenFrames}, 10,
       std::nullopt, V{9}},
  };
  for (const Row& r : rows) {
    StreamFrames frames = r.frames;
    const uint64_t before = frames.total();
    const FreedFrames freed = take_farthest_frames(frames, r.needed, r.focus, r.nearer);
    EXPECT_EQ(values(freed), r.taken) << r.what;
    EXPECT_EQ(freed.bytes, 10 * r.taken.size()) << r.what;
    EXPECT_EQ(frames.total(), before - freed.bytes) << r.what;
    for (int32_t v : r.taken) EXPECT_FALSE(frames.holds({v, 24})) << r.what;
    for (const auto& [alias, target] : frames.targets) EXPECT_TRUE(frames.holds(target)) << r.what;
    put_back(frames, freed);
    EXPECT_EQ(frames.total(), before) << r.what;
    EXPECT_EQ(frames.targets, r.frames.targets) << r.what;
    EXPECT_EQ(frames.by_time.size(), frames.sizes.size()) << r.what;
  }
}

// The line once said "n'a plus que 1024 Mio libres et en laisse 1024": both
// rounded alike, it did not tell why the store stopped. In Kio, the free
// space rounded down and what it must hold rounded up, the shortfall shows.
TEST(StoreRoom, TheStopLineShowsTheFreeSpaceFallingShortOfTheReserveAndTheFrame) {
  struct Row {
    uint64_t free;
    uint64_t reserve;
    uint64_t frame;
    const char* figures;
  };
  const Row rows[] = {
      {kGiB + 300 * 1024 + 512, kGiB, 400 * 1024, "1048876 Kio libres et en laisse 1048576 aux autres fichiers ; "
                                                  "l'image à écrire en demande 400"},
      {kGiB - 4096, kGiB, 1, "1048572 Kio libres et en laisse 1048576 aux autres fichiers ; l'image à écrire en demande 1"},
      {kGiB + 1023, kGiB, 1024 + 1, "1048576 Kio libres et en laisse 1048576 aux autres fichiers ; "
                                     "l'image à écrire en demande 2"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(volume_stop_line(r.free, r.reserve, r.frame),
              std::string("S9 disque : écritures arrêtées, le volume du cache n'a plus que ") + r.figures)
        << r.free;
  }
}

}  // namespace
}  // namespace vel
