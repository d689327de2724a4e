// The store thread kept under a small cap while a composition plays: the
// frames farthest from the playhead make way, the stream written to is
// counted, and the log says once why a frame was not written.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "store/frame_file_io.h"
#include "store/store_names.h"
#include "store/store_test_support.h"
#include "store/store_worker.h"
#include "store/stream_dir.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using test::pattern_frame;

constexpr int32_t kLoop = 100;  // frames of the work area, at 24 fps

// The disk the folder's files take, as the cap counts it.
uint64_t folder_bytes(const fs::path& dir) {
  uint64_t total = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    struct stat st {};
    if (e.is_regular_file() && ::lstat(e.path().c_str(), &st) == 0) total += static_cast<uint64_t>(st.st_blocks) * 512;
  }
  return total;
}

std::set<int32_t> stored_values(const fs::path& dir) {
  std::set<int32_t> out;
  for (FrameKey k : list_stored_keys(dir)) out.insert(k.value);
  return out;
}

class StoreCapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    test::put_file(snapshot_, {'a', 'e', 'p'});
    stream_ = root_ / "Main" / stream_dir_name(*fingerprint_file(snapshot_, [] { return true; }));
    other_ = root_ / "Other" / stream_dir_name(7);
  }
  // Plays frames 0 … last: each is written as the playhead reaches it.
  void play(StoreHandle& h, int32_t last) {
    for (int32_t v = 0; v <= last; ++v) {
      h.set_focus(StoreFocus{FrameKey{v, 24}, kRange});
      // Its own buffer each: no frame is an alias of the one before.
      const RgbaFrame f = pattern_frame(64, 64, static_cast<uint8_t>(v), v / 24.0);
      ASSERT_TRUE(h.send(WriteFrameJob{{v, 24}, f}, f.pixels.size()));
      settle(h);
    }
  }
  // Waits until the jobs sent so far are handled: the store answers a load
  // of a frame it never holds once they are.
  void settle(StoreHandle& h) {
    ASSERT_TRUE(h.send(LoadJob{{{-1, 24}}}));
    for (;;) {
      std::optional<StoreReply> r = h.wait_reply();
      ASSERT_TRUE(r);
      if (std::holds_alternative<MissingReply>(r->body)) return;
    }
  }
  void open(StoreHandle& h) {
    h = spawn_store_worker(root_, cap_);
    ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 0, std::nullopt}));
    ASSERT_TRUE(h.wait_reply());
  }

  static constexpr MicrosRange kRange{true, 0, 100 * 1'000'000 / 24 + 1};
  testing::ScratchDir scratch_{"vel-store-cap"};
  fs::path root_ = scratch_.path() / "framestore-fast-v1";
  fs::path snapshot_ = scratch_.path() / "project.aep";
  fs::path stream_;
  fs::path other_;
  uint64_t cap_ = 0;
};

TEST_F(StoreCapTest, PlayingPastTheCapKeepsTheStoreUnderItWithTheFramesTheLoopComesBackToFirst) {
  // A frame of this pattern takes about a fiftieth of the cap.
  ASSERT_TRUE(write_raw_frame_file(scratch_.path() / "probe", {0, 24}, pattern_frame(64, 64, 0)));
  const uint64_t frame_bytes = folder_bytes(scratch_.path() / "probe");
  cap_ = 50 * frame_bytes;
  // An older composition's stream counts toward the cap.
  test::put_file(other_ / kStreamOwnerFile, {'O'});
  test::put_file(other_ / frame_file_name({0, 24}), std::vector<uint8_t>(10 * frame_bytes, 1));
  test::ScratchLog log(scratch_.path());

  StoreHandle h;
  open(h);
  play(h, kLoop - 1);
  const uint64_t stored = folder_bytes(stream_) + folder_bytes(other_);
  RecordProperty("store_bytes_after_playing_past_the_cap", std::to_string(stored));
  std::printf("store after playing %d frames of %llu bytes: %llu bytes, cap %llu\n", kLoop,
              static_cast<unsigned long long>(frame_bytes), static_cast<unsigned long long>(stored),
              static_cast<unsigned long long>(cap_));
  EXPECT_LE(stored, cap_) << "every frame played stayed on disk";
  EXPECT_FALSE(fs::exists(other_)) << "the older composition's stream made way first";

  // The playhead's frame, and from the loop's start on: what playing on
  // reaches first. The frames just played went.
  const std::set<int32_t> kept = stored_values(stream_);
  ASSERT_GE(kept.size(), 20u);
  std::set<int32_t> expected = {kLoop - 1};
  for (int32_t v = 0; static_cast<int32_t>(expected.size()) < static_cast<int32_t>(kept.size()); ++v) expected.insert(v);
  EXPECT_EQ(kept, expected);

  // Far behind the playhead, beyond every frame kept: not written, and the
  // log says why, once.
  for (int32_t v : {60, 61}) {
    const RgbaFrame f = pattern_frame(64, 64, 9);
    ASSERT_TRUE(h.send(WriteFrameJob{{v, 24}, f}, f.pixels.size()));
  }
  settle(h);
  EXPECT_FALSE(stored_values(stream_).contains(60));
  EXPECT_EQ(log.count("S9 disque : cache disque plein"), 1u);

  // What the loop comes back to loads from disk.
  ASSERT_TRUE(h.send(LoadJob{{{0, 24}}}));
  std::optional<StoreReply> r = h.wait_reply();
  ASSERT_TRUE(r && std::holds_alternative<FrameReply>(r->body));
}

// Over the cap on its own, from a run that had no bound: opening the
// stream brings it under, keeping the frames nearest the playhead, and
// takes the other streams first.
TEST_F(StoreCapTest, AStreamLeftOverTheCapIsBroughtUnderItWhenOpened) {
  ASSERT_TRUE(claim_stream_dir(stream_, "Main"));
  for (int32_t v = 0; v < 40; ++v) ASSERT_TRUE(write_raw_frame_file(stream_, {v, 24}, pattern_frame(64, 64, static_cast<uint8_t>(v))));
  test::put_file(other_ / kStreamOwnerFile, {'O'});
  test::put_file(other_ / frame_file_name({0, 24}), std::vector<uint8_t>(1000, 1));
  cap_ = folder_bytes(stream_) / 2;
  StoreHandle h = spawn_store_worker(root_, cap_);
  h.set_focus(StoreFocus{FrameKey{30, 24}, kRange});
  ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 0, std::nullopt}));
  ASSERT_TRUE(h.wait_reply());
  settle(h);
  EXPECT_FALSE(fs::exists(other_));
  EXPECT_LE(folder_bytes(stream_), cap_);
  const std::set<int32_t> kept = stored_values(stream_);
  ASSERT_FALSE(kept.empty());
  EXPECT_TRUE(kept.contains(30) && kept.contains(39) && kept.contains(0)) << "ahead of the playhead, then the loop's start";
  EXPECT_FALSE(kept.contains(29)) << "just behind the playhead: the farthest";
}

// Playing a loop longer than the store holds, the frame just played is the
// farthest of all: had a frame removed for room made way for itself when
// the loop brought it back, each round would write and remove every frame
// again. The store tells which frames it removed, and a removed frame
// displaces others only once the playhead stands still.
TEST_F(StoreCapTest, ALoopLongerThanTheStoreWritesAndRemovesItsFramesOnceNotEveryRound) {
  ASSERT_TRUE(write_raw_frame_file(scratch_.path() / "probe", {0, 24}, pattern_frame(64, 64, 0)));
  cap_ = 20 * folder_bytes(scratch_.path() / "probe");
  StoreHandle h;
  open(h);
  struct Round {
    size_t saved = 0;
    std::set<int32_t> trimmed;
  };
  // Writes `v` as the main thread hands it over at focus `at`, and takes
  // the replies until the store has handled it.
  auto write = [&](Round& round, int32_t v, int32_t at, bool playing) {
    h.set_focus(StoreFocus{FrameKey{at, 24}, kRange, playing});
    const RgbaFrame f = pattern_frame(64, 64, static_cast<uint8_t>(v), v / 24.0);
    ASSERT_TRUE(h.send(WriteFrameJob{{v, 24}, f}, f.pixels.size()));
    ASSERT_TRUE(h.send(LoadJob{{{-1, 24}}}));
    for (;;) {
      std::optional<StoreReply> r = h.wait_reply();
      ASSERT_TRUE(r);
      if (std::holds_alternative<MissingReply>(r->body)) return;
      if (std::holds_alternative<SavedReply>(r->body)) ++round.saved;
      if (auto* t = std::get_if<TrimmedReply>(&r->body)) {
        for (FrameKey k : t->keys) round.trimmed.insert(k.value);
      }
    }
  };
  Round first, second;
  for (int32_t v = 0; v < kLoop; ++v) write(first, v, v, true);
  EXPECT_EQ(first.saved, static_cast<size_t>(kLoop)) << "the first round writes each frame as it comes";
  ASSERT_GE(first.trimmed.size(), static_cast<size_t>(kLoop) - 20) << "and removes those the playhead passed";
  const std::set<int32_t> kept = stored_values(stream_);
  // The loop comes round: the frames removed come back to be written, as the
  // main thread hands them over again once it heard they went.
  for (int32_t v = 0; v < kLoop; ++v) {
    if (first.trimmed.contains(v)) write(second, v, v, true);
  }
  EXPECT_EQ(second.saved, 0u) << "a removed frame displaced another while playing";
  EXPECT_TRUE(second.trimmed.empty());
  EXPECT_EQ(stored_values(stream_), kept);

  // Paused on a removed frame: it comes back, the farthest make way.
  const int32_t paused = *first.trimmed.begin();
  Round still;
  write(still, paused, paused, false);
  EXPECT_EQ(still.saved, 1u);
  EXPECT_TRUE(stored_values(stream_).contains(paused));
  EXPECT_FALSE(still.trimmed.empty());
  EXPECT_FALSE(still.trimmed.contains(paused));
}

// A held picture is a frame with pixels and aliases naming it: removed for
// room, the frame takes them along in the same reply, so the main thread
// writes them all again instead of counting aliases that name nothing.
TEST_F(StoreCapTest, AFrameRemovedForRoomTakesItsAliasesAndSaysSo) {
  ASSERT_TRUE(write_raw_frame_file(scratch_.path() / "probe", {0, 24}, pattern_frame(64, 64, 0)));
  cap_ = 7 * folder_bytes(scratch_.path() / "probe");
  StoreHandle h;
  open(h);
  h.set_focus(StoreFocus{FrameKey{20, 24}, MicrosRange{}});  // paused, no work area: frame 10 is the farthest
  const RgbaFrame held = pattern_frame(64, 64, 10);
  std::vector<int32_t> first_trim;
  for (int32_t v : {10, 11, 12, 20, 21, 22, 23, 24, 25}) {
    const RgbaFrame f = v < 20 ? RgbaFrame{held.pixels, v / 24.0, 64, 64} : pattern_frame(64, 64, static_cast<uint8_t>(v));
    ASSERT_TRUE(h.send(WriteFrameJob{{v, 24}, f}, f.pixels.size()));
    ASSERT_TRUE(h.send(LoadJob{{{-1, 24}}}));
    for (auto r = h.wait_reply(); r && !std::holds_alternative<MissingReply>(r->body); r = h.wait_reply()) {
      auto* t = std::get_if<TrimmedReply>(&r->body);
      for (const FrameKey k : t && first_trim.empty() ? t->keys : std::vector<FrameKey>()) first_trim.push_back(k.value);
    }
  }
  EXPECT_EQ(first_trim, (std::vector<int32_t>{11, 12, 10}));
  EXPECT_FALSE(stored_values(stream_).contains(11));
}

}  // namespace
}  // namespace vel
