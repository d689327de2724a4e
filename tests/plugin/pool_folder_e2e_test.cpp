// The pool's folder in the temporary directory. Unusable from the start (a
// link, a folder others may write into, a plain file, another user's
// folder): the host says once that the pool is off for the session, shows
// it in the panel, leaves what it found alone and writes nothing more about
// it, however long the user keeps the pool turned on. Held by another host
// of the same user: the pool stays off while that host lives, and turning it
// on once that host has quit takes the folder and runs the pool.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>

#include "plugin/simhost_pool_run.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

size_t times_in(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

class PoolFolderRun : public testing::SimhostPoolRun {};

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  return names;
}

TEST_F(PoolFolderRun, AnUnusablePoolFolderIsSaidOnceAndLeftAlone) {
  struct Row {
    const char* name;
    std::function<void(const fs::path& pool, const fs::path& root)> make;
    std::function<bool(const fs::path& pool, const fs::path& root)> intact;
  };
  const auto user_folder = [](const fs::path& root) { return root / "elsewhere"; };
  std::vector<Row> rows = {
      {"a link to a folder",
       [&](const fs::path& pool, const fs::path& root) {
         fs::create_directories(user_folder(root));
         ::chmod(user_folder(root).c_str(), 0700);
         std::ofstream(user_folder(root) / "keep.txt") << "mine";
         fs::create_directory_symlink(user_folder(root), pool);
       },
       [&](const fs::path& pool, const fs::path& root) {
         return fs::is_symlink(pool) && testing::read_text(user_folder(root) / "keep.txt") == "mine" &&
                std::distance(fs::directory_iterator(user_folder(root)), fs::directory_iterator()) == 1;
       }},
      {"a folder others may write into",
       [](const fs::path& pool, const fs::path&) {
         fs::create_directory(pool);
         ::chmod(pool.c_str(), 0777);
       },
       [](const fs::path& pool, const fs::path&) {
         return fs::is_directory(pool) && fs::is_empty(pool);
       }},
      {"a plain file",
       [](const fs::path& pool, const fs::path&) { std::ofstream(pool) << "notes"; },
       [](const fs::path& pool, const fs::path&) {
         return fs::is_regular_file(pool) && testing::read_text(pool) == "notes";
       }},
  };
  if (::geteuid() == 0) {
    rows.push_back({"another user's folder",
                    [](const fs::path& pool, const fs::path&) {
                      fs::create_directory(pool);
                      ::chmod(pool.c_str(), 0700);
                      ASSERT_EQ(::chown(pool.c_str(), 65534, 65534), 0);
                    },
                    [](const fs::path& pool, const fs::path&) { return fs::is_directory(pool) && fs::is_empty(pool); }});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    row.make(pool_dir(), root_);
    // The pool stays on until the first pipeline report, five seconds in:
    // long enough for a pump that retried to write its line dozens of times.
    json events = pool_on_events();
    events.push_back({{"when", "text:Render engines off for this session"}, {"action", "wait"}});
    events.push_back(when_logged("PIPELINE(5s)", 1, {{"action", "quit"}}));
    auto r = run({}, events, 60.0);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const json s = summary();
    EXPECT_EQ(s["quit"], true) << s["still_waiting"];
    const std::string text = log();
    EXPECT_EQ(times_in(text, "ERROR: pool: DÉSACTIVÉ pour la session — "), 1u) << text;
    EXPECT_EQ(times_in(text, "pool: snapshot"), 0u) << text;
    EXPECT_EQ(times_in(text, "ERROR"), 1u) << text;
    EXPECT_TRUE(row.intact(pool_dir(), root_));
    EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
    fs::remove_all(root_);
  }
}

// Two hosts on one temporary folder: the second says, each time its pool is
// turned on, which host holds the folder, and keeps its pool off; once the
// first has quit, the toggle takes the folder, purges what the pool made
// there (and nothing else, through no link) and a batch runs.
TEST_F(PoolFolderRun, APoolFolderHeldByAnotherHostIsTakenOnceThatHostHasQuit) {
  const fs::path first = root_ / "first";
  const fs::path second = root_ / "second";
  const fs::path gone_marker = root_ / "first-gone.txt";
  const std::string refused = "INFO: velocinta: pool non activé — dossier " + pool_dir().string() +
                              " utilisé par le processus ";
  const auto logged = [](const fs::path& log, const std::string& text, json event) {
    event["when"] = {{"file", log.string()}, {"has", text}};
    return event;
  };

  // The first host turns its pool on and quits once the second has said
  // the folder is held.
  json first_events = pool_on_events();
  first_events.push_back(logged(log_path(second), refused, {{"action", "quit"}}));
  testing::ChildResult first_run;
  std::thread first_host([&] { first_run = run_in(first, {}, first_events, 60.0); });
  // The second host starts once the first holds the folder: its pool is on.
  bool first_holds = false;
  for (int i = 0; i < 6000 && !first_holds; ++i) {
    first_holds = testing::read_text(log_path(first)).find("INFO: velocinta: pool activé") != std::string::npos;
    if (!first_holds) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::string lock_text = testing::read_text(pool_dir() / "host.lock");
  const std::string first_pid = lock_text.substr(0, lock_text.find('\n'));

  // The panel paused on its first frame, so that the main thread leaves the
  // other frames to the pool; the toggle again once the first host is gone.
  json second_events = pool_on_events();
  second_events.push_back({{"when", {{"frames", 1}}}, {"action", "pause"}});
  second_events.push_back(logged(gone_marker, "gone", command(0, "velocinta: pool (toggle)")));
  // The purge runs beside the batch: the run ends once both are seen done.
  for (const char* left : {"partial-9-9-9", "job_9_9_9"})
    second_events.push_back({{"when", {{"folder", pool_dir().string()}, {"no_entry", left}}}, {"action", "wait"}});
  second_events.push_back(logged(log_path(second), "S5 pool : image", {{"action", "quit"}}));
  testing::ChildResult second_run;
  std::thread second_host;
  if (first_holds) second_host = std::thread([&] { second_run = run_in(second, {}, second_events, 90.0); });
  first_host.join();
  // What an earlier host left: the pool's own, and a user's file and folder.
  fs::create_directories(root_ / "documents");
  std::ofstream(root_ / "documents" / "keep.txt") << "mine";
  std::ofstream(pool_dir() / "partial-9-9-9.aep") << "old copy";
  std::ofstream(pool_dir() / "notes.txt") << "mine";
  fs::create_directory_symlink(root_ / "documents", pool_dir() / "job_9_9_9");
  std::ofstream(gone_marker) << "gone";
  if (second_host.joinable()) second_host.join();

  ASSERT_TRUE(first_holds) << first_run.output << testing::read_text(log_path(first));
  ASSERT_EQ(first_run.exit_code, 0) << first_run.output;
  EXPECT_NE(first_run.output.find("in-pid-namespace: no process left"), std::string::npos) << first_run.output;
  ASSERT_EQ(second_run.exit_code, 0) << second_run.output;
  EXPECT_NE(second_run.output.find("in-pid-namespace: no process left"), std::string::npos) << second_run.output;
  const std::string text = testing::read_text(log_path(second));
  ASSERT_FALSE(first_pid.empty());
  EXPECT_EQ(times_in(text, refused), 1u) << text;
  EXPECT_EQ(times_in(text, refused + first_pid + "\n"), 1u) << "the first host's pid\n" << text;
  EXPECT_EQ(times_in(text, "velocinta: pool activé"), 1u) << text;
  EXPECT_LT(text.find(refused), text.find("velocinta: pool activé")) << text;
  EXPECT_LT(text.find("velocinta: pool activé"), text.find("S5 pool : image")) << text;
  EXPECT_EQ(times_in(text, "DÉSACTIVÉ"), 0u) << text;
  EXPECT_EQ(times_in(text, "ERROR"), 0u) << text;
  EXPECT_EQ(summary_in(second)["quit"], true);
  EXPECT_FALSE(fs::exists(fs::symlink_status(pool_dir() / "partial-9-9-9.aep")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(pool_dir() / "job_9_9_9")));
  EXPECT_EQ(testing::read_text(pool_dir() / "notes.txt"), "mine");
  EXPECT_EQ(testing::read_text(root_ / "documents" / "keep.txt"), "mine");
}

// A host holds the folder and runs a batch that stays under way (its worker
// 0 hangs) when the folder's lock file is removed, as a temporary-file
// cleaner or the user would: a second host's toggle leaves the folder alone
// and keeps its pool off, and its quit leaves the warm-up folder in place.
// Then the folder itself is moved away: the first host turns its pool off
// with one line and writes nothing more under the folder's path.
TEST_F(PoolFolderRun, AHostKeepsThePoolFolderWhateverBecomesOfItsLockFile) {
  const fs::path first = root_ / "first";
  const fs::path second = root_ / "second";
  const fs::path lock_removed = root_ / "lock-removed.txt";
  const fs::path second_gone = root_ / "second-gone.txt";
  const auto logged = [](const fs::path& log, const std::string& text, json event) {
    event["when"] = {{"file", log.string()}, {"has", text}};
    return event;
  };

  json first_events = pool_on_events();
  first_events.push_back({{"when", {{"frames", 1}}}, {"action", "pause"}});
  first_events.push_back(logged(second_gone, "gone", {{"action", "wait"}}));
  first_events.push_back(logged(log_path(first), "pool: DÉSACTIVÉ pour la session", {{"action", "quit"}}));
  testing::ChildResult first_run;
  std::thread first_host(
      [&] { first_run = run_in(first, {"SIM_AERENDER_HANG_AFTER=w0:2"}, first_events, 60.0); });
  // The second host starts once the first holds the folder, and turns its
  // pool on once the lock file is gone.
  const auto first_logged = [&](const std::string& text) {
    bool seen = false;
    for (int i = 0; i < 6000 && !seen; ++i) {
      seen = testing::read_text(log_path(first)).find(text) != std::string::npos;
      if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return seen;
  };
  const bool first_holds = first_logged("INFO: velocinta: pool activé");
  json second_events = json::array({command(50, "Velocinta")});
  second_events.push_back(logged(lock_removed, "removed", command(0, "velocinta: pool (toggle)")));
  second_events.push_back(logged(log_path(second), "velocinta: pool ", {{"action", "quit"}}));
  testing::ChildResult second_run;
  std::thread second_host;
  if (first_holds) second_host = std::thread([&] { second_run = run_in(second, {}, second_events, 60.0); });

  // The first host's batch under way: its job folder, its snapshot, its
  // worker record.
  const bool first_runs = first_holds && first_logged("S5 pool : image");
  const std::vector<fs::path> first_jobs = job_dirs();
  fs::remove(pool_dir() / "host.lock");
  const std::vector<std::string> first_entries = entries(pool_dir());
  fs::create_directories(pool_dir() / "warmup" / "w0");
  std::ofstream(pool_dir() / "warmup" / "w0" / "in_use.txt") << "engine";
  std::ofstream(lock_removed) << "removed";
  if (second_host.joinable()) second_host.join();
  const std::vector<fs::path> jobs_after_second = job_dirs();
  const std::vector<std::string> entries_after_second = entries(pool_dir());
  const bool warmup_after_second = fs::is_regular_file(pool_dir() / "warmup" / "w0" / "in_use.txt");
  // The folder moved away, as a cleaner of old folders might.
  fs::rename(pool_dir(), root_ / "tmp" / "moved_pool");
  std::ofstream(second_gone) << "gone";
  first_host.join();

  ASSERT_TRUE(first_runs) << first_run.output << testing::read_text(log_path(first));
  ASSERT_EQ(second_run.exit_code, 0) << second_run.output;
  EXPECT_NE(second_run.output.find("in-pid-namespace: no process left"), std::string::npos) << second_run.output;
  const std::string second_text = testing::read_text(log_path(second));
  EXPECT_EQ(times_in(second_text, "INFO: velocinta: pool non activé — dossier " + pool_dir().string() +
                                      " utilisé par le processus "),
            1u)
      << second_text;
  EXPECT_EQ(times_in(second_text, "velocinta: pool activé"), 0u) << second_text;
  EXPECT_EQ(times_in(second_text, "ERROR"), 0u) << second_text;
  EXPECT_EQ(summary_in(second)["quit"], true);
  EXPECT_FALSE(first_jobs.empty());
  EXPECT_EQ(jobs_after_second, first_jobs) << "the first host's job folder stays, and no other comes";
  EXPECT_GE(first_entries.size(), 3u);
  for (const std::string& name : first_entries) {
    if (name.front() == '.') continue;  // a record being rewritten
    EXPECT_NE(std::find(entries_after_second.begin(), entries_after_second.end(), name), entries_after_second.end())
        << name << " of the first host's gone";
  }
  EXPECT_TRUE(warmup_after_second) << "the second host's quit leaves the warm-up folder";

  ASSERT_EQ(first_run.exit_code, 0) << first_run.output;
  EXPECT_NE(first_run.output.find("in-pid-namespace: no process left"), std::string::npos) << first_run.output;
  const std::string first_text = testing::read_text(log_path(first));
  EXPECT_EQ(times_in(first_text, "ERROR"), 1u) << first_text;
  EXPECT_EQ(times_in(first_text, "ERROR: pool: DÉSACTIVÉ pour la session — dossier " + pool_dir().string() +
                                     " supprimé ou remplacé depuis sa prise\n"),
            1u)
      << first_text;
  EXPECT_EQ(summary_in(first)["quit"], true) << summary_in(first)["still_waiting"];
  EXPECT_FALSE(fs::exists(fs::symlink_status(pool_dir()))) << "nothing written there once lost";
}

// Before the host starts, a second name of a user's file as the folder's
// lock file, a folder of the user's where the log is moved aside, and a log
// past its size: the pid was written over the user's words, and the log
// grew at every run. Two runs with the pool on: the user's file keeps its
// words, the folder what it holds, the log stays under its size, and each is
// said once a run; the pool works in its folder.
TEST_F(PoolFolderRun, AUsersFileAsTheLockFileAndAFolderAsTheOldLogAreLeftAsTheyAre) {
  host_renders_async_ = true;
  const fs::path thesis = root_ / "thesis.txt", old_log = log_path().string() + ".old";
  const std::string words(19'000, 'w');
  std::ofstream(thesis) << words;
  fs::create_directory(pool_dir());
  fs::permissions(pool_dir(), fs::perms::owner_all);
  fs::create_hard_link(thesis, pool_dir() / "host.lock");
  fs::create_directories(old_log);
  std::ofstream(old_log / "notes.txt") << "mine";
  std::ofstream(log_path()) << std::string(8'500'000, 'x') << '\n';
  json events = pool_on_events();
  events.push_back(when_logged("PERF: SNAPSHOT ", 1, {{"action", "wait"}}));
  events.push_back(when_logged("S2 zone de travail en cache", 1, {{"action", "quit"}}));
  for (int run_index = 0; run_index < 2; ++run_index) {
    auto r = run({}, events, 40.0);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(summary()["quit"], true) << summary()["still_waiting"];
  }
  EXPECT_EQ(testing::read_text(thesis), words);
  EXPECT_EQ(testing::read_text(old_log / "notes.txt"), "mine");
  EXPECT_LT(fs::file_size(log_path()), 8u << 20);
  const std::string text = log();
  EXPECT_EQ(times_in(text, "ERROR: log: rotation impossible vers " + old_log.string() + " (dossier, laissé tel quel)"),
            1u)
      << text;
  EXPECT_EQ(times_in(text, "ERROR: pool: verrou non écrit — " + (pool_dir() / "host.lock").string() +
                               " : lien physique (2 noms), laissé tel quel\n"),
            2u)
      << text;
  EXPECT_EQ(times_in(text, "ERROR"), 3u) << text;
}

}  // namespace
}  // namespace vel
