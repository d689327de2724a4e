// Names under the pool folder that another program of the user's put in the
// pool's way: a job folder swapped for a link to the user's pictures while
// its batch runs, a worker folder or log name already there, a link named
// "warmup". Nothing of the user's is written, truncated or removed, and the
// launch or warm-up that would have gone through says so once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>

#include "core/machine.h"
#include "pool/batch/pool_job.h"
#include "pool/process/hung_workers.h"
#include "pool/process/worker_record.h"
#include "pool/runtime/engine_prewarm.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "support/user_folder.h"
#include "pool_process/pool_process_fixture.h"

namespace vel::testing {
namespace {

namespace fs = std::filesystem;

struct SwapCase {
  const char* name;
  // Puts something in the launch's way; answers the folder of the user's
  // whose files must stay as they were.
  std::function<fs::path(const fs::path& job, const fs::path& scratch)> arrange;
  // The line's start, given the job folder.
  std::function<std::string(const fs::path& job)> line;
};

// The batch's worker 0 runs; then the second launch meets what `arrange` put
// there. It is refused with one line, and no file of the user's changes.
TEST_F(PoolProcessTest, ALaunchMeetingANameAlreadyThereTakesNothingOver) {
  const std::vector<SwapCase> cases = {
      {"the job folder moved away and a link to the user's pictures in its place",
       [](const fs::path& job, const fs::path& scratch) {
         const fs::path pictures = scratch / "Pictures";
         write_user_folder(pictures);
         fs::rename(job, scratch / "job_moved");
         fs::create_directory_symlink(pictures, job);
         return pictures;
       },
       [](const fs::path&) { return "pool: création "; }},
      {"a folder w1 of the user's in the job folder",
       [](const fs::path& job, const fs::path&) {
         fs::create_directories(job / "w1");
         std::ofstream(job / "w1" / "f_00004.tga") << "mine";
         return job / "w1";
       },
       [](const fs::path&) { return "pool: création "; }},
      {"a file w1.log of the user's in the job folder",
       [](const fs::path& job, const fs::path& scratch) {
         fs::create_directories(scratch / "notes");
         std::ofstream(scratch / "notes" / "w1.log") << "mine";
         fs::create_hard_link(scratch / "notes" / "w1.log", job / "w1.log");
         return scratch / "notes";
       },
       [](const fs::path& job) {
         return "pool: log worker: " + (job / "w1.log").string() + ": File exists (os error 17)";
       }},
  };
  ::setenv("SIM_AERENDER_ENGINES", "0", 1);
  for (const SwapCase& c : cases) {
    SCOPED_TRACE(c.name);
    LaunchRequest req = request(PoolOutputKind::Tga);
    req.worker_index = 0;
    auto first = spawn_pool_worker(req);
    ASSERT_TRUE(first);
    const fs::path user = c.arrange(req.job_dir->path(), scratch_.path() / c.name);
    const auto before = folder_contents(user);
    const size_t errors = error_lines().size();
    req.worker_index = 1;
    auto second = spawn_pool_worker(req);
    EXPECT_FALSE(second);
    if (second) kill_pool_worker(second->child);
    const std::vector<std::string> lines = error_lines();
    EXPECT_EQ(folder_contents(user), before);
    EXPECT_EQ(lines.size(), errors + 1);
    if (lines.size() == errors + 1) {
      EXPECT_EQ(lines.back().rfind(c.line(req.job_dir->path()), 0), 0u) << lines.back();
    }
    kill_pool_worker(first->child);
  }
}

// A worker whose job folder is swapped for a link while it runs would write
// its next frames through it: the supervision's look ends it, with one line.
TEST_F(PoolProcessTest, AWorkerWhosePathStopsLeadingToItsFolderIsEnded) {
  ::setenv("SIM_AERENDER_ENGINES", "0", 1);
  LaunchRequest req = request(PoolOutputKind::Tga);
  auto job = spawn_pool_worker(req);
  ASSERT_TRUE(job);
  EXPECT_FALSE(worker_path_misled(*job));
  const fs::path pictures = scratch_.path() / "Pictures";
  write_user_folder(pictures);
  fs::rename(req.job_dir->path(), scratch_.path() / "job_moved");
  fs::create_directory_symlink(pictures, req.job_dir->path());
  EXPECT_TRUE(worker_path_misled(*job));
  std::vector<EndedClient> ended;
  std::vector<size_t> exited;
  retire_misled_job(*job, 0, ended, exited);
  EXPECT_TRUE(job->finished);
  EXPECT_FALSE(job->clean_exit);
  EXPECT_EQ(exited, std::vector<size_t>{0});
  const std::vector<std::string> lines = error_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "pool: worker 0 arrêté — " + (req.job_dir->path() / "w0").string() +
                          " ne mène plus au dossier créé (lien ou dossier remplacé)");
}

// The batch's folder goes when its last holder lets go: through the folders
// held, so that a link put at its name stays a link and what it leads to is
// untouched.
TEST_F(PoolProcessTest, AJobFolderSwappedForALinkIsRemovedWithoutFollowingIt) {
  LaunchRequest req = request(PoolOutputKind::Tga);
  const fs::path job = req.job_dir->path();
  std::ofstream(job / "w0.log") << "log";
  const fs::path pictures = scratch_.path() / "Pictures";
  write_user_folder(pictures);
  const auto before = folder_contents(pictures);
  fs::rename(job, scratch_.path() / "job_moved");
  fs::create_directory_symlink(pictures, job);
  req.job_dir->removal()();
  EXPECT_TRUE(fs::is_symlink(job));
  EXPECT_EQ(folder_contents(pictures), before);
  EXPECT_TRUE(fs::is_empty(scratch_.path() / "job_moved")) << "the folder held is emptied wherever it went";
}

// The record of the host's workers, written again at each launch, goes by
// its name into the pool folder held: a link left at the folder's path
// gets nothing written through it.
TEST_F(PoolProcessTest, TheWorkerRecordIsWrittenInTheFolderHeld) {
  auto held = open_pool_folder(pool_dir_);
  ASSERT_TRUE(held) << held.error();
  WorkerRecordBook book;
  const auto self = recorded_process(::getpid());
  ASSERT_TRUE(self);
  book.arm(pool_dir_ / kWorkerRecordName, *self, held.value());
  const fs::path pictures = scratch_.path() / "Pictures";
  write_user_folder(pictures);
  const auto before = folder_contents(pictures);
  fs::rename(pool_dir_, scratch_.path() / "pool_moved");
  fs::create_directory_symlink(pictures, pool_dir_);
  ASSERT_TRUE(book.write());
  EXPECT_EQ(folder_contents(pictures), before);
  EXPECT_TRUE(fs::is_regular_file(scratch_.path() / "pool_moved" / kWorkerRecordName));
}

class WarmupLinkTest : public PoolProcessTest {
 protected:
  PoolRuntime runtime() {
    PoolRuntime rt = new_pool_runtime(kOutputPsd);
    rt.pool_enabled = true;
    rt.templates_ready = 1;
    rt.batch_comp_name = "Main";
    rt.aerender.resolved = std::optional<fs::path>(kAerender);
    fs::create_directories(pool_dir_);
    std::ofstream(pool_snapshot_path(pool_dir_)) << "snapshot";
    rt.snapshot_path = pool_snapshot_path(pool_dir_);
    return rt;
  }
  PrewarmWorld world() {
    PrewarmWorld w = live_prewarm_world(0);
    w.measured_admission = false;
    w.frame_packing = false;
    w.pool_worker_count = [] { return uint64_t{4}; };
    w.pool_directory = [this]() -> std::optional<fs::path> { return pool_dir_; };
    w.spawn_engine = [this](const fs::path&, const std::vector<std::string>& args) -> std::optional<WorkerChild> {
      snapshots_.push_back(args.at(1));
      return std::nullopt;
    };
    return w;
  }
  std::vector<std::string> snapshots_;  // of each engine started
};

// Edits in a row with "warmup" a link to the user's pictures: the snapshot
// is not kept through it, nothing in it is listed or removed, no engine
// folder is made in it and no engine starts; one line says why.
TEST_F(WarmupLinkTest, AWarmupLinkIsRefusedOnceAndItsTargetIsUntouched) {
  const fs::path pictures = scratch_.path() / "Pictures";
  write_user_folder(pictures);
  std::ofstream(pictures / "snapshot.aep") << "mine";
  const auto before = folder_contents(pictures);
  PoolRuntime rt = runtime();
  fs::create_directory_symlink(pictures, pool_dir_ / "warmup");
  const PrewarmWorld w = world();
  const Instant t = mono_ns();
  for (int edit = 0; edit < 3; ++edit) {
    keep_snapshot_for_prewarm(rt, w);
    prewarm_pool_workers(rt, t + static_cast<uint64_t>(edit) * 9 * kNsPerSec, w);
  }
  EXPECT_TRUE(snapshots_.empty()) << "no engine";
  EXPECT_EQ(folder_contents(pictures), before);
  const std::vector<std::string> lines = error_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "pool: préchauffage refusé — " + (pool_dir_ / "warmup").string() + " : lien symbolique, non suivi");
  // The session's end takes the link away, never what it leads to.
  const DirFd pool = open_dir_followed(pool_dir_);
  remove_warmup(pool.get());
  EXPECT_FALSE(fs::exists(fs::symlink_status(pool_dir_ / "warmup")));
  EXPECT_EQ(folder_contents(pictures), before);
}

// A warm-up folder this process did not make (an earlier run's, which the
// load's purge has not reached yet) is not taken over: nothing in it is used,
// its snapshot included, and it goes as the purge would take it. The one
// this process made is used again, with the snapshot kept in it.
TEST_F(WarmupLinkTest, AWarmupFolderNotMadeHereIsNotTakenOver) {
  PoolRuntime rt = runtime();
  fs::create_directories(pool_dir_ / "warmup" / "w0");
  std::ofstream(pool_dir_ / "warmup" / "w0" / "f_00000.psd") << "left";
  std::ofstream(pool_dir_ / "warmup" / "snapshot.aep") << "an earlier run's project";
  const PrewarmWorld w = world();
  const Instant t = mono_ns();
  prewarm_pool_workers(rt, t, w);
  ASSERT_EQ(snapshots_.size(), 4u);
  EXPECT_EQ(snapshots_[0], pool_snapshot_path(pool_dir_).string());
  EXPECT_FALSE(fs::exists(pool_dir_ / "warmup" / "w0" / "f_00000.psd"));
  EXPECT_FALSE(fs::exists(pool_dir_ / "warmup" / "snapshot.aep"));
  EXPECT_TRUE(fs::is_directory(pool_dir_ / "warmup" / "w3"));

  keep_snapshot_for_prewarm(rt, w);
  EXPECT_TRUE(fs::is_directory(pool_dir_ / "warmup" / "w3")) << "the folder made here is used again";
  EXPECT_EQ(read_text(pool_dir_ / "warmup" / "snapshot.aep"), "snapshot");
  snapshots_.clear();
  prewarm_pool_workers(rt, t + 9 * kNsPerSec, w);
  ASSERT_EQ(snapshots_.size(), 4u);
  EXPECT_EQ(snapshots_[0], (pool_dir_ / "warmup" / "snapshot.aep").string());
  EXPECT_TRUE(error_lines().empty());
}

}  // namespace
}  // namespace vel::testing
