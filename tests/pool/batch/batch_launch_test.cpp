#include "pool/batch/batch_launch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "core/log.h"
#include "pool/batch/batch_supervision.h"
#include "pool/batch/fed_batch.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

constexpr Instant kLaunchT0 = 100 * kNsPerSec;

// A launch world whose workers, decoders and discovery are stand-ins: every
// call is counted, nothing runs.
struct FakeLaunch {
  explicit FakeLaunch(const std::filesystem::path& pool_dir) : dir(pool_dir) {}
  std::filesystem::path dir;
  std::optional<std::filesystem::path> aerender = std::filesystem::path("/bin/true");
  std::vector<LaunchRequest> spawned;
  std::vector<bool> spawn_answers;  // per call; true when absent
  size_t decoders = 2;
  size_t decoder_starts = 0;
  std::vector<bool> decoders_keep_files;  // per start
  size_t discovery_starts = 0;
  uint64_t worker_count = 4;

  LaunchWorld world(Instant now = kLaunchT0) {
    LaunchWorld w;
    w.now = now;
    w.hardware_threads = 32;
    w.pool_worker_count = [this] { return worker_count; };
    w.effective_worker_count = [this] { return worker_count; };
    w.resolve_aerender = [this](AerenderLookup&) -> const std::optional<std::filesystem::path>& { return aerender; };
    w.pool_directory = [this]() -> std::optional<std::filesystem::path> { return dir; };
    w.spawn_worker = [this](const LaunchRequest& r) -> std::optional<PoolJob> {
      const size_t call = spawned.size();
      spawned.push_back(r);
      if (call < spawn_answers.size() && !spawn_answers[call]) return std::nullopt;
      PoolJob job;
      job.worker_index = r.worker_index;
      job.first_frame = r.first_frame;
      job.last_frame = r.last_frame;
      return job;
    };
    w.start_decoders = [this](size_t, const DecodeWorkerContext& c) {
      ++decoder_starts;
      decoders_keep_files.push_back(c.keep_frame_files);
      return decoders;
    };
    w.decoder_count = [](std::optional<FrameDimensions>, uint64_t) { return 2u; };
    w.start_discovery = [this](std::filesystem::path, SharedJobDir, WorkerOutputFormat) {
      ++discovery_starts;
      auto [req_tx, req_rx] = make_bounded_channel<DiscoveryRequest>(1);
      auto [rep_tx, rep_rx] = make_bounded_channel<DiscoveryReport>(1);
      return DiscoveryHandle(std::move(req_tx), std::move(rep_rx), std::make_shared<std::atomic<bool>>(false));
    };
    return w;
  }

  // As world(), with the starts the launch sends off the main thread kept in
  // `posted` for the test to run when it says, and no job folder disposed.
  LaunchWorld posting_world(std::vector<std::function<void()>>& posted) {
    LaunchWorld w = world();
    w.dispose_job_dir = [](const std::filesystem::path&) {};
    w.run_off_main = [&posted](std::function<void()> task) { posted.push_back(std::move(task)); };
    return w;
  }
};

PoolRuntime ready_runtime(const std::filesystem::path& snapshot) {
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  rt.pool_enabled = true;
  rt.templates_ready = 1;
  rt.snapshot_path = snapshot;
  return rt;
}

class BatchLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    ASSERT_TRUE(open_log_file_at(scratch_.path() / "velocinta.log", LogRole::Host));
  }
  void TearDown() override { close_log_file(); }
  std::string log() const { return testing::read_text(scratch_.path() / "velocinta.log"); }
  std::filesystem::path pool_dir() const { return scratch_.path() / "velocinta_pool"; }

  testing::ScratchDir scratch_{"vel-launch"};
};

const std::vector<FrameRange> kRanges{{0, 9}, {10, 19}, {20, 29}};

TEST_F(BatchLaunch, EachGuardRefusesSilently) {
  struct Case {
    const char* name;
    std::function<void(PoolRuntime&, LaunchWorld&, std::vector<FrameRange>&)> arrange;
  } cases[] = {
      {"an empty list", [](PoolRuntime&, LaunchWorld&, std::vector<FrameRange>& r) { r.clear(); }},
      {"the pool off", [](PoolRuntime& rt, LaunchWorld&, std::vector<FrameRange>&) { rt.pool_enabled = false; }},
      {"a plan in place",
       [](PoolRuntime& rt, LaunchWorld&, std::vector<FrameRange>&) {
         rt.plan.emplace();
         rt.plan->ownership.armed = false;  // a stand-in plan: no report at its end
       }},
      {"a held token",
       [](PoolRuntime& rt, LaunchWorld& w, std::vector<FrameRange>&) {
         rt.selected_output = kOutputMemory;
         w.memory_token_held = true;
       }},
      {"the cooldown",
       [](PoolRuntime& rt, LaunchWorld& w, std::vector<FrameRange>&) { rt.launch_cooldown_until = w.now + 1; }},
  };
  for (const Case& c : cases) {
    FakeLaunch fake(pool_dir());
    PoolRuntime rt = ready_runtime(scratch_.path() / "snapshot.aep");
    LaunchWorld w = fake.world();
    std::vector<FrameRange> ranges = kRanges;
    c.arrange(rt, w, ranges);
    const bool had_plan = rt.plan.has_value();
    launch_pool_batch(rt, "Main", ranges, 24, 1, w);
    EXPECT_TRUE(fake.spawned.empty()) << c.name;
    EXPECT_EQ(rt.plan.has_value(), had_plan) << c.name;
    EXPECT_TRUE(rt.batch_comp_name.empty()) << c.name;
    EXPECT_FALSE(std::filesystem::exists(pool_dir())) << c.name;
  }
  EXPECT_EQ(log(), "");
}

TEST(BatchWorkerCounts, AgainstAdmissionThreadsAndRequests) {
  constexpr SchedulerOutcome kMissing = SchedulerOutcome::Missing;
  struct Case {
    const char* name;
    BatchWorkerInputs in;
    BatchWorkers expected;
  } cases[] = {
      {"2D, 32 threads, 20 asked, memory unknown", {true, true, kOutputPsd, false, 32, 20, 1, 5}, {20, 1, 80, kMissing}},
      {"3D gets one", {true, true, kOutputPsd, true, 32, 20, 1, 5}, {1, 1, 80}},
      {"memory gets one", {true, true, kOutputMemory, false, 32, 20, 1, 5}, {1, 1, 80}},
      {"threads bound: 4 x 0.8", {true, true, kOutputPsd, false, 4, 20, 1, 5}, {3, 1, 80, kMissing}},
      {"unknown threads", {true, true, kOutputPsd, false, std::nullopt, 20, 1, 5}, {1, 1, 80}},
      {"asked beyond 24", {true, true, kOutputTga, false, 64, 40, 1, 5}, {24, 1, 80, kMissing}},
      {"asked 0 counts 1", {true, true, kOutputTga, false, 64, 0, 1, 5}, {1, 1, 80}},
      {"both off, 3 workers", {false, false, kOutputPsd, false, 32, 8, 3, 5}, {3, 3, 26}},
      {"both off, fewer ranges", {false, false, kOutputPsd, false, 32, 8, 6, 2}, {2, 2, 40}},
      {"ramp on starts one", {false, true, kOutputPsd, false, 32, 8, 3, 5}, {3, 1, 26}},
      {"share at least 1", {false, false, kOutputPsd, false, 256, 8, 100, 100}, {100, 100, 1}},
  };
  for (const Case& c : cases) EXPECT_EQ(batch_worker_counts(c.in), c.expected) << c.name;
}

// Measured admission at launch: the engines the available memory holds
// beside the reserve start at once and share the MFR budget; the CPU, the
// ranges, the count asked and the scheduler's ceiling bound them.
TEST(BatchWorkerCounts, LaunchAdmitsTheEnginesTheMemoryHolds) {
  constexpr uint64_t kGiB = 1ull << 30;
  constexpr uint64_t kEngine = 7 * kGiB / 2;
  struct Case {
    const char* name;
    std::optional<uint64_t> available;
    uint64_t need;
    bool saturated;
    uint64_t ranges;
    uint64_t asked;
    std::optional<uint64_t> ceiling;
    BatchWorkers expected;
  } cases[] = {
      {"18 GiB holds 4 engines of 3.5", 18 * kGiB, kEngine, false, 4, 4, {}, {4, 4, 20, SchedulerOutcome::Admit}},
      {"one byte short of 4", 18 * kGiB - 1, kEngine, false, 4, 4, {}, {4, 3, 26, SchedulerOutcome::Admit}},
      {"no more than the ranges", 64 * kGiB, kEngine, false, 2, 4, {}, {4, 2, 40, SchedulerOutcome::Admit}},
      {"no more than asked", 64 * kGiB, kEngine, false, 8, 3, {}, {3, 3, 26, SchedulerOutcome::Admit}},
      {"room for one only", 4 * kGiB + 2 * kEngine - 1, kEngine, false, 4, 4, {}, {4, 1, 80, SchedulerOutcome::Headroom}},
      {"under the reserve", 4 * kGiB - 1, kEngine, false, 4, 4, {}, {4, 1, 80, SchedulerOutcome::Pressure}},
      {"CPU saturated", 64 * kGiB, kEngine, true, 4, 4, {}, {4, 1, 80, SchedulerOutcome::Pressure}},
      {"memory unreadable", std::nullopt, kEngine, false, 4, 4, {}, {4, 1, 80, SchedulerOutcome::Missing}},
      {"need unknown", 64 * kGiB, 0, false, 4, 4, {}, {4, 1, 80, SchedulerOutcome::Missing}},
      {"a ceiling of 3 starts 2", 64 * kGiB, kEngine, false, 4, 4, 3, {4, 2, 40, SchedulerOutcome::Admit}},
      {"a ceiling of 2 starts 1", 64 * kGiB, kEngine, false, 4, 4, 2, {4, 1, 80, SchedulerOutcome::Capacity}},
      {"one range", 64 * kGiB, kEngine, false, 1, 4, {}, {4, 1, 80, SchedulerOutcome::Capacity}},
  };
  for (const Case& c : cases) {
    BatchWorkerInputs in;
    in.hardware_threads = 8;
    in.pool_worker_count = c.asked;
    in.range_count = c.ranges;
    in.available_bytes = c.available;
    in.engine_need_bytes = c.need;
    in.cpu_saturated = c.saturated;
    in.level_ceiling = c.ceiling;
    EXPECT_EQ(batch_worker_counts(in), c.expected) << c.name;
  }
  // A measured engine larger than the budget is what counts.
  EXPECT_EQ(launch_engine_need_bytes(kEngine, 4 * kGiB), 5 * kGiB);
  EXPECT_EQ(launch_engine_need_bytes(kEngine, kGiB), kEngine);
}

TEST(ExpectedFrameCount, CountsEachRangeAtLeastOnce) {
  const std::vector<FrameRange> ranges{{10, 19}, {20, 9}, {30, 30}};
  EXPECT_EQ(expected_frame_count(ranges), 12u);
  const std::vector<FrameRange> huge{{std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()}, {0, 5}};
  EXPECT_EQ(expected_frame_count(huge), std::numeric_limits<uint64_t>::max());
}

TEST(WatchdogLimits, FromThePrediction) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::optional<double> p;
    WatchdogLimits expected;
  } cases[] = {
      {std::nullopt, {45, 240}},
      {20.0, {45, 240}},
      {100.0, {150, 400}},
      {std::nan(""), {45, 240}},
      {inf, {45, 240}},
      {-inf, {45, 240}},
      {-5.0, {45, 240}},
      {1e30, {UINT64_MAX, UINT64_MAX}},
  };
  for (const Case& c : cases) EXPECT_EQ(watchdog_limits(c.p), c.expected) << (c.p ? *c.p : -1.0);
}

TEST_F(BatchLaunch, FileBatchHandsThePlanItsWorkersDecodersAndQueue) {
  FakeLaunch fake(pool_dir());
  PoolRuntime rt = ready_runtime(scratch_.path() / "snapshot.aep");
  launch_pool_batch(rt, "Main", kRanges, 24, 1, fake.world());
  ASSERT_TRUE(rt.plan);
  const PoolPlan& plan = *rt.plan;
  ASSERT_EQ(fake.spawned.size(), 1u);
  EXPECT_EQ(fake.spawned[0].worker_index, 0u);  // its position in the input
  ASSERT_EQ(plan.jobs.size(), 1u);
  EXPECT_EQ(plan.jobs[0].first_frame, 0);
  ASSERT_EQ(plan.queued_ranges.size(), 2u);
  EXPECT_EQ(plan.queued_ranges[0], (QueuedRange{10, 19}));
  EXPECT_EQ(plan.expected_frames, 30u);
  EXPECT_EQ(plan.next_range_index, 1u);
  EXPECT_EQ(plan.target_workers, 4u);
  EXPECT_EQ(plan.worker_slots, 1u);
  EXPECT_EQ(plan.ramp_slots_left, 0u);
  EXPECT_EQ(plan.mfr_percent, 80u);
  EXPECT_EQ(plan.first_delivery_limit_secs, 45u);
  EXPECT_EQ(plan.silent_limit_secs, 240u);
  EXPECT_EQ(plan.next_ramp_slot_at, kLaunchT0 + 750 * kNsPerMs);
  EXPECT_EQ(fake.decoder_starts, 1u);
  EXPECT_EQ(fake.discovery_starts, 1u);
  EXPECT_TRUE(plan.discovery.has_value());
  ASSERT_TRUE(plan.job_dir);
  EXPECT_EQ(plan.job_dir->path().parent_path(), pool_dir());
  EXPECT_EQ(rt.batch_comp_name, "Main");
  ASSERT_TRUE(rt.batch_identity);
  EXPECT_EQ(rt.plan->context, *rt.batch_identity);
  EXPECT_EQ(fake.spawned[0].snapshot_path, (scratch_.path() / "snapshot.aep").string());
  EXPECT_TRUE(fake.spawned[0].extreme);
}

// A renderer that cannot be started is tried once per launch, not once per
// range: the first failure ends the launch's starts. Beside a worker that
// started, the range waits at the front of the queue for the supervision's
// spaced retry; with none started the launch gives up.
TEST_F(BatchLaunch, ALaunchStopsAtItsFirstSpawnFailure) {
  const std::vector<FrameRange> six{{0, 9}, {10, 19}, {20, 29}, {30, 39}, {40, 49}, {50, 59}};
  struct Case {
    const char* name;
    bool every_worker_at_once;  // measured admission and the ramp off
    std::vector<bool> answers;
    size_t spawns;
    size_t jobs;                        // 0: no plan
    std::optional<QueuedRange> front;   // of the queue left
    size_t queued;
  } cases[] = {
      {"one at once, it fails", false, {false, true, true, true, true, true}, 1, 0, std::nullopt, 0},
      {"all at once, the first fails", true, {false, true, true, true, true, true}, 1, 0, std::nullopt, 0},
      {"all at once, the third fails", true, {true, true, false, true, true, true}, 3, 2, QueuedRange{20, 29}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeLaunch fake(pool_dir());
    fake.worker_count = 6;
    fake.spawn_answers = c.answers;
    PoolRuntime rt = ready_runtime(scratch_.path() / "snapshot.aep");
    LaunchWorld world = fake.world();
    world.dispose_job_dir = [](const std::filesystem::path&) {};
    if (c.every_worker_at_once) {
      world.measured_admission = false;
      world.pool_ramp = false;
    }
    launch_pool_batch(rt, "Main", six, 24, 1, world);
    EXPECT_EQ(fake.spawned.size(), c.spawns);
    ASSERT_EQ(rt.plan.has_value(), c.jobs > 0);
    if (!rt.plan) continue;
    EXPECT_EQ(rt.plan->jobs.size(), c.jobs);
    ASSERT_EQ(rt.plan->queued_ranges.size(), c.queued);
    EXPECT_EQ(rt.plan->queued_ranges.front(), *c.front);
    EXPECT_EQ(rt.plan->expected_frames, 60u);
    EXPECT_FALSE(rt.plan->spawn_retry.may_launch(kLaunchT0)) << "retried a second later, not in this call";
    EXPECT_TRUE(rt.plan->spawn_retry.may_launch(kLaunchT0 + kNsPerSec));
  }
}

TEST_F(BatchLaunch, DecodersKeepFrameFilesExactlyWhenTheRuntimeSaysSo) {
  for (const bool keep : {false, true}) {
    FakeLaunch fake(pool_dir());
    PoolRuntime rt = ready_runtime(scratch_.path() / "snapshot.aep");
    rt.decode_flag = keep;
    launch_pool_batch(rt, "Main", kRanges, 24, 1, fake.world());
    ASSERT_TRUE(rt.plan) << keep;
    EXPECT_EQ(fake.decoders_keep_files, std::vector<bool>{keep});
  }
}

TEST_F(BatchLaunch, BothSwitchesOffStartsEveryWorker) {
  FakeLaunch fake(pool_dir());
  fake.worker_count = 3;
  PoolRuntime rt = ready_runtime(scratch_.path() / "snapshot.aep");
  LaunchWorld w = fake.world();
  w.measured_admission = false;
  w.pool_ramp = false;
  launch_pool_batch(rt, "Main", kRanges, 24, 1, w);
  ASSERT_TRUE(rt.plan);
  EXPECT_EQ(rt.plan->jobs.size(), 3u);
  EXPECT_EQ(rt.plan->mfr_percent, 26u);
  EXPECT_EQ(rt.plan->worker_slots, 3u);
  for (const LaunchRequest& r : fake.spawned) EXPECT_EQ(r.mfr_percent, 26u);
}

// With the defaults a batch starts as many engines as the available memory
// holds, each with an equal share, and the scheduler starts from that level;
// a saturated CPU, freshly sampled, starts one.
TEST_F(BatchLaunch, DefaultsStartTheEnginesTheMemoryHolds) {
  for (const bool saturated : {false, true}) {
    FakeLaunch fake(pool_dir());
    PoolRuntime rt = ready_runtime(scratch_.path() / "snapshot.aep");
    LaunchWorld w = fake.world();
    w.available_memory = [] { return std::optional<uint64_t>(64ull << 30); };
    w.engine_budget_bytes = 7ull << 29;
    if (saturated) {
      // A later batch of the same configuration: its CPU sample is kept.
      rt.batch_identity = StartupContext{rt.comp_identity, rt.file_downsample, std::nullopt, false, kOutputPsd};
      rt.cpu_sample_at = kLaunchT0 - 1;
      rt.total_cpu_percent = 95.0;
    }
    launch_pool_batch(rt, "Main", kRanges, 24, 1, w);
    ASSERT_TRUE(rt.plan) << saturated;
    const size_t n = saturated ? 1 : kRanges.size();
    EXPECT_EQ(rt.plan->jobs.size(), n) << saturated;
    EXPECT_EQ(rt.plan->peak_active, n) << saturated;
    EXPECT_EQ(rt.plan->scheduler.level, n) << saturated;
    for (const LaunchRequest& r : fake.spawned) EXPECT_EQ(r.mfr_percent, 80u / n) << saturated;
  }
}

TEST_F(BatchLaunch, WithoutAerenderTheFirstLaunchDisablesThePoolOnce) {
  FakeLaunch fake(pool_dir());
  fake.aerender.reset();
  PoolRuntime rt = ready_runtime(scratch_.path() / "snapshot.aep");
  launch_pool_batch(rt, "Main", kRanges, 24, 1, fake.world());
  rt.disabled_for_session = false;  // even a second attempt says it only once per refusal
  launch_pool_batch(rt, "Main", kRanges, 24, 1, fake.world());
  EXPECT_TRUE(rt.disabled_for_session);
  EXPECT_FALSE(rt.plan);
  const std::string text = log();
  const std::string line =
      "pool: DÉSACTIVÉ pour la session — aerender introuvable (installer AE, ou VELOCINTA_AERENDER=/chemin)";
  EXPECT_NE(text.find(line), std::string::npos);
}

TEST_F(BatchLaunch, MemoryBatchWhoseWorkerFailsSelectsPsdForTheNext) {
  FakeLaunch fake(pool_dir());
  fake.spawn_answers = {false};
  PoolRuntime rt = ready_runtime(scratch_.path() / "snapshot.aep");
  rt.selected_output = kOutputMemory;
  rt.comp_dimensions = std::make_pair(64u, 36u);
  launch_pool_batch(rt, "Main", {kRanges.data(), 1}, 24, 1, fake.world());
  EXPECT_FALSE(rt.plan);
  EXPECT_EQ(rt.selected_output, kOutputPsd);
  EXPECT_EQ(fake.decoder_starts, 0u);
  EXPECT_NE(log().find("ERROR: pool: memory output unavailable — PSD selected for a future batch"), std::string::npos);
  launch_pool_batch(rt, "Main", kRanges, 24, 1, fake.world());
  ASSERT_TRUE(rt.plan);
  EXPECT_EQ(fake.spawned.back().kind, PoolOutputKind::Psd);
}

TEST_F(BatchLaunch, FileBatchWithoutDecoderDisablesThePool) {
  FakeLaunch fake(pool_dir());
  fake.decoders = 0;
  PoolRuntime rt = ready_runtime(scratch_.path() / "snapshot.aep");
  launch_pool_batch(rt, "Main", kRanges, 24, 1, fake.world());
  EXPECT_FALSE(rt.plan);
  EXPECT_TRUE(rt.disabled_for_session);
  EXPECT_EQ(fake.discovery_starts, 0u);
  EXPECT_NE(log().find("pool: DÉSACTIVÉ pour la session — no decoder thread available"), std::string::npos);
  EXPECT_EQ(log().find("PERF: POOL "), std::string::npos);  // never a plan, so no report
}

// A worker that cannot be started fails again on the next tick: each launch
// that starts none waits out a cooldown, leaves no job folder, and the third
// in a row turns the pool off with one line; a launch that starts one
// counts afresh.
TEST_F(BatchLaunch, LaunchesThatStartNoWorkerCoolDownThenTurnThePoolOff) {
  struct Step {
    Instant at;
    bool spawn_ok;
    bool tried;      // the guards let the launch try to spawn
    uint32_t failed; // launches in a row without a worker, after the step
    bool disabled;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Instant s = kNsPerSec;
  const std::vector<Case> cases = {
      {"never starts",
       {{kLaunchT0, false, true, 1, false},
        {kLaunchT0 + 1 * s, false, false, 1, false},  // within the cooldown
        {kLaunchT0 + 3 * s, false, true, 2, false},
        {kLaunchT0 + 6 * s, false, true, 3, true},
        {kLaunchT0 + 60 * s, false, false, 3, true}}},
      {"starts in between",
       {{kLaunchT0, false, true, 1, false}, {kLaunchT0 + 3 * s, false, true, 2, false}, {kLaunchT0 + 6 * s, true, true, 0, false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(pool_dir());
    FakeLaunch fake(pool_dir());
    PoolRuntime rt = ready_runtime(scratch_.path() / "snapshot.aep");
    for (const Step& step : c.steps) {
      const size_t spawns_before = fake.spawned.size();
      fake.spawn_answers.assign(spawns_before + kRanges.size(), step.spawn_ok);
      LaunchWorld world = fake.world(step.at);
      world.dispose_job_dir = [](const std::filesystem::path&) {};  // a folder left is the launch's doing
      launch_pool_batch(rt, "Main", kRanges, 24, 1, world);
      EXPECT_EQ(fake.spawned.size() - spawns_before, step.tried ? 1u : 0u) << step.at << ": one spawn a launch";
      EXPECT_EQ(rt.failed_launches, step.failed) << step.at;
      EXPECT_EQ(rt.disabled_for_session, step.disabled) << step.at;
      if (!step.spawn_ok && step.tried) {
        ASSERT_TRUE(rt.launch_cooldown_until);
        EXPECT_EQ(*rt.launch_cooldown_until, step.at + kFailedLaunchCooldownNs);
        EXPECT_FALSE(rt.plan);
        std::error_code ec;
        size_t folders = 0;
        for (const auto& e : std::filesystem::directory_iterator(pool_dir(), ec))
          folders += e.path().filename().string().rfind("job_", 0) == 0 ? 1 : 0;
        EXPECT_EQ(folders, 0u) << "a launch that started nothing leaves no job folder";
      }
      if (step.spawn_ok) {
        EXPECT_TRUE(rt.plan);
      }
    }
  }
  const std::string text = log();
  const std::string line = "ERROR: pool: DÉSACTIVÉ pour la session — aerender ne démarre pas : /bin/true (3 lots sans aucun worker)\n";
  size_t n = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
  EXPECT_EQ(n, 1u) << text;
}

// The first worker's start runs off the main thread: the launch returns with
// the plan and the start in flight, and a later supervision call takes its
// outcome. One that did not start ends the batch as the launch itself did:
// memory output gives way to PSD, a file output counts toward its cooldown.
TEST_F(BatchLaunch, TheFirstWorkersOutcomeIsTakenByALaterSupervisionCall) {
  struct Case {
    const char* name;
    uint8_t output;
    bool starts;
  } cases[] = {{"file, started", kOutputPsd, true},
               {"file, not started", kOutputPsd, false},
               {"memory, not started", kOutputMemory, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeLaunch fake(pool_dir());
    fake.spawn_answers = {c.starts};
    PoolRuntime rt = ready_runtime(scratch_.path() / "snapshot.aep");
    rt.selected_output = c.output;
    rt.comp_dimensions = std::make_pair(64u, 36u);
    rt.failed_launches = 1;
    std::vector<std::function<void()>> posted;
    const LaunchWorld world = fake.posting_world(posted);
    launch_pool_batch(rt, "Main", {kRanges.data(), 1}, 24, 1, world);
    ASSERT_TRUE(rt.plan);
    EXPECT_TRUE(fake.spawned.empty()) << "not spawned on the launch's thread";
    EXPECT_TRUE(rt.plan->jobs.empty());
    EXPECT_EQ(rt.plan->starting.size(), 1u);
    EXPECT_EQ(rt.plan->active, 1u);

    SupervisionWorld supervision;
    testing::quiet_supervision_world(supervision, [] { return kLaunchT0 + kNsPerMs; });
    (void)supervise_batches(rt, 1, supervision);
    ASSERT_TRUE(rt.plan) << "the start is still under way";
    EXPECT_EQ(rt.plan->starting.size(), 1u);

    ASSERT_EQ(posted.size(), 1u);
    posted[0]();
    const size_t logged = log().size();
    (void)supervise_batches(rt, 1, supervision);
    if (c.starts) {
      ASSERT_TRUE(rt.plan);
      EXPECT_EQ(rt.plan->jobs.size(), 1u);
      EXPECT_TRUE(rt.plan->starting.empty());
      EXPECT_EQ(rt.failed_launches, 0u);
      continue;
    }
    EXPECT_FALSE(rt.plan);
    EXPECT_EQ(rt.selected_output, kOutputPsd);
    const bool memory = c.output == kOutputMemory;
    EXPECT_EQ(rt.failed_launches, memory ? 1u : 2u);
    const std::string said = log().substr(logged);
    EXPECT_EQ(said.find("ERROR: pool: memory output unavailable — PSD selected for a future batch") != std::string::npos,
              memory);
    EXPECT_EQ(said.find("PERF: POOL "), std::string::npos) << "never a batch, so no report";
  }
}

// A batch that ends while its worker is starting abandons the start: one
// that had not begun starts nothing, one that started is let go.
TEST_F(BatchLaunch, ABatchThatEndsAbandonsItsStarts) {
  for (bool began : {false, true}) {
    SCOPED_TRACE(began ? "started before the end" : "not begun at the end");
    FakeLaunch fake(pool_dir());
    PoolRuntime rt = ready_runtime(scratch_.path() / "snapshot.aep");
    std::vector<std::function<void()>> posted;
    const LaunchWorld world = fake.posting_world(posted);
    launch_pool_batch(rt, "Main", {kRanges.data(), 1}, 24, 1, world);
    ASSERT_TRUE(rt.plan);
    if (began) posted[0]();
    rt.plan.reset();
    if (!began) posted[0]();
    EXPECT_EQ(fake.spawned.size(), began ? 1u : 0u);
    // The let-go of a started worker (a stand-in job, no process) is posted too.
    for (size_t i = 1; i < posted.size(); ++i) posted[i]();
    EXPECT_EQ(posted.size(), began ? 2u : 1u);
  }
}

}  // namespace
}  // namespace vel
