// The pool's batches in the stand-in host, end to end, inside a private pid
// namespace: the sample project renders through a batch of the stand-in
// aerender in PSD, in TGA and through shared memory, the memory tick
// measures it, an edit ends it with its report, and once simhost has exited
// no process (and no shared-memory segment) is left.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>

#include "core/machine.h"
#include "plugin/simhost_pool_run.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;

class PoolBatchRun : public testing::SimhostPoolRun {
 protected:
  // The panel paused on its first frame: a playing panel makes the frames
  // its playback reaches itself, and these slow workers' would all come
  // after it.
  static json batch_then_edit() {
    return json::array({command(50, "Velocinta"), command(100, "velocinta: pool (toggle)"),
                        {{"when", {{"frames", 1}}}, {"action", "pause"}},
                        {{"at_ms", 2600}, {"action", "edit"}, {"pointer", "/compositions/0/layers/1/solid/color"},
                         {"value", json::array({0.2, 0.8, 0.3})}}});
  }
  // What a normal quit left in the pool folder. The folder's lock and the
  // record of its workers stay: they are how the next host knows this one is
  // gone and what it may have left running.
  std::vector<std::string> left_in_pool_dir() {
    std::vector<std::string> left;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(pool_dir(), ec))
      if (e.path().filename() != "host.lock" && e.path().filename() != "workers")
        left.push_back(e.path().filename().string());
    return left;
  }
};

TEST_F(PoolBatchRun, ABatchRendersInEachFileFormatAndAnEditEndsIt) {
  for (const char* format : {"psd", "tga"}) {
    SetUp();
    // Slow frames: the batch still runs when the memory tick samples it. Each
    // of its two workers renders 4 frames; at 200 ms a frame a worker lived
    // about one sampling period, so the samples could fall, tick after tick,
    // on the changes of worker, where the new client has no engine yet and
    // the sample is rightly incomplete. At 300 ms every worker outlives a
    // period with its engine running.
    auto r = run({std::string("VELOCINTA_OUTPUT_FORMAT=") + format, "SIM_AERENDER_FRAME_MS=300"}, batch_then_edit(), 3.2);
    ASSERT_EQ(r.exit_code, 0) << format << "\n" << r.output;
    EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
    const std::string text = log();
    EXPECT_TRUE(std::regex_search(text, std::regex("DELIVERY use_pool=true reason=pool_next_batch_ready ranges=[0-9]+ "
                                                   "ranges_in_window=[0-9]+ window=[0-9]+ "
                                                   "measured_first_ms=(None|Some\\([0-9.e+-]+\\)) "
                                                   "measured_per_frame_ms=(None|Some\\([0-9.e+-]+\\))\n")))
        << text;
    // The batch ends by its close or by the edit, with its report either way.
    EXPECT_TRUE(std::regex_search(text, std::regex("PERF: POOL optimized=true clients=[0-9]+ peak_active=[0-9]+ "
                                                   "frames=[0-9]+/[0-9]+ .* output_format=" +
                                                   std::string(format) + "\n")))
        << text;
    EXPECT_NE(text.find("PERF: POOL_MEMORY clients=1 "), std::string::npos) << text;
    EXPECT_NE(text.find("S5 pool"), std::string::npos) << "frames of the pool reach the cache\n" << text;
    // With the defaults the batch starts with one engine, and the admission
    // verdict is written once per change of (reason, target).
    EXPECT_TRUE(std::regex_search(text, std::regex("PERF: POOL optimized=true clients=[0-9]+ peak_active=1 ")))
        << text;
    const std::regex admission("POOL_ADMISSION reason=([A-Za-z]+) target=([0-9]+) ");
    std::string last;
    size_t admissions = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), admission), end; it != end; ++it, ++admissions) {
      const std::string pair = (*it)[1].str() + "/" + (*it)[2].str();
      EXPECT_NE(pair, last) << "the same verdict written twice in a row";
      last = pair;
    }
    EXPECT_GE(admissions, 1u) << text;
    EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
    // The host keeps its disk store whichever transport its workers use.
    EXPECT_TRUE(fs::is_directory(root_ / "home" / "Library" / "Caches" / "velocinta" / "framestore-fast-v1")) << format;
    // The batch's job folder goes to the deferred file work once the batch
    // ends; the death hook may come first, and the next load purges it.
    EXPECT_LE(job_dirs().size(), 1u);
    fs::remove_all(root_);
  }
}

// Four workers asked for, as a user runs the pool (measured admission, the
// adaptive scheduler and the ramp as they come), the panel paused: the main
// thread renders only what the playhead needs, the pool fills the rest of the work area
// with as many engines at once as the launch found memory for, the work
// area is said cached only once it is, and a normal quit leaves nothing in
// the temporary directory.
TEST_F(PoolBatchRun, FourWorkersFillTheWorkArea) {
  for (const char* format : {"psd", "tga"}) {
    SetUp();
    // No 3D layer: a 3D composition gets one worker.
    json project = json::parse(read_text(project_));
    for (auto& layer : project["compositions"][0]["layers"]) layer["three_d"] = false;
    std::ofstream(project_) << project.dump();
    // The panel paused on its first frame: a playing panel makes itself the
    // frames its playback reaches before the workers, which a loaded machine
    // slows below the playback's pace.
    json events = pool_on_events();
    events.push_back({{"when", {{"frames", 1}}}, {"action", "pause"}});
    events.push_back(when_logged("S2 zone de travail en cache", 1, {{"action", "quit"}}));
    auto r = run({std::string("VELOCINTA_OUTPUT_FORMAT=") + format, "VELOCINTA_POOL_WORKERS=4"}, events, 40.0);
    ASSERT_EQ(r.exit_code, 0) << format << "\n" << r.output;
    EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
    const std::string text = log();
    // The line says where each of the 240 frames came from, the pool's
    // among them.
    std::smatch s2;
    ASSERT_TRUE(std::regex_search(text, s2,
                                  std::regex("S2 zone de travail en cache : images 0\\.\\.239 \\(sync ([0-9]+), "
                                             "async ([0-9]+), pool ([0-9]+)(, disque ([0-9]+))?, ds [0-9]+\\)\n")))
        << text;
    const auto count = [&s2](int i) { return s2[i].matched ? std::stoul(s2[i].str()) : 0ul; };
    EXPECT_LE(count(1), 24u) << "the main thread rendered the pool's frames\n" << text;
    EXPECT_GT(count(3), 0u) << s2.str();
    EXPECT_EQ(count(1) + count(2) + count(3) + count(5), 240u) << s2.str();
    // Said once every frame is in: the pool's frames reached the cache before.
    const size_t s2_at = text.find("S2 zone de travail en cache");
    const size_t last_frame = text.rfind("S5 pool", s2_at);
    EXPECT_NE(last_frame, std::string::npos) << text;
    const std::regex end_line("PERF: POOL optimized=true clients=[0-9]+ peak_active=([0-9]+) frames=([0-9]+)/([0-9]+) "
                              ".* output_format=" + std::string(format));
    size_t batches = 0, peak = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), end_line), end; it != end; ++it, ++batches) {
      EXPECT_EQ((*it)[2].str(), (*it)[3].str()) << "every batch closed whole: " << it->str();
      peak = std::max<size_t>(peak, std::stoul((*it)[1].str()));
    }
    EXPECT_GE(batches, 1u) << text;
    // Each launch's admission (its record at 0 ms) says how many engines the
    // machine had room for: those the available memory holds beside the
    // 4 GiB reserve, at most the 4 asked. It starts them all at once; fewer
    // than 3 only when the memory it printed is short. A launch with a single
    // range (an early batch holds only the frames the disk store has already
    // answered for) has one engine to start, and says Capacity.
    const std::regex launch_line("POOL_ADMISSION reason=([A-Za-z]+) target=([0-9]+) available_bytes=([0-9]+) "
                                 "peak_engine_bytes=[0-9]+ next_engine_bytes=([0-9]+) .* elapsed_ms=0\\.0\n");
    constexpr uint64_t kReserve = 4ull << 30;
    // The batch's workers: the 4 asked, within 80 % of the processors the
    // host may run on.
    const uint64_t threads = std::max<uint64_t>(usable_cpu_count().value_or(1), 1);
    const uint64_t workers = std::min<uint64_t>(4, std::max<uint64_t>(threads * 80 / 100, 1));
    uint64_t most_room = 0, most_target = 0;
    size_t judged = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), launch_line), end; it != end; ++it) {
      const std::smatch& launch = *it;
      if (launch[1].str() == "Capacity" && launch[2].str() == "1") continue;
      ++judged;
      // A processor already saturated (a reading the record does not print)
      // starts one engine whatever the memory: no room to judge there.
      if (launch[1].str() == "Pressure" && launch[2].str() == "1") continue;
      const uint64_t available = std::stoull(launch[3].str());
      const uint64_t need = std::stoull(launch[4].str());
      ASSERT_GT(need, 0u) << launch.str();
      const uint64_t room = available < kReserve ? 0 : std::min<uint64_t>((available - kReserve) / need, workers);
      // It starts as many as it has ranges for, up to that room.
      const uint64_t target = std::stoull(launch[2].str());
      EXPECT_LE(target, std::max<uint64_t>(room, 1)) << launch.str();
      EXPECT_EQ(launch[1].str(), target >= 2 ? "Admit" : room >= 2 ? "Capacity" : "Headroom") << launch.str();
      most_room = std::max(most_room, room);
      most_target = std::max(most_target, target);
    }
    // On one or two processors the pool runs a single worker, so every
    // launch has one engine to start and none is judged here.
    if (workers >= 2) {
      EXPECT_GE(judged, 1u) << "no launch had more than one range to start\n" << text;
    }
    EXPECT_GE(most_target, std::min<uint64_t>(most_room, 3)) << "no launch started the engines it had room for\n" << text;
    EXPECT_GE(peak, most_target) << "fewer engines at once than a launch started\n" << text;
    EXPECT_TRUE(pool_threads_left().empty()) << pool_threads_left().front();
    EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
    const std::vector<std::string> left = left_in_pool_dir();
    EXPECT_TRUE(left.empty()) << left.front();
    fs::remove_all(root_);
  }
}

// The pool turned on as a user turns it on, every other switch at its
// default: the host's render manager takes the missing frames while the
// pool waits for its renders. The work area is said cached once every frame
// is in, and the quit leaves no process, thread or file of either producer.
TEST_F(PoolBatchRun, WithEveryDefaultTheWorkAreaFillsAndTheQuitLeavesNothing) {
  host_renders_async_ = true;
  json events = pool_on_events();
  events.push_back(when_logged("S2 zone de travail en cache", 1, {{"action", "quit"}}));
  auto r = run({}, events, 40.0);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
  const std::string text = log();
  EXPECT_TRUE(std::regex_search(text, std::regex("S2 zone de travail en cache : images 0\\.\\.239 "))) << text;
  EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
  EXPECT_TRUE(pool_threads_left().empty()) << pool_threads_left().front();
  const std::vector<std::string> left = left_in_pool_dir();
  EXPECT_TRUE(left.empty()) << left.front();
}

// The shared-memory segments a process created: "vnx_" + its pid in eight
// hex digits + "_" + a nonce.
std::vector<std::string> segments_of(uint64_t pid) {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "vnx_%08llx_", static_cast<unsigned long long>(pid));
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/dev/shm", ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(prefix, 0) == 0) out.push_back(name);
  }
  return out;
}

TEST_F(PoolBatchRun, AMemoryBatchHandsItsFramesToItsReaderAndAnEditEndsIt) {
  // simhost is the namespace's second process: segments already there under
  // that pid belong to other namespaces, not to this run.
  const auto before = segments_of(2);
  json events = batch_then_edit();
  events.insert(events.begin(), make_memory_template());
  auto r = run({"VELOCINTA_OUTPUT_FORMAT=memory"}, events, 3.2);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
  const std::string text = log();
  EXPECT_NE(text.find("DELIVERY use_pool=true reason=pool_next_batch_ready"), std::string::npos) << text;
  EXPECT_TRUE(std::regex_search(text, std::regex("PERF: POOL optimized=true clients=[0-9]+ peak_active=[0-9]+ "
                                                 "frames=[0-9]+/[0-9]+ .* output_format=vnm\n")))
      << text;
  // The module registers in the host as in the workers: no error at all.
  EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
  // The reader hands a frame on only once it emptied the slot: a second
  // frame in the cache means the module could add another.
  const std::regex cached("S5 pool : image [0-9]+/");
  EXPECT_GE(std::distance(std::sregex_iterator(text.begin(), text.end(), cached), std::sregex_iterator()), 2) << text;
  std::vector<std::string> left;
  for (const std::string& name : segments_of(2))
    if (std::find(before.begin(), before.end(), name) == before.end()) left.push_back(name);
  EXPECT_TRUE(left.empty()) << left.front();
}

TEST_F(PoolBatchRun, WithoutAerenderTheFirstLaunchDisablesThePoolOnce) {
  json events = json::array({command(50, "Velocinta"), command(100, "velocinta: pool (toggle)")});
  auto r = run({"VELOCINTA_AERENDER=/nonexistent/aerender"}, events, 1.5);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string text = log();
  const std::string line =
      "ERROR: pool: DÉSACTIVÉ pour la session — aerender introuvable (installer AE, ou VELOCINTA_AERENDER=/chemin)";
  const size_t first = text.find(line);
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_EQ(text.find(line, first + 1), std::string::npos) << text;
}

}  // namespace
}  // namespace vel
