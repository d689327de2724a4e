// What a batch costs the host's main thread, end to end in the stand-in
// host with the pool on and four workers: from the batch's first frame until
// the work area is cached, the host calls the idle hook about as often as
// frames come and its own timer ticks, and the hook takes a small share of
// the time, whether the workers' files are ready at once or one worker's
// are filled a second after they appear.
#include <gtest/gtest.h>

#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "plugin/simhost_pool_run.h"
#include "plugin/summary_marks.h"
#include "support/sanitized_build.h"

namespace vel {
namespace {

using nlohmann::json;

struct IdleRow {
  const char* name;
  std::vector<std::string> env;
};

void PrintTo(const IdleRow& row, std::ostream* os) { *os << row.name; }

class PoolIdleRun : public testing::SimhostPoolRun, public ::testing::WithParamInterface<IdleRow> {};

TEST_P(PoolIdleRun, ABatchLetsTheMainThreadRest) {
  json p = project();
  p["compositions"][0]["work_area"] = {{"start", {0, 24}}, {"duration", {24, 24}}};
  write_project(p);
  std::vector<std::string> env = GetParam().env;
  env.push_back("VELOCINTA_POOL_WORKERS=4");
  // The panel paused on its first frame: the pool renders the rest.
  const json events = json::array(
      {command(50, "Velocinta"), {{"when", {{"frames", 1}}}, {"action", "pause"}},
       command(0, "velocinta: pool (toggle)"),
       when_logged("S5 pool : image ", 1, {{"action", "mark"}, {"name", "first"}}),
       when_logged("S2 zone de travail en cache", 1, {{"action", "mark"}, {"name", "cached"}}),
       {{"at_ms", 0}, {"action", "quit"}}});
  const auto r = run(env, events, 90);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string text = log();
  std::smatch cached;
  ASSERT_TRUE(std::regex_search(text, cached, std::regex("S2 zone de travail en cache : .* pool ([0-9]+),"))) << text;
  EXPECT_GE(std::stoi(cached[1].str()), 12) << "the pool rendered most of the work area\n" << text;

  const json s = summary();
  const json* from = testing::find_mark(s, "first");
  const json* to = testing::find_mark(s, "cached");
  ASSERT_TRUE(from && to) << s.dump();
  const auto rise = [&](const char* field) { return (*to)[field].get<double>() - (*from)[field].get<double>(); };
  const double seconds = rise("at_ms") / 1000.0;
  ASSERT_GT(seconds, 0.0);
  const double calls_a_second = rise("idle_calls") / seconds, hook_share = rise("idle_hook_cpu_ms") / (seconds * 1000);
  // The frames and the host's 15 ms ticks make about a hundred calls a
  // second and the hook a few percent of the time (a tenth under the thread
  // sanitizer); a host woken by every scan that listed a file made 400 to
  // 5,000 a second, up to a quarter of the time in the hook (nearly half
  // under the thread sanitizer).
  EXPECT_LT(calls_a_second, 300.0) << seconds << " s";
  EXPECT_LT(hook_share, testing::kSanitized ? 0.25 : 0.06) << seconds << " s";
}

INSTANTIATE_TEST_SUITE_P(
    Workers, PoolIdleRun,
    ::testing::Values(IdleRow{"WritingAtOnce", {}},
                      IdleRow{"OneWritingEachFileASecondLate", {"SIM_AERENDER_LATE_WRITE_MS=w0:1000"}}),
    [](const ::testing::TestParamInfo<IdleRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vel
