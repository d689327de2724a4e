// The room on the pool folder's volume: readings asked off the main thread
// (here a probe the test answers), a volume too small for a worker said
// once and keeping every launch back until a reading finds room again.
#include "pool/runtime/pool_volume.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

#include "host/log_capture.h"
#include "pool/batch/batch_launch.h"
#include "pool/runtime/pool_directory.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "support/scratch_dir.h"
#include "pool/pool_test_units.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr Instant kVolumeT0 = 100 * kNsPerSec;

// A volume the test reads for the pool: each reading asked waits until the
// test answers it.
struct AnsweredVolume {
  std::vector<ChannelSender<std::optional<uint64_t>>> asked;
  VolumeProbe probe() {
    return [this](ChannelSender<std::optional<uint64_t>> tx) -> Status<> {
      asked.push_back(std::move(tx));
      return ok_unit();
    };
  }
  void answer(std::optional<uint64_t> free_bytes) {
    ASSERT_FALSE(asked.empty()) << "no reading was asked";
    ASSERT_TRUE(asked.back().try_send(free_bytes));
    asked.clear();
  }
};

TEST(PoolVolume, AWorkerNeedsRoomForTwoFramesOfItsBatch) {
  const std::optional<FrameDimensions> hd = FrameDimensions{1920, 1080};
  const uint64_t psd = worker_room_bytes(kOutputPsd, hd);
  // A 16 MiB volume has no room for a worker of 1080p frames (8 MB each),
  // 18 MiB has.
  EXPECT_GT(psd, 16 * kMiB);
  EXPECT_LT(psd, 18 * kMiB);
  EXPECT_EQ(worker_room_bytes(kOutputTga, hd), psd);
  EXPECT_LT(worker_room_bytes(kOutputPsd, FrameDimensions{480, 270}), 2 * kMiB) << "a quarter-size frame";
  EXPECT_EQ(worker_room_bytes(kOutputMemory, hd), 0u) << "shared memory takes nothing on the volume";
  EXPECT_EQ(worker_room_bytes(kOutputPsd, std::nullopt), 0u) << "nothing to judge without a size";
}

TEST(PoolVolume, TheRoomLeftAndTheRoomNeededNeverReadAlike) {
  const struct {
    uint64_t free_bytes, needed;
    const char* line;
  } rows[] = {
      {15 * kMiB + 900 * 1024, 16 * kMiB + 1, "n'a plus que 15 Mio libres, il en faut 17 Mio à un worker"},
      {16 * kMiB - 1, 16 * kMiB, "n'a plus que 15 Mio libres, il en faut 16 Mio à un worker"},
      {300 * 1024, 700 * 1024 + 1, "n'a plus que 300 Kio libres, il en faut 701 Kio à un worker"},
      {12, 700, "n'a plus que 12 o libres, il en faut 700 o à un worker"},
  };
  for (const auto& r : rows) {
    const std::string line = volume_full_text("/tmp/velocinta_pool", r.free_bytes, r.needed);
    EXPECT_NE(line.find(r.line), std::string::npos) << line;
    EXPECT_EQ(line.rfind("pool: volume plein, workers arrêtés : le volume de /tmp/velocinta_pool ", 0), 0u) << line;
  }
}

TEST(PoolVolume, TheFreeBytesOfTheVolumeOfAHeldFolderReadOnAThread) {
  testing::ScratchDir scratch("vel-pool-volume");
  ASSERT_TRUE(scratch.ok());
  const int fd = ::open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::optional<uint64_t> free_bytes = volume_free_bytes(fd);
  struct statvfs st {};
  ASSERT_EQ(::statvfs(scratch.path().c_str(), &st), 0);
  ASSERT_TRUE(free_bytes);
  // Other processes write to the same volume meanwhile: the figures agree
  // within what they may have written or removed between two looks.
  constexpr uint64_t kDrift = 256 * kMiB;
  const auto near = [](uint64_t a, uint64_t b) { return (a > b ? a - b : b - a) <= kDrift; };
  EXPECT_TRUE(near(*free_bytes, uint64_t{st.f_bavail} * st.f_frsize));
  EXPECT_FALSE(volume_free_bytes(-1));
  // Read off the main thread through a copy of the descriptor: the watch
  // takes the figure without waiting, once the thread has sent it.
  PoolVolumeWatch watch;
  watch.ask(kVolumeT0, volume_probe_on([fd] { return fd; }));
  std::optional<VolumeReading> reading;
  for (int i = 0; i < 6000 && !reading; ++i) {
    reading = watch.take();
    if (!reading) ::usleep(1000);
  }
  ::close(fd);
  ASSERT_TRUE(reading);
  ASSERT_TRUE(reading->free_bytes);
  EXPECT_TRUE(near(*reading->free_bytes, *free_bytes));
  // Nothing held: an unknown volume, at once.
  PoolVolumeWatch none;
  none.ask(kVolumeT0, volume_probe_on([] { return -1; }));
  reading = none.take();
  ASSERT_TRUE(reading);
  EXPECT_FALSE(reading->free_bytes);
}

// A runtime ready for its next batch of 1080p PSD frames, its pool folder
// in a scratch folder.
class VolumeGate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    rt_.pool_enabled = true;
    rt_.templates_ready = 1;
    rt_.snapshot_path = scratch_.path() / "snapshot.aep";
    rt_.comp_dimensions = std::make_pair(1920u, 1080u);
    rt_.file_downsample = 1;
  }
  bool ready(Instant now) const { return pool_next_batch_ready(rt_, GateWorld{now, 0, 0}); }
  // The pump's launch: it asks for a reading unless a recent one lets a
  // worker go, then launches; answers whether a worker was asked for.
  bool try_launch(Instant now) {
    if (!rt_.volume.may_send_worker(now)) {
      rt_.volume.ask(now, volume_.probe());
      return false;
    }
    LaunchWorld world = live_launch_world(rt_, 0);
    world.now = now;
    world.measured_admission = false;
    world.resolve_aerender = [this](AerenderLookup&) -> const std::optional<fs::path>& { return aerender_; };
    world.pool_directory = [this]() -> std::optional<fs::path> { return scratch_.path() / "velocinta_pool"; };
    world.effective_worker_count = [] { return uint64_t{1}; };
    bool spawned = false;
    world.spawn_worker = [&spawned](const LaunchRequest&) {
      spawned = true;
      return std::optional<PoolJob>();  // nothing started: no batch stays
    };
    world.run_off_main = {};  // the start runs in place, so its outcome is known on return
    const std::vector<FrameRange> ranges = {{0, 9}};
    launch_pool_batch(rt_, "Main", ranges, 24, 1, world);
    rt_.launch_cooldown_until.reset();
    return spawned;
  }
  size_t lines_said() const { return log_.lines_with("pool: volume plein, workers arrêtés").size(); }

  fake::LogCapture log_;
  testing::ScratchDir scratch_{"vel-pool-volume"};
  PoolRuntime rt_ = new_pool_runtime(kOutputPsd);
  AnsweredVolume volume_;
  std::optional<fs::path> aerender_ = fs::path("/bin/true");
};

// No worker before a look at the volume; a volume of 15 MiB turns every
// launch down, said once with the folder and the room left, while the
// readings go on; a reading with room lets the next launch go, and a
// volume that runs short again is said again.
TEST_F(VolumeGate, AShortVolumeRefusesTheLaunchSaidOnceUntilSpaceReturns) {
  EXPECT_FALSE(try_launch(kVolumeT0)) << "a worker sent before the volume was read";
  ASSERT_EQ(volume_.asked.size(), 1u);
  volume_.answer(15 * kMiB);
  tend_pool_volume(rt_, kVolumeT0 + ms(16), volume_.probe());
  ASSERT_TRUE(rt_.volume.short_of_room());
  const std::vector<std::string> said = log_.lines_with("pool: volume plein");
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("INFO: pool: volume plein, workers arrêtés : le volume de " +
                         pool_directory_path().value_or("").string() + " "),
            std::string::npos)
      << said[0];
  EXPECT_NE(said[0].find(" n'a plus que 15 Mio libres, il en faut 17 Mio à un worker"), std::string::npos) << said[0];
  EXPECT_FALSE(ready(kVolumeT0 + ms(16)));
  EXPECT_FALSE(try_launch(kVolumeT0 + ms(16)));
  EXPECT_FALSE(fs::exists(scratch_.path() / "velocinta_pool")) << "the refused launch made its folder";
  // Still short at the next readings: nothing more is said.
  for (Instant t = kVolumeT0 + ms(600); t < kVolumeT0 + ms(3000); t += ms(600)) {
    tend_pool_volume(rt_, t, volume_.probe());
    ASSERT_EQ(volume_.asked.size(), 1u) << "the short volume is read again";
    volume_.answer(15 * kMiB);
    tend_pool_volume(rt_, t + ms(16), volume_.probe());
    EXPECT_FALSE(try_launch(t + ms(16)));
  }
  EXPECT_EQ(lines_said(), 1u);
  // Room again: the next launch goes.
  tend_pool_volume(rt_, kVolumeT0 + ms(3600), volume_.probe());
  volume_.answer(64 * kMiB);
  tend_pool_volume(rt_, kVolumeT0 + ms(3616), volume_.probe());
  EXPECT_FALSE(rt_.volume.short_of_room());
  EXPECT_TRUE(ready(kVolumeT0 + ms(3616)));
  EXPECT_TRUE(try_launch(kVolumeT0 + ms(3616)));
  // Short again: said again, once.
  rt_.volume.ask(kVolumeT0 + ms(4200), volume_.probe());
  volume_.answer(1 * kMiB);
  tend_pool_volume(rt_, kVolumeT0 + ms(4216), volume_.probe());
  EXPECT_FALSE(try_launch(kVolumeT0 + ms(4216)));
  EXPECT_EQ(lines_said(), 2u);
}

// A worker that failed may have failed for the volume: no worker goes on a
// reading asked before the failure, however recent; one asked after it
// decides.
TEST_F(VolumeGate, AfterAFailureOnlyALaterReadingLetsAWorkerGo) {
  rt_.volume.ask(kVolumeT0, volume_.probe());
  volume_.answer(64 * kMiB);
  tend_pool_volume(rt_, kVolumeT0 + ms(10), volume_.probe());
  ASSERT_TRUE(rt_.volume.may_send_worker(kVolumeT0 + ms(20)));
  rt_.volume.want_reading_after(kVolumeT0 + ms(20));
  EXPECT_FALSE(rt_.volume.may_send_worker(kVolumeT0 + ms(30)));
  rt_.volume.ask(kVolumeT0 + ms(30), volume_.probe());
  ASSERT_EQ(volume_.asked.size(), 1u) << "asked at once, within the spacing";
  volume_.answer(64 * kMiB);
  tend_pool_volume(rt_, kVolumeT0 + ms(40), volume_.probe());
  EXPECT_TRUE(rt_.volume.may_send_worker(kVolumeT0 + ms(40)));
}

// The main thread never waits on a volume slow to answer: a reading still
// out after a second lets the pool go on with what it knew; a volume that
// cannot be read, or nothing to read it with, holds nothing back.
TEST_F(VolumeGate, ASlowOrUnreadableVolumeHoldsNoWorkerBack) {
  rt_.volume.ask(kVolumeT0, volume_.probe());
  EXPECT_FALSE(rt_.volume.may_send_worker(kVolumeT0 + kVolumeReadingLateNs));
  EXPECT_TRUE(rt_.volume.may_send_worker(kVolumeT0 + kVolumeReadingLateNs + 1));
  volume_.answer(std::nullopt);
  tend_pool_volume(rt_, kVolumeT0 + ms(1100), volume_.probe());
  EXPECT_FALSE(rt_.volume.short_of_room());
  rt_.volume.ask(kVolumeT0 + ms(1200), volume_.probe());
  volume_.answer(std::nullopt);
  tend_pool_volume(rt_, kVolumeT0 + ms(1210), volume_.probe());
  EXPECT_TRUE(rt_.volume.may_send_worker(kVolumeT0 + ms(1210))) << "an unreadable volume";
  PoolVolumeWatch none;
  none.ask(kVolumeT0, VolumeProbe{});
  EXPECT_TRUE(none.may_send_worker(kVolumeT0));
  EXPECT_EQ(lines_said(), 0u);
}

}  // namespace
}  // namespace vel
