// A worker's slot, end to end in the stand-in host: a worker that has
// handed over its whole range and lingers (an engine slow to shut down)
// holds no slot, so the next ranges start and the batch ends without
// waiting out its linger; and a full volume under the pool folder is said
// once, no worker is sent into it, and the host's own renders fill the
// work area.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "plugin/simhost_pool_run.h"
#include "plugin/small_volume.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// The batches' end reports: their clients, frames and length.
struct EndReport {
  unsigned clients = 0;
  unsigned delivered = 0;
  unsigned expected = 0;
  double elapsed_ms = 0.0;
};
std::vector<EndReport> slot_end_reports(const std::string& text) {
  static const std::regex line(
      "PERF: POOL optimized=[a-z]+ clients=([0-9]+) peak_active=[0-9]+ frames=([0-9]+)/([0-9]+) [^\n]*"
      " elapsed_ms=([0-9.]+) [^\n]*\n");
  std::vector<EndReport> out;
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
    out.push_back({static_cast<unsigned>(std::stoul((*it)[1].str())), static_cast<unsigned>(std::stoul((*it)[2].str())),
                   static_cast<unsigned>(std::stoul((*it)[3].str())), std::stod((*it)[4].str())});
  return out;
}

// The log's millisecond stamp of the first line holding `what`.
std::optional<uint64_t> stamp_of(const std::string& text, const std::string& what) {
  const size_t at = text.find(what);
  if (at == std::string::npos) return std::nullopt;
  const size_t open = text.rfind("\n[", at);
  const size_t from = open == std::string::npos ? 1 : open + 2;
  return std::stoull(text.substr(from, text.find(']', from) - from));
}

class PoolSlotsRun : public testing::SimhostPoolRun {
 protected:
  // Runs the host with the pool on, paused after its first frame, until the
  // work area is cached; `text` is the plug-in's log once the run ended
  // with no process left. Call through ASSERT_NO_FATAL_FAILURE.
  void cache_the_work_area(std::vector<std::string> env, std::string& text) {
    json events = pool_on_events();
    events.push_back({{"when", {{"frames", 1}}}, {"action", "pause"}});
    events.push_back(when_logged("S2 zone de travail en cache", 1, {{"action", "quit"}}));
    auto r = run(std::move(env), events, 90.0);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
    text = log();
  }
};

// Four workers, the first of the first batch staying a minute after its
// last frame with its engine (the stand-in's pause before it ends, as an
// engine slow to shut down). Its slot goes to the next range as soon as
// its range is in, it is ended a moment later with its engines, quietly,
// and the work area is cached long before its minute is out.
TEST_F(PoolSlotsRun, AWorkerLingeringAfterItsLastFrameHoldsNoSlot) {
  json p = project();
  for (auto& layer : p["compositions"][0]["layers"]) layer["three_d"] = false;
  write_project(p);
  std::string text;
  ASSERT_NO_FATAL_FAILURE(cache_the_work_area({"VELOCINTA_POOL_WORKERS=4", "SIM_AERENDER_EXIT_DELAY_MS=0/w0:60000"}, text));
  const std::vector<EndReport> reports = slot_end_reports(text);
  ASSERT_GE(reports.size(), 1u) << text;
  std::printf("the first batch: %u workers, %u/%u frames, %.1f ms\n", reports[0].clients, reports[0].delivered,
              reports[0].expected, reports[0].elapsed_ms);
  EXPECT_LT(reports[0].elapsed_ms, 30'000.0) << "the batch waited out the linger\n" << text;
  EXPECT_EQ(reports[0].delivered, reports[0].expected) << text;
  const auto on = stamp_of(text, "velocinta: pool activé");
  const auto cached = stamp_of(text, "S2 zone de travail en cache : images 0..239");
  ASSERT_TRUE(on && cached) << text;
  EXPECT_LT(*cached - *on, 30'000u) << "the work area waited for the linger\n" << text;
  EXPECT_EQ(occurrences(text, "sorti en erreur"), 0u) << "a worker that owed nothing ended as a failure\n" << text;
  EXPECT_TRUE(pool_threads_left().empty()) << pool_threads_left().front();
}

// The host's home and temporary folder on one volume of 16 MiB, mounted
// for the test over its scratch folder in its own mount namespace.
class PoolFullVolumeRun : public PoolSlotsRun {
 protected:
  void SetUp() override {
    if (!testing::in_own_namespace()) GTEST_SKIP() << "no namespace of the test's own here: nothing is mounted";
    volume_.emplace(root_, kVolumeBytes);
    if (volume_->refused()) GTEST_SKIP() << "this namespace takes no mount: " << volume_->error();
    ASSERT_TRUE(volume_->mounted()) << "a tmpfs could not be mounted in the test's own namespace: " << volume_->error();
    PoolSlotsRun::SetUp();
  }
  void TearDown() override { volume_.reset(); }

  static constexpr uint64_t kVolumeBytes = 16ull << 20;
  static constexpr unsigned kFrames = 48;  // two seconds at 24 fps
  std::optional<testing::SmallVolume> volume_;
};

// A 1080p composition of two seconds at full size, four workers asked for,
// their frames raw Photoshop files of 8 MB: the volume holds less than a
// worker needs. It is said once, with
// the pool folder and the room left; no worker is sent to fail on it; the
// host renders every frame of the work area.
TEST_F(PoolFullVolumeRun, AFullVolumeIsSaidOnceAndTheHostFillsTheWorkArea) {
  json p = project();
  p["compositions"][0]["width"] = 1920;
  p["compositions"][0]["height"] = 1080;
  p["compositions"][0]["duration"] = json::array({kFrames, 24});
  p["compositions"][0]["work_area"] = {{"start", json::array({0, 24})}, {"duration", json::array({kFrames, 24})}};
  for (auto& layer : p["compositions"][0]["layers"]) layer["three_d"] = false;  // a 3D one gets a single worker
  write_project(p);
  const fs::path support = root_ / "home" / "Library" / "Application Support" / "velocinta";
  fs::create_directories(support);
  std::ofstream(support / "panel_options.json") << json{{"quality", 3}}.dump();  // full size
  std::string text;
  ASSERT_NO_FATAL_FAILURE(cache_the_work_area({"SIM_AERENDER_PSD=raw", "VELOCINTA_POOL_WORKERS=4"}, text));
  EXPECT_EQ(occurrences(text, "pool: volume plein"), 1u) << text;
  const std::regex said("INFO: pool: volume plein, workers arrêtés : le volume de " + pool_dir().string() +
                        " n'a plus que [0-9]+ Mio libres, il en faut 17 Mio à un worker \\(deux images\\) — "
                        "l'hôte rend les images\n");
  EXPECT_TRUE(std::regex_search(text, said)) << text;
  EXPECT_EQ(occurrences(text, "sorti en erreur"), 0u) << "workers sent into the full volume\n" << text;
  EXPECT_EQ(text.find("DÉSACTIVÉ"), std::string::npos) << text;
  std::smatch s2;
  ASSERT_TRUE(std::regex_search(text, s2, std::regex("S2 zone de travail en cache : images 0\\.\\.47 \\(sync ([0-9]+), "
                                                     "async ([0-9]+), pool 0,")))
      << text;
  EXPECT_EQ(std::stoul(s2[1].str()) + std::stoul(s2[2].str()), kFrames) << s2.str();
  EXPECT_TRUE(pool_threads_left().empty()) << pool_threads_left().front();
}

}  // namespace
}  // namespace vel
