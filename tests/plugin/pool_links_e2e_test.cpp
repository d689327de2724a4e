// Another program of the user's puts links in the pool folder while the host
// runs (the test's own thread plays it): the batch's job folder moved away
// once its first worker has written five frames and a link to the user's
// pictures left in its place; a link named "warmup" to the same pictures
// before an edit, with the warm-up on. Every file of the user's stays as it
// was, the host says what it refused, and the run ends with nothing left.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "plugin/simhost_pool_run.h"
#include "support/user_folder.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kLinkFrames = 72;
constexpr const char* kCached = "S2 zone de travail en cache";

size_t count_pieces(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// Frames a worker has written, by its log (the pool takes the files away as
// it reads them).
size_t frames_written(const fs::path& log) { return count_pieces(testing::read_text(log), "PROGRESS: frame "); }

class PoolLinksRun : public testing::SimhostPoolRun {
 protected:
  void SetUp() override {
    SimhostPoolRun::SetUp();
    json p = project();
    p["compositions"][0]["duration"] = json::array({kLinkFrames, 24});
    p["compositions"][0]["work_area"] = {{"start", json::array({0, 24})}, {"duration", json::array({kLinkFrames, 24})}};
    p["compositions"][0]["render_cost_ms"] = 20;
    write_project(p);
    user_files_ = testing::write_user_folder(pictures(), 24);
    before_ = testing::folder_contents(pictures());
  }
  fs::path pictures() { return root_ / "home" / "Pictures"; }
  // Waits (bounded, the run's own length) for `ready`, polling as a program
  // watching the folder would.
  template <class Ready>
  static bool wait_for(const std::atomic<bool>& run_over, Ready ready, int period_ms = 1) {
    while (!run_over.load()) {
      if (ready()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(period_ms));
    }
    return ready();
  }
  void expect_user_files_whole(const testing::ChildResult& r) {
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
    const auto now = testing::folder_contents(pictures());
    EXPECT_EQ(testing::files_intact(before_, now), user_files_) << "user files changed or gone\n" << log();
    for (const auto& [name, bytes] : now)
      EXPECT_TRUE(before_.count(name) == 1) << name << " made in the user's folder";
  }
  size_t user_files_ = 0;
  std::map<std::string, std::string> before_;
};

// Four workers asked for, the first alone at first (the others follow as
// the batch admits them); the job folder swapped once worker 0 has five
// frames. The workers launched after that are refused, worker 0 is ended
// once its path leads through the link, and the host renders the rest.
TEST_F(PoolLinksRun, AJobFolderSwappedForALinkMidBatchCostsNoUserFile) {
  std::atomic<bool> run_over{false};
  bool swapped = false;
  fs::path job;
  std::thread helper([&] {
    swapped = wait_for(run_over, [&] {
      for (const fs::path& dir : job_dirs()) {
        if (frames_written(dir / "w0.log") < 5) continue;
        job = dir;
        return true;
      }
      return false;
    });
    if (!swapped) return;
    std::error_code ec;
    fs::rename(job, root_ / "moved_job", ec);
    if (!ec) fs::create_directory_symlink(pictures(), job, ec);
    swapped = !ec;
  });
  json events = pool_on_events();
  events.push_back({{"at_ms", 60}, {"action", "pause"}});
  events.push_back(when_logged(kCached, 1, {{"action", "quit"}}));
  auto r = run({"VELOCINTA_POOL_WORKERS=4", "SIM_AERENDER_COST_MS=100"}, events, 90);
  run_over = true;
  helper.join();
  ASSERT_TRUE(swapped) << log();
  expect_user_files_whole(r);
  EXPECT_EQ(summary()["still_waiting"], "") << log();
  const std::string text = log();
  // Whatever came after the swap (a launch, worker 0's next look) was
  // refused through the folder held, one line each.
  const size_t refused = count_pieces(text, "ne mène plus au dossier créé (lien ou dossier remplacé)");
  EXPECT_GE(refused, 1u) << text;
  EXPECT_EQ(count_pieces(text, "pool: log worker: "), 0u) << text;
  EXPECT_TRUE(fs::is_symlink(job)) << "the link is left as it is";
}

// The warm-up on (frame packing and measured admission off): once the first
// batch has filled the work area, a link "warmup" to the user's pictures,
// then an edit. The
// warm-up is refused with one line, nothing is listed, removed or written
// through the link, and the quit takes the link away, not what it leads to.
TEST_F(PoolLinksRun, AWarmupLinkCostsNoUserFile) {
  const fs::path linked = root_ / "linked.txt";
  std::atomic<bool> run_over{false};
  bool made = false;
  std::thread helper([&] {
    made = wait_for(run_over, [&] { return log().find(kCached) != std::string::npos; }, 20);
    if (!made) return;
    std::error_code ec;
    fs::create_directory_symlink(pictures(), pool_dir() / "warmup", ec);
    if (ec) fs::remove_all(pool_dir() / "warmup", ec), fs::create_directory_symlink(pictures(), pool_dir() / "warmup", ec);
    made = !ec;
    std::ofstream(linked) << "linked";
  });
  json events = pool_on_events();
  events.push_back({{"at_ms", 60}, {"action", "pause"}});
  events.push_back({{"when", {{"file", linked.string()}, {"has", "linked"}}},
                    {"action", "edit"},
                    {"pointer", "/compositions/0/layers/1/solid/color"},
                    {"value", json::array({0.2, 0.8, 0.3})}});
  events.push_back({{"at_ms", 0}, {"action", "save"}});
  events.push_back(when_logged("pool: préchauffage refusé", 1, {{"action", "wait"}}));
  events.push_back(when_logged(kCached, 2, {{"action", "quit"}}));
  auto r = run({"VELOCINTA_POOL_WORKERS=4", "VELOCINTA_FRAME_PACKING=0", "VELOCINTA_MEASURED_ADMISSION=0"}, events, 90);
  run_over = true;
  helper.join();
  ASSERT_TRUE(made) << log();
  expect_user_files_whole(r);
  EXPECT_EQ(summary()["still_waiting"], "") << log();
  const std::string text = log();
  EXPECT_EQ(count_pieces(text, "ERROR: pool: préchauffage refusé — " + (pool_dir() / "warmup").string() +
                               " : lien symbolique, non suivi\n"),
            1u)
      << text;
  EXPECT_FALSE(fs::exists(fs::symlink_status(pool_dir() / "warmup"))) << "the quit takes the link away";
}

}  // namespace
}  // namespace vel
