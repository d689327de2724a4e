// The pool's shared-memory road in the stand-in host, end to end, inside a
// private pid namespace: the sample's work area filled through the plug-in's
// output module, then one row per fault of a memory worker (a crash inside
// the module's copy, a hostile producer, a modal window that outlasts the
// producer's patience). Every row ends with nothing left behind: no process
// in the namespace, no shared-memory name of simhost, no reader thread.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <span>

#include "plugin/simhost_pool_run.h"
#include "plugin/stored_frames.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::foreign_frames_in_store;
using testing::read_text;

const std::string kNotClean = "pool: memory output did not finish cleanly — PSD selected for a future batch";

// simhost is the namespace's second process, and the segments it makes are
// named after that pid: "vnx_00000002_" + a nonce.
std::set<std::string> simhost_segments() {
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/dev/shm", ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("vnx_00000002_", 0) == 0) out.insert(name);
  }
  return out;
}

// Names under simhost's pid that this run left: present after the run and
// still there once another namespace's short-lived segment (its producer
// unlinks the name on attaching) would have gone.
std::set<std::string> segments_left(const std::set<std::string>& before) {
  std::set<std::string> left;
  for (const std::string& n : simhost_segments())
    if (!before.count(n)) left.insert(n);
  for (int i = 0; i < 200 && !left.empty(); ++i) {
    ::usleep(10000);
    std::set<std::string> still;
    const std::set<std::string> now = simhost_segments();
    for (const std::string& n : left)
      if (now.count(n)) still.insert(n);
    left.swap(still);
  }
  return left;
}

size_t count_of(const std::string& text, const std::regex& re) {
  return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

class PoolMemoryRun : public testing::SimhostPoolRun {
 protected:
  void SetUp() override {
    SimhostPoolRun::SetUp();
    // Quick frames: a batch is under way within a second even in sanitizer
    // builds.
    json p = project();
    p["compositions"][0]["render_cost_ms"] = 8;
    write_project(p);
  }
  // simhost with memory output, where the scenario first makes
  // "velocinta-memory-v1" in the host's Output Module Templates dialog.
  testing::ChildResult run(std::vector<std::string> env, json events, double seconds) {
    env.push_back("VELOCINTA_OUTPUT_FORMAT=memory");
    events.insert(events.begin(), make_memory_template());
    before_ = simhost_segments();
    return SimhostPoolRun::run(env, events, seconds);
  }
  // An event that waits until the plug-in's log holds `text`.
  json when_logged(const std::string& text, const char* action) {
    return SimhostPoolRun::when_logged(text, 1, {{"action", action}});
  }
  // Frame files anywhere under the pool folder.
  std::vector<std::string> frame_files() {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(pool_dir(), ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (ec) break;
      if (it->path().filename().string().rfind("f_", 0) == 0) out.push_back(it->path().string());
    }
    return out;
  }
  // After every run: no process, no segment name, no reader or decoder.
  void expect_nothing_left(const testing::ChildResult& r) {
    EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
    const std::set<std::string> left = segments_left(before_);
    EXPECT_TRUE(left.empty()) << *left.begin();
    const std::vector<std::string> threads = pool_threads_left();
    EXPECT_TRUE(threads.empty()) << threads.front();
  }

  std::set<std::string> before_;
};

// The work area in the RAM cache: the in-process renders' first frames (the
// count the sweep's line gives) and the pool's frames ("S5 pool" lines)
// together cover 0..239.
bool work_area_cached(const std::string& text) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex("S2 zone de travail en cache : images 0\\.\\.239 \\(sync ([0-9]+),")))
    return false;
  std::set<int64_t> cached;
  for (int64_t f = 0; f < std::stoll(m[1].str()); ++f) cached.insert(f);
  const std::regex pool_frame("S5 pool : image ([0-9]+)/24 en cache");
  for (std::sregex_iterator it(text.begin(), text.end(), pool_frame), end; it != end; ++it)
    cached.insert(std::stoll((*it)[1].str()));
  return cached.size() == 240 && *cached.begin() == 0 && *cached.rbegin() == 239;
}

// Four workers asked for: memory output still runs one
// worker at a time, writes no frame file, and the work area is in the cache
// before the run ends, without PSD ever being chosen.
TEST_F(PoolMemoryRun, TheWorkAreaFillsThroughSharedMemoryOneWorkerAtATime) {
  // Paused on the first frame: a playing panel makes itself the frames its
  // playback reaches before the worker, anywhere in the work area.
  json events = pool_on_events();
  events.push_back({{"when", {{"frames", 1}}}, {"action", "pause"}});
  events.push_back(when_logged("S2 zone de travail en cache", "quit"));
  auto r = run({"VELOCINTA_POOL_WORKERS=4"}, events, 60.0);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string text = log();
  EXPECT_TRUE(work_area_cached(text)) << text;
  const std::regex any_end("PERF: POOL optimized=[a-z]+ clients=[0-9]+ peak_active=([0-9]+) .* output_format=([a-z]+)\n");
  size_t batches = 0;
  for (std::sregex_iterator it(text.begin(), text.end(), any_end), end; it != end; ++it, ++batches) {
    EXPECT_EQ((*it)[1].str(), "1") << it->str();
    EXPECT_EQ((*it)[2].str(), "vnm") << it->str();
  }
  EXPECT_GE(batches, 1u) << text;
  EXPECT_EQ(text.find("PSD selected"), std::string::npos) << text;
  EXPECT_EQ(text.find("repli PSD"), std::string::npos) << text;
  const std::vector<std::string> files = frame_files();
  EXPECT_TRUE(files.empty()) << files.front();
  // The module registers in the host as in the workers: no error at all,
  // and the template the scenario made in the host's dialog is the one the
  // pool's check found and the workers rendered through.
  EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
  EXPECT_NE(text.find("POOL_OUTPUT requested=vnm selected=vnm template=velocinta-memory-v1"), std::string::npos)
      << text;
  const json s = summary();
  EXPECT_EQ(s["output_modules"], json::array({"Velocinta Memory 8bpc"}));
  EXPECT_TRUE(s["scenario_failures"].empty()) << s["scenario_failures"];
  expect_nothing_left(r);
}

struct MemoryFaultRow {
  const char* name;
  std::vector<std::string> env;            // the fault's switches, scoped to "w0"
  bool modal = false;                      // a 6 s modal window once w0's first frame arrived
  std::vector<std::string> lines;          // in the plug-in's log (the workers' module writes there too)
  std::vector<std::string> absent = {};    // never in it
  std::string w0_line = "";                // in w0's own log (the stand-in's output)
};

// w0 fails in its own way; its reader ends and frees the one memory output,
// so the frames it did not hand over are replayed once, on w1 and through
// memory again; the batch then closes as unclean and PSD serves later ones.
TEST_F(PoolMemoryRun, AMemoryWorkerThatFailsIsReplayedOnceThenPsdIsSelected) {
  const MemoryFaultRow rows[] = {
      {"crash during a copy",
       {"SIM_AEIO_CRASH_IN_COPY=w0:3"},
       false,
       {"pool: worker 0 sorti en erreur (signal: 9 (SIGKILL))"},
       {},
       "aerender: killed during the module's copy, slot state 1"},
      {"hostile producer, duplicate frame",
       {"SIM_AEIO_HOSTILE=w0:duplicate"},
       false,
       {"pool: memory worker 0 rejected output: duplicate output frame"},
       {"pool: worker 0 sorti en erreur"},
       // No line names the job folder's logs, so the deferred file work
       // removes it with w0.log: the consumer's line is the evidence.
       ""},
      {"6 s modal window mid-batch",
       {},
       true,
       {"consumer did not acknowledge output slot", "pool: worker 0 sorti en erreur (exit status: 1)"}},
  };
  for (const MemoryFaultRow& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    // Paused, the playhead stays and its own renders do not race the batch.
    json events = pool_on_events();
    events.insert(events.begin() + 1, json{{"at_ms", 60}, {"action", "pause"}});
    if (row.modal) {
      // Behind the window no idle call drains the frame channel: the
      // reader holds a frame, the slot another, and the producer waits. A
      // range that fits in them (the channel's 4 frames, the reader's and
      // the slot's) ends clean behind any window: frames wait for a disk
      // store's answers, and a batch may start with a few only. The window
      // opens at the first frame of a w0 with well more than those 6 (a
      // batch under a sanitizer plans ranges of 10 to 20 frames).
      json modal = when_logged("POOL_MEMORY_PHASE worker=Some(0) ", "modal");
      modal["when"]["after"] = "POOL_MEMORY_SPAWN worker=0 ";
      modal["when"]["range_frames"] = 10;
      modal["ms"] = 6000;
      events.push_back(modal);
    }
    events.push_back(when_logged(kNotClean, "quit"));
    auto r = run(row.env, events, 60.0);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const std::string text = log();
    const json summary = json::parse(read_text(root_ / "out" / "summary.json"), nullptr, false);
    ASSERT_TRUE(summary.is_object()) << r.output;
    EXPECT_EQ(summary["modal_windows"], row.modal ? 1 : 0);
    for (const std::string& line : row.lines) EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    for (const std::string& line : row.absent) EXPECT_EQ(text.find(line), std::string::npos) << line << "\n" << text;
    EXPECT_NE(text.find(kNotClean), std::string::npos) << text;
    // The batch's ranges run one worker at a time through memory; w0's
    // frames that did not come through are queued once more behind them and
    // run on a later worker, through memory again (the token came back for
    // it), and never a third time.
    // A first batch may hold only a few frames, too few for the fault to
    // come (the crash is at w0's third copy): such batches end clean, and the
    // failing one is that of the last w0 started before the fault's line.
    struct Spawn {
      std::string worker, output;
      int64_t first, last;
      size_t at;
    };
    std::vector<Spawn> spawns;
    const std::regex spawn("POOL_MEMORY_SPAWN worker=([0-9]+) output=([^ ]*) range=(-?[0-9]+)\\.\\.(-?[0-9]+) ");
    for (std::sregex_iterator it(text.begin(), text.end(), spawn), end; it != end; ++it)
      spawns.push_back({(*it)[1].str(), (*it)[2].str(), std::stoll((*it)[3].str()), std::stoll((*it)[4].str()),
                        static_cast<size_t>(it->position())});
    const size_t fault_at = text.find(row.lines.front());
    ASSERT_NE(fault_at, std::string::npos) << text;
    size_t w0 = spawns.size();
    for (size_t i = 0; i < spawns.size() && spawns[i].at < fault_at; ++i)
      if (spawns[i].worker == "0") w0 = i;
    ASSERT_LT(w0, spawns.size()) << text;
    const Spawn& failing = spawns[w0];
    const std::string before = text.substr(0, failing.at), after = text.substr(failing.at);
    EXPECT_EQ(before.find("ERROR"), std::string::npos) << "the batches before end clean\n" << text;
    if (!row.w0_line.empty()) {
      const std::string w0_log = read_text(fs::path(failing.output).parent_path().parent_path() / "w0.log");
      EXPECT_NE(w0_log.find(row.w0_line), std::string::npos) << w0_log;
    }
    std::vector<Spawn> replays;
    for (size_t i = w0 + 1; i < spawns.size(); ++i)
      if (spawns[i].first <= failing.last && spawns[i].last >= failing.first) replays.push_back(spawns[i]);
    ASSERT_EQ(replays.size(), 1u) << text;
    EXPECT_GT(replays[0].first, failing.first) << "w0's first frame came through";
    EXPECT_EQ(replays[0].last, failing.last) << "the replay runs to w0's last frame";
    EXPECT_EQ(count_of(after, std::regex("PERF: POOL optimized=[a-z]+ .* output_format=vnm\n")), 1u) << text;
    expect_nothing_left(r);
    fs::remove_all(root_);
  }
}

// A worker that cuts its segment's file while the host reads it, over and
// over, once the host took its second frame: the host stands (no SIGBUS,
// whatever look and touch the cuts fall between), lets that output go, and
// the batch's other frames come from the other producers (the replay on a
// later worker, the host's own renders); nothing the cuts reached is cached.
// With the defaults: the host's render manager works beside the pool.
TEST_F(PoolMemoryRun, AWorkerThatCutsItsSegmentWhileTheHostReadsNeverFaultsIt) {
  host_renders_async_ = true;
  // The sample's own render cost, and 2D: on the 3D sample the pool starts
  // no worker while the host's render manager works.
  json p = project();
  p["compositions"][0]["render_cost_ms"] = 40;
  for (auto& layer : p["compositions"][0]["layers"]) layer["three_d"] = false;
  write_project(p);
  json events = pool_on_events();
  // The batch's end, then the work area's: either may come first.
  events.push_back(when_logged(kNotClean, "wait"));
  events.push_back(when_logged("S2 zone de travail en cache", "quit"));
  auto r = run({"SIM_AEIO_SHRINK_AFTER=w0:2"}, events, 60.0);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string text = log();
  EXPECT_TRUE(summary()["scenario_failures"].empty()) << summary()["scenario_failures"];
  // The cut w0 of the one batch that met the cuts.
  std::string cut_log;
  for (const fs::path& job : job_dirs()) {
    const std::string w0 = read_text(job / "w0.log");
    if (w0.find("aerender: the segment cut under the host") != std::string::npos) cut_log = w0;
  }
  ASSERT_FALSE(cut_log.empty()) << "no w0 met its cut\n" << text;
  EXPECT_NE(cut_log.find("aerender: the host let the output go"), std::string::npos) << cut_log;
  EXPECT_NE(text.find(kNotClean), std::string::npos) << text;
  // The frames the cut worker did not hand over came from the others.
  EXPECT_TRUE(std::regex_search(text, std::regex("S2 zone de travail en cache : images 0\\.\\.239 "))) << text;
  const auto [foreign, seen] =
      foreign_frames_in_store(root_ / "home" / "Library" / "Caches" / "velocinta" / "framestore-fast-v1", project());
  EXPECT_GT(seen, 0u);
  EXPECT_TRUE(foreign.empty()) << foreign.size() << " foreign, first " << foreign.front();
  expect_nothing_left(r);
}

}  // namespace
}  // namespace vel
