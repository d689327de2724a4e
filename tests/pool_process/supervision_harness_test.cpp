// The batch supervision in-process, as the pool pump sets it up: a copy of
// the sample project as the snapshot, templates ready, the pool on, the real
// launch and the stand-in aerender, in this test's own pid namespace. The
// supervision's clock runs ahead of the process clock by a skew the test
// sets, so that the watchdogs (at least 240 s) fire without waiting.
// GCC 12 sees the optional frame of a non-blocking receive as maybe unset.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <stdlib.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

#include "cache/frame_cache.h"
#include "cache/frame_cache_ops.h"
#include "core/machine.h"
#include "pool/batch/batch_launch.h"
#include "pool/batch/batch_supervision.h"
#include "pool/batch/job_watch.h"
#include "memout/manifest.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "pool_process/pool_process_fixture.h"
#include "vel_build_paths.h"

namespace vel::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kSecond = 1'000'000'000;

class SupervisionHarness : public PoolProcessTest {
 protected:
  void SetUp() override {
    PoolProcessTest::SetUp();
    if (skipped_) return;
    ::unsetenv("SIM_AERENDER_SILENT");
    rt_.pool_enabled = true;
    rt_.templates_ready = 1;
    rt_.file_downsample = 4;
    rt_.comp_identity = 7;
    rt_.snapshot_path = scratch_.path() / "snapshot.aep";
    fs::copy_file(kSample, *rt_.snapshot_path, fs::copy_options::overwrite_existing);
  }
  void TearDown() override {
    rt_.plan.reset();
    // Memory batches start their readers in the process's registry: each has
    // ended with its batch and is joined here.
    BackgroundWorkerRegistry::process().drain();
    for (const char* name : {"SIM_AERENDER_HANG_AFTER", "SIM_AERENDER_SKIP_FRAME", "SIM_AERENDER_FRAME_MS",
                             "SIM_AERENDER_CRASH_AFTER", "SIM_AERENDER_CORRUPT", "SIM_AERENDER_SHIFT",
                             "SIM_AERENDER_ALSO_AS", "SIM_AERENDER_EXIT_DELAY_MS", "SIM_AERENDER_WRITE_ERROR"})
      ::unsetenv(name);
    PoolProcessTest::TearDown();
  }

  // The supervision's clock: the process clock plus the skew, or a fixed instant.
  Instant now() const { return frozen_ ? *frozen_ : mono_ns() + skew_; }

  LaunchWorld launch_world() {
    LaunchWorld w = live_launch_world(rt_, 0);
    // The starts run in place: each call sees its outcome at once.
    w.run_off_main = {};
    w.now = now();
    w.measured_admission = measured_;
    w.pool_ramp = ramp_;
    w.resolve_aerender = [this](AerenderLookup&) -> const std::optional<fs::path>& { return aerender_; };
    w.pool_directory = [this]() -> std::optional<fs::path> { return pool_dir_; };
    w.effective_worker_count = [this] { return effective_; };
    if (start_decoders_) w.start_decoders = start_decoders_;
    return w;
  }
  void launch(std::vector<FrameRange> ranges) {
    launch_pool_batch(rt_, "Main", ranges, 24, 1, launch_world());
    ASSERT_TRUE(rt_.plan);
  }
  SupervisionWorld world() {
    SupervisionWorld w = live_supervision_world(rt_, 0, 0);
    w.run_off_main = {};
    w.clock = [this] { return now(); };
    w.measured_admission = measured_;
    w.adaptive_scheduler = false;
    w.effective_workers = [this] { return effective_; };
    if (free_bytes_) {
      w.volume_probe = [this](ChannelSender<std::optional<uint64_t>> tx) -> Status<> {
        (void)tx.try_send(*free_bytes_);
        return ok_unit();
      };
    }
    if (spawn_fails_) {
      w.spawn_worker = [this](const LaunchRequest&) -> std::optional<PoolJob> {
        ++spawn_attempts_;
        return std::nullopt;
      };
    }
    return w;
  }
  // One idle tick: the frames returned are counted per frame index.
  void tick(const FrameCache* cache = nullptr) {
    std::vector<IngestedFrame> got =
        cache ? supervise_batches(rt_, 4, world(), *cache, WidthRule{1, 1}) : supervise_batches(rt_, 4, world());
    if (rt_.plan) jobs_seen_ = std::max(jobs_seen_, rt_.plan->jobs.size());
    for (const IngestedFrame& f : got) {
      ++returned_[f.key.value];
      EXPECT_EQ(f.comp_identity, 7u);
    }
  }
  // Ticks until `pred` holds (bounded); the workers run on their own.
  template <class Pred>
  bool tick_until(Pred pred, const FrameCache* cache = nullptr) {
    return eventually([&] {
      tick(cache);
      return pred();
    });
  }
  bool each_returned_once(int64_t first, int64_t last) {
    for (int64_t f = first; f <= last; ++f)
      if (returned_[f] != 1) return false;
    return true;
  }

  PoolRuntime rt_ = new_pool_runtime(kOutputPsd);
  std::optional<fs::path> aerender_ = fs::path(kAerender);
  uint64_t skew_ = 0;
  std::optional<Instant> frozen_;
  bool ramp_ = false;
  bool spawn_fails_ = false;
  int spawn_attempts_ = 0;
  size_t jobs_seen_ = 0;
  bool measured_ = true;
  uint64_t effective_ = 2;  // workers at once with measured admission off
  std::optional<uint64_t> free_bytes_;  // what the pool folder's volume has left, when the test says
  std::function<size_t(size_t, const DecodeWorkerContext&)> start_decoders_;
  std::map<int64_t, int> returned_;
};

// Killed in the call where the whole seconds reach the limit, not a second
// later; its engines go with it.
TEST_F(SupervisionHarness, ABatchSilentFromTheStartIsKilledAtItsLimit) {
  ::setenv("SIM_AERENDER_SILENT", "1", 1);
  ::setenv("SIM_AERENDER_ENGINES", "1", 1);
  launch({{0, 9}});
  const pid_t worker = rt_.plan->jobs[0].child.pid();
  ASSERT_TRUE(eventually([&] { return engines_of(worker).size() == 1; }));
  ASSERT_EQ(rt_.plan->silent_limit_secs, 240u);
  const Instant started = rt_.plan->started_at;
  frozen_ = started + 240 * kSecond - 1;  // 239.999… s: whole seconds 239
  tick();
  ASSERT_TRUE(rt_.plan) << "one nanosecond early";
  frozen_ = started + 240 * kSecond;
  tick();
  EXPECT_FALSE(rt_.plan);
  const std::string log = read_text(log_path_);
  EXPECT_NE(log.find("pool: lot muet TUÉ après 240 s (0/10 frame) — clients et moteurs balayés"), std::string::npos);
  EXPECT_TRUE(eventually([] { return other_processes().empty(); }));
}

// One worker at a time, the first staying a minute after its last frame
// with its engine, as an engine slow to shut down does. Once its range is
// in, its slot goes to the next range at once; it is ended with its engine
// when its grace is over, not before, quietly (it failed nothing), and the
// batch closes without waiting out its minute.
TEST_F(SupervisionHarness, AWorkerLingeringAfterItsRangeGivesItsSlotUpAndIsEndedAfterItsGrace) {
  ::setenv("SIM_AERENDER_EXIT_DELAY_MS", "w0:60000", 1);
  measured_ = false;
  effective_ = 1;
  launch({{0, 4}, {5, 9}});
  ASSERT_EQ(rt_.plan->jobs.size(), 1u) << "one slot";
  const pid_t lingering = rt_.plan->jobs[0].child.pid();
  ASSERT_TRUE(eventually([&] { return engines_of(lingering).size() == 1; }));
  ASSERT_TRUE(tick_until([&] { return rt_.plan->jobs.size() == 2; })) << "the next range waited for the linger";
  const PoolJob& first = rt_.plan->jobs[0];
  ASSERT_TRUE(first.settled_at_ns);
  EXPECT_TRUE(each_returned_once(0, 4));
  EXPECT_TRUE(alive(lingering) && !first.finished) << "its slot went before its end";
  EXPECT_FALSE(first.holds_slot());
  const Instant settled = *first.settled_at_ns;
  frozen_ = settled + kSettledWorkerGraceNs - 1;
  tick();
  ASSERT_TRUE(rt_.plan);
  EXPECT_FALSE(rt_.plan->jobs[0].finished) << "ended before its grace was over";
  EXPECT_TRUE(alive(lingering));
  frozen_ = settled + kSettledWorkerGraceNs;
  tick();
  ASSERT_TRUE(rt_.plan);
  EXPECT_TRUE(rt_.plan->jobs[0].finished);
  EXPECT_TRUE(rt_.plan->jobs[0].clean_exit);
  // Signalled, not waited for: the main thread never waits on a child.
  EXPECT_TRUE(eventually([&] { return !alive(lingering); }));
  frozen_.reset();
  const Instant resume = settled + kSettledWorkerGraceNs, real = mono_ns();
  skew_ = resume > real ? resume - real : 0;  // the clock goes on from there
  ASSERT_TRUE(tick_until([&] { return !rt_.plan; }));
  EXPECT_TRUE(each_returned_once(0, 9));
  EXPECT_EQ(jobs_seen_, 2u) << "nothing to replay";
  EXPECT_TRUE(eventually([&] { return engines_of(lingering).empty(); })) << "its engine went with it";
  EXPECT_TRUE(error_lines().empty()) << error_lines().front();
}

// A worker of 1080p frames that cannot write its third one (the volume
// filled up) and exits 1, on a volume with 1 MiB left: the failure is
// recognised by the look at the volume that follows it, said once, and its
// missing frames are not sent to a replay that would fail the same way but
// left to the host; the batch closes without turning the pool off. Once a
// reading finds room again, the next batch goes.
TEST_F(SupervisionHarness, AWorkerFailingOnAFullVolumeIsNotReplayed) {
  ::setenv("SIM_AERENDER_WRITE_ERROR", "2", 1);
  rt_.file_downsample = 1;
  rt_.comp_dimensions = std::make_pair(1920u, 1080u);  // the sample's
  free_bytes_ = uint64_t{64} << 30;
  launch({{0, 9}});
  const pid_t worker = rt_.plan->jobs[0].child.pid();
  ASSERT_TRUE(eventually([&] { return !alive(worker); }));
  free_bytes_ = uint64_t{1} << 20;
  ASSERT_TRUE(tick_until([&] { return !rt_.plan; }));
  EXPECT_TRUE(each_returned_once(0, 1));
  EXPECT_EQ(jobs_seen_, 1u) << "a replay was sent into the full volume";
  EXPECT_FALSE(rt_.disabled_for_session);
  EXPECT_EQ(rt_.selected_output, kOutputPsd);
  const std::string log = read_text(log_path_);
  size_t said = 0;
  for (size_t at = log.find("pool: volume plein"); at != std::string::npos; at = log.find("pool: volume plein", at + 1))
    ++said;
  EXPECT_EQ(said, 1u) << log;
  EXPECT_NE(log.find("n'a plus que 1 Mio libres, il en faut 17 Mio à un worker (deux images)"), std::string::npos)
      << log;
  EXPECT_TRUE(rt_.volume.short_of_room());
  // The volume has room again: the next batch goes once a reading says so.
  ::unsetenv("SIM_AERENDER_WRITE_ERROR");
  free_bytes_ = uint64_t{64} << 30;
  skew_ += 4 * kSecond;  // past the batch's cooldown
  tend_pool_volume(rt_, now(), world().volume_probe);
  ASSERT_FALSE(rt_.volume.short_of_room());
  returned_.clear();
  launch({{2, 9}});
  ASSERT_TRUE(tick_until([&] { return !rt_.plan; }));
  EXPECT_TRUE(each_returned_once(2, 9));
}

// A worker that hangs after five frames is killed once it showed nothing
// for the silent limit; the exit check books it, its five missing frames
// are replayed once on a new worker, and the batch closes.
TEST_F(SupervisionHarness, AWorkerHungAfterFiveFramesIsKilledAndItsFramesReplayed) {
  ::setenv("SIM_AERENDER_HANG_AFTER", "w0:5", 1);
  launch({{0, 9}});
  ASSERT_TRUE(tick_until([&] { return rt_.plan->ledger.delivered == 5; }));
  const pid_t hung = rt_.plan->jobs[0].child.pid();
  tick();
  ASSERT_TRUE(rt_.plan && !rt_.plan->jobs[0].finished) << "alive, silent, not yet past the limit";
  skew_ += 241 * kSecond;
  ASSERT_TRUE(tick_until([&] { return !rt_.plan; }));
  EXPECT_TRUE(each_returned_once(0, 9));
  const std::string log = read_text(log_path_);
  EXPECT_NE(log.find("pool: worker 0 sorti en erreur (signal: 9 (SIGKILL))"), std::string::npos);
  EXPECT_EQ(log.find("pool: worker 1 sorti en erreur"), std::string::npos);
  EXPECT_EQ(log.find("lot muet"), std::string::npos) << "the batch had delivered";
  // Its engine goes with the sweep that follows the kill.
  EXPECT_TRUE(eventually([&] { return engines_of(hung).empty(); }));
  EXPECT_FALSE(rt_.disabled_for_session);
  EXPECT_EQ(rt_.selected_output, kOutputPsd);
}

// The pump's form: a queued range whose frames the in-process renders
// already put in the cache is cut away whole and never launched; the batch
// is complete without it, so TGA stays the transport.
TEST_F(SupervisionHarness, ARangeServedInProcessWhileQueuedIsNotLaunched) {
  measured_ = false;
  ramp_ = true;
  rt_.selected_output = kOutputTga;
  launch({{0, 4}, {5, 9}});
  ASSERT_EQ(rt_.plan->jobs.size(), 1u) << "the ramp starts one worker and keeps a slot";
  ASSERT_EQ(rt_.plan->ramp_slots_left, 1u);
  skew_ = kSecond;  // the ramp's slot has come
  FrameCache cache;
  for (int32_t f = 5; f <= 9; ++f) {
    RgbaFrame frame{PixelPayload::adopt(std::vector<uint8_t>(16 * 9 * 4, 1)), f / 24.0, 16, 9};
    insert_frame(cache, FrameKey{f, 24}, std::move(frame));
  }
  ASSERT_TRUE(tick_until([&] { return !rt_.plan; }, &cache));
  EXPECT_TRUE(each_returned_once(0, 4));
  EXPECT_EQ(returned_.count(5), 0u);
  EXPECT_EQ(rt_.selected_output, kOutputTga);
  EXPECT_EQ(jobs_seen_, 1u);
  const std::string log = read_text(log_path_);
  EXPECT_EQ(log.find("repli PSD"), std::string::npos);
}

// A decoder of a batch that an edit ended, held back until the next batch
// runs, finds its channel gone: its frame reaches neither the next batch
// nor the caller.
TEST_F(SupervisionHarness, AHeldDecoderOfAnEndedBatchDeliversNothingToTheNext) {
  // Shared with the detached decoder, which may still be leaving its wait
  // when the test ends.
  struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    bool holding = false, released = false;
  };
  auto gate = std::make_shared<Gate>();
  start_decoders_ = [gate](size_t, const DecodeWorkerContext& context) {
    DecodeWorkerContext held = context;
    held.ingest = [gate](const DecodeJob& job) {
      {
        std::unique_lock lk(gate->mu);
        gate->holding = true;
        gate->cv.notify_all();
        gate->cv.wait(lk, [&] { return gate->released; });
      }
      return ingest_frame_file(job.path, job.time_s, job.decimation_factor, job.requested_size);
    };
    return start_decode_workers(1, held);
  };
  launch({{0, 3}});
  {
    // The first file reaches the decoder, which then waits for the test.
    bool reached = false;
    for (int i = 0; i < 6000 && !reached; ++i) {
      tick();
      std::unique_lock lk(gate->mu);
      reached = gate->cv.wait_for(lk, std::chrono::milliseconds(5), [&] { return gate->holding; });
    }
    ASSERT_TRUE(reached);
  }
  note_pool_comp_edit(rt_, now());  // the edit ends the batch
  ASSERT_FALSE(rt_.plan);
  start_decoders_ = nullptr;
  rt_.launch_debounce_from.reset();
  rt_.ranges_held_until.reset();
  rt_.snapshot_path = scratch_.path() / "snapshot.aep";
  returned_.clear();
  launch({{20, 23}});
  {
    std::lock_guard lk(gate->mu);
    gate->released = true;
  }
  gate->cv.notify_all();
  ASSERT_TRUE(tick_until([&] { return !rt_.plan; }));
  EXPECT_TRUE(each_returned_once(20, 23));
  for (const auto& [value, count] : returned_) EXPECT_GE(value, 20) << "a frame of the ended batch came through";
}

// A worker that can no longer be started (admission off, the ramp used up)
// neither freezes the tick nor keeps the batch open: its range is retried
// at most once a second, three times while others run, then dropped and
// left to a later batch.
TEST_F(SupervisionHarness, ASpawnThatKeepsFailingDropsItsRangeAndTheBatchCloses) {
  measured_ = false;
  ::setenv("SIM_AERENDER_FRAME_MS", "40", 1);
  launch({{0, 4}, {5, 9}, {10, 14}});
  ASSERT_EQ(rt_.plan->jobs.size(), 2u);
  spawn_fails_ = true;
  ASSERT_TRUE(tick_until([&] {
    skew_ += kSecond / 16;  // a sixteenth of a second a tick on the supervision's clock
    return !rt_.plan;
  }));
  EXPECT_GE(spawn_attempts_, 1);
  EXPECT_LE(spawn_attempts_, 4) << "three retries at most";
  EXPECT_TRUE(each_returned_once(0, 9));
  EXPECT_EQ(returned_.count(10), 0u);
  EXPECT_FALSE(rt_.disabled_for_session);
  EXPECT_EQ(rt_.selected_output, kOutputPsd);
}

// Every worker crashes after five frames: w0 on its range, and w1 on the
// replay of w0's missing frames. The replay's own missing frames are left
// to a later batch; the batch closes and PSD stays.
TEST_F(SupervisionHarness, AReplayThatCrashesTooLeavesItsFramesToALaterBatch) {
  ::setenv("SIM_AERENDER_CRASH_AFTER", "5", 1);
  launch({{0, 14}});
  ASSERT_TRUE(tick_until([&] { return !rt_.plan; }));
  EXPECT_TRUE(each_returned_once(0, 9));
  for (int64_t f = 10; f <= 14; ++f) EXPECT_EQ(returned_.count(f), 0u) << f;
  EXPECT_EQ(jobs_seen_, 2u) << "one replay, never a replay of the replay";
  const std::string log = read_text(log_path_);
  EXPECT_NE(log.find("pool: worker 0 sorti en erreur ("), std::string::npos) << log;
  EXPECT_NE(log.find("pool: worker 1 sorti en erreur ("), std::string::npos) << log;
  EXPECT_EQ(rt_.selected_output, kOutputPsd);
  EXPECT_FALSE(rt_.disabled_for_session);
}

// A TGA worker that skips frame 9 and exits 0: the frame is replayed on a
// new worker, the batch is whole, and TGA stays the transport.
TEST_F(SupervisionHarness, AFrameSkippedByACleanExitIsReplayed) {
  ::setenv("SIM_AERENDER_SKIP_FRAME", "w0:9", 1);
  rt_.selected_output = kOutputTga;
  launch({{0, 11}});
  ASSERT_TRUE(tick_until([&] { return !rt_.plan; }));
  EXPECT_TRUE(each_returned_once(0, 11));
  EXPECT_EQ(jobs_seen_, 2u);
  EXPECT_EQ(rt_.selected_output, kOutputTga);
  EXPECT_TRUE(error_lines().empty());
}

// A corrupt file for frame 7 is read again at each scan, at most 120
// times: the 120th failure gives it up with one line, and the file is not
// read again. The worker stays alive after its frames (it hangs before the
// last one), so the batch cannot close before the 120th read whatever the
// machine's pace; once it is killed as hung, its last frame is replayed and
// the batch closes without frame 7. A TGA batch that fell short sends later
// batches to PSD. A later batch, whose file is sound, renders frame 7:
// giving up belongs to the batch, not to the frame.
TEST_F(SupervisionHarness, ACorruptFrameIsGivenUpAfter120Reads) {
  struct Case {
    uint8_t output;
    uint8_t output_after;
  } cases[] = {{kOutputPsd, kOutputPsd}, {kOutputTga, kOutputPsd}};
  const std::string given_up = "pool: frame 7 illisible après 120 essais";
  const auto times_logged = [&] {
    const std::string log = read_text(log_path_);
    size_t n = 0;
    for (size_t at = log.find(given_up); at != std::string::npos; at = log.find(given_up, at + 1)) ++n;
    return n;
  };
  for (const Case& c : cases) {
    ::setenv("SIM_AERENDER_CORRUPT", "7", 1);
    ::setenv("SIM_AERENDER_HANG_AFTER", "w0:39", 1);
    returned_.clear();
    ::truncate(log_path_.c_str(), 0);
    rt_.selected_output = c.output;
    rt_.launch_cooldown_until.reset();
    launch({{0, 39}});
    const auto tries = [&] { return rt_.plan ? rt_.plan->ledger.tries.tries_of(7).value_or(0) : 0u; };
    // Every other frame the worker writes is in before its silence is
    // timed: a frame delivered after the clock jumps would start it afresh.
    ASSERT_TRUE(tick_until([&] { return tries() == 120u && rt_.plan->ledger.delivered == 38; })) << tries();
    EXPECT_EQ(times_logged(), 1u);
    // The scans go on while the worker lives; none hands the file again.
    const uint64_t requests = rt_.plan->discovery->counter;
    ASSERT_TRUE(tick_until([&] { return rt_.plan->discovery->counter >= requests + 3; }));
    EXPECT_EQ(tries(), 120u);
    EXPECT_TRUE(rt_.plan->ledger.handed.empty());
    EXPECT_EQ(times_logged(), 1u) << "logged once";

    skew_ += 241 * kSecond;  // the hung worker's silence reaches the limit
    ASSERT_TRUE(tick_until([&] { return !rt_.plan; }));
    EXPECT_EQ(returned_.count(7), 0u);
    EXPECT_TRUE(each_returned_once(0, 6));
    EXPECT_TRUE(each_returned_once(8, 39));
    EXPECT_EQ(times_logged(), 1u);
    EXPECT_EQ(rt_.selected_output, c.output_after);

    ::unsetenv("SIM_AERENDER_CORRUPT");
    ::unsetenv("SIM_AERENDER_HANG_AFTER");
    rt_.launch_cooldown_until.reset();
    launch({{7, 7}});
    ASSERT_TRUE(tick_until([&] { return !rt_.plan; }));
    EXPECT_EQ(returned_[7], 1) << "the later batch renders frame 7";
  }
}

// Workers that write frames they were not given: each frame also under its
// number + 1000, or every frame one number on. Only the frames of each
// worker's own range come through: no copy, no frame beyond the batch, and
// no frame of a neighbour's range under another picture. A shifted worker
// never writes its first frame, and neither does its replay: that frame is
// left to a later batch.
TEST_F(SupervisionHarness, FramesAWorkerWasNotGivenAreNotTaken) {
  const struct {
    const char* name;
    const char* variable;
    std::vector<int64_t> expected;
  } cases[] = {
      {"also as 1000 + k", "SIM_AERENDER_ALSO_AS", [] {
         std::vector<int64_t> all;
         for (int64_t f = 0; f <= 23; ++f) all.push_back(f);
         return all;
       }()},
      {"shifted by one", "SIM_AERENDER_SHIFT", [] {
         std::vector<int64_t> all;
         for (int64_t f = 1; f <= 23; ++f)
           if (f != 12) all.push_back(f);
         return all;
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::setenv(c.variable, std::string(c.variable).ends_with("SHIFT") ? "1" : "1000", 1);
    returned_.clear();
    rt_.selected_output = kOutputTga;
    rt_.launch_cooldown_until.reset();
    launch({{0, 11}, {12, 23}});
    ASSERT_TRUE(tick_until([&] { return !rt_.plan; }));
    std::vector<int64_t> got;
    for (const auto& [frame, times] : returned_) {
      EXPECT_EQ(times, 1) << frame;
      got.push_back(frame);
    }
    EXPECT_EQ(got, c.expected);
    ::unsetenv(c.variable);
  }
}

// With the frame files kept after decoding (nothing in the plug-in sets it
// yet, so the stand-in host cannot ask for it), each file comes back at
// every scan: a frame already delivered is not decoded again, and the batch
// still closes.
TEST_F(SupervisionHarness, KeptFrameFilesAreDeliveredOnce) {
  rt_.decode_flag = true;
  launch({{0, 9}});
  const fs::path job_dir = rt_.plan->job_dir->path();
  ASSERT_TRUE(tick_until([&] { return !rt_.plan; }));
  EXPECT_TRUE(each_returned_once(0, 9));
  EXPECT_EQ(returned_.size(), 10u);
  EXPECT_TRUE(fs::exists(job_dir / "w0" / "f_00009.psd")) << "kept";
  EXPECT_TRUE(error_lines().empty());
}

// A PSD worker that exits 1 at once, and so does its replay: a batch with
// no frame at all turns the pool off for the session, naming w0's log.
TEST_F(SupervisionHarness, APsdBatchWithoutAnyFrameDisablesThePool) {
  ::setenv("SIM_AERENDER_EXIT_AFTER", "0", 1);
  ::setenv("SIM_AERENDER_EXIT_STATUS", "1", 1);
  rt_.file_downsample = 1;
  launch({{0, 9}});
  const std::string w0_log = rt_.plan->jobs[0].log_path.string();
  ASSERT_TRUE(tick_until([&] { return !rt_.plan; }));
  EXPECT_TRUE(returned_.empty());
  EXPECT_TRUE(rt_.disabled_for_session);
  const std::string log = read_text(log_path_);
  EXPECT_NE(log.find("pool: DÉSACTIVÉ pour la session — lot sans aucune frame produite — vérifier " + w0_log),
            std::string::npos)
      << log;
}

// A memory worker that never publishes a frame: the silent watchdog kills
// the batch at its limit and gives the transport up; the reader ends on
// the batch's stop, and with it the output: its name, its manifest and the
// process's one memory-output token.
TEST_F(SupervisionHarness, ASilentMemoryWorkerStallsTheOutputAndPsdIsSelected) {
  ::setenv("SIM_AERENDER_SILENT", "1", 1);
  rt_.selected_output = kOutputMemory;
  rt_.comp_dimensions = std::make_pair(64u, 36u);
  launch({{0, 9}});
  ASSERT_EQ(rt_.plan->jobs.size(), 1u);
  const std::shared_ptr<ReaderFlags> reader = rt_.plan->jobs[0].reader_flags;
  ASSERT_TRUE(reader);
  const fs::path manifest = rt_.plan->jobs[0].log_path.parent_path() / "w0" / (std::string("output.vnm") + kManifestSuffix);
  auto parsed = parse_manifest(read_text(manifest));
  ASSERT_TRUE(parsed) << manifest;
  const fs::path segment = fs::path("/dev/shm") / parsed.value().mapping_name.substr(1);
  ASSERT_TRUE(fs::exists(segment)) << "a silent producer never attaches, so never unlinks";
  frozen_ = rt_.plan->started_at + 240 * kSecond;
  tick();
  EXPECT_FALSE(rt_.plan);
  EXPECT_EQ(rt_.selected_output, kOutputPsd);
  const std::string log = read_text(log_path_);
  EXPECT_NE(log.find("pool: lot muet TUÉ après 240 s (0/10 frame) — clients et moteurs balayés"), std::string::npos);
  EXPECT_NE(log.find("pool: memory output stalled — PSD selected for a future batch"), std::string::npos) << log;
  ASSERT_TRUE(eventually([&] { return (*reader)[2].load(std::memory_order_acquire); })) << "the reader ended";
  EXPECT_FALSE((*reader)[1].load()) << "not complete";
  EXPECT_FALSE(memory_output_token_held());
  EXPECT_FALSE(fs::exists(segment));
  EXPECT_FALSE(fs::exists(manifest));
  EXPECT_TRUE(eventually([] { return other_processes().empty(); }));
}

// A memory worker that publishes its whole range and exits while its frames
// still wait (four in the channel, one held by the reader, one in the slot):
// its exit only tells the reader to end once the slot is empty, so every
// frame comes through, the reader completes and memory stays the transport.
TEST_F(SupervisionHarness, AMemoryWorkerThatExitsWithFramesStillWaitingCompletes) {
  const std::string home = (scratch_.path() / "home").string();
  const char* old_home = ::getenv("HOME");
  const std::string kept_home = old_home ? old_home : "";
  ::setenv("HOME", home.c_str(), 1);  // the module inside the worker logs there
  ::setenv("SIMHOST_PLUGIN", VEL_PLUGIN_PATH, 1);
  rt_.selected_output = kOutputMemory;
  rt_.comp_dimensions = std::make_pair(1920u, 1080u);  // the sample's
  launch({{0, 5}});
  const pid_t worker = rt_.plan->jobs[0].child.pid();
  const fs::path w0_log = rt_.plan->jobs[0].log_path;
  const bool exited = eventually([&] { return !alive(worker); });  // no tick meanwhile: nothing drains
  ASSERT_TRUE(exited);
  const bool closed = tick_until([&] { return !rt_.plan; });
  if (old_home) ::setenv("HOME", kept_home.c_str(), 1);
  ::unsetenv("SIMHOST_PLUGIN");
  ASSERT_TRUE(closed);
  EXPECT_TRUE(each_returned_once(0, 5)) << read_text(w0_log);
  EXPECT_EQ(jobs_seen_, 1u) << "nothing to replay";
  EXPECT_EQ(rt_.selected_output, kOutputMemory);
  EXPECT_TRUE(error_lines().empty()) << error_lines().front();
  EXPECT_FALSE(memory_output_token_held());
}

// A renderer that is not executable: each launch tries it once, whatever
// the number of ranges, and the third launch in a row without a worker
// turns the pool off.
TEST_F(SupervisionHarness, ARendererThatCannotStartIsTriedOncePerLaunch) {
  const fs::path not_executable = scratch_.path() / "aerender";
  std::ofstream(not_executable) << "#!/bin/sh\n";
  fs::permissions(not_executable, fs::perms::owner_read | fs::perms::owner_write);
  aerender_ = not_executable;
  const std::vector<FrameRange> ranges = {{0, 7}, {8, 15}, {16, 23}, {24, 31}, {32, 39}, {40, 47}};
  int spawns = 0;
  for (int launches = 1; launches <= 3; ++launches) {
    rt_.launch_cooldown_until.reset();
    LaunchWorld world = launch_world();
    world.spawn_worker = [&spawns](const LaunchRequest& r) {
      ++spawns;
      return spawn_pool_worker(r);
    };
    launch_pool_batch(rt_, "Main", ranges, 24, 1, world);
    EXPECT_FALSE(rt_.plan);
    EXPECT_EQ(spawns, launches);
    EXPECT_EQ(rt_.failed_launches, static_cast<uint32_t>(launches));
    EXPECT_EQ(rt_.disabled_for_session, launches == 3);
  }
  EXPECT_TRUE(other_processes().empty());
}

// The first worker of a memory batch cannot start (the renderer is not
// executable): nothing runs, the output it prepared is released with its
// token, and the next batch goes through PSD files.
TEST_F(SupervisionHarness, AMemoryBatchWhoseFirstWorkerFailsLeavesTheNextToPsd) {
  const fs::path not_executable = scratch_.path() / "aerender";
  std::ofstream(not_executable) << "#!/bin/sh\n";
  fs::permissions(not_executable, fs::perms::owner_read | fs::perms::owner_write);
  aerender_ = not_executable;
  rt_.selected_output = kOutputMemory;
  rt_.comp_dimensions = std::make_pair(1920u, 1080u);  // the sample's: the PSD batch's frames are of its size
  const std::vector<FrameRange> ranges = {{0, 9}};
  launch_pool_batch(rt_, "Main", ranges, 24, 1, launch_world());
  EXPECT_FALSE(rt_.plan);
  EXPECT_EQ(rt_.selected_output, kOutputPsd);
  EXPECT_FALSE(memory_output_token_held());
  const std::vector<std::string> errors = error_lines();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].rfind("pool: spawn aerender: ", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1], "pool: memory output unavailable — PSD selected for a future batch");
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(pool_dir_, ec))
    EXPECT_EQ(e.path().filename().string().find(kManifestSuffix), std::string::npos) << e.path();
  aerender_ = fs::path(kAerender);
  launch({{0, 9}});
  EXPECT_EQ(rt_.plan->context.output_format, kOutputPsd);
  EXPECT_FALSE(rt_.plan->jobs[0].reader_flags);
  ASSERT_TRUE(tick_until([&] { return !rt_.plan; }));
  EXPECT_TRUE(each_returned_once(0, 9));
  EXPECT_EQ(rt_.selected_output, kOutputPsd);
}

}  // namespace
}  // namespace vel::testing
