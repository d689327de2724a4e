// The waits on another program's log: each match counts once, across the
// waits that follow one another on the same text and across the turns in
// which the file grows.
#include "scenario/scenario_waits.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace sim {
namespace {

struct Step {
  const char* append;  // written to the log before the check
  uint32_t count;      // the wait's count
  bool holds;
};

TEST(ScenarioWaits, FileTextCountsEachMatchOnce) {
  vel::testing::ScratchDir dir("vel-scenario-waits");
  ASSERT_TRUE(dir.ok());
  const std::string log = (dir.path() / "v.log").string();
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"a second wait does not count the first one's match again",
       {{"x POOL optimized= y\n", 1, true}, {"", 2, false}, {"POOL optimized=\n", 2, true}}},
      {"a match written across two turns",
       {{"a POOL opt", 1, false}, {"imized=\n", 1, true}}},
      {"several matches in one turn",
       {{"POOL optimized= POOL optimized= POOL optimized=\n", 3, true}}},
      {"fewer matches than asked",
       {{"POOL optimized=\n", 2, false}, {"other\n", 2, false}}},
  };
  for (const Case& c : cases) {
    std::ofstream(log, std::ios::trunc).close();
    ScenarioWaits waits(host(), "");
    for (const Step& step : c.steps) {
      std::ofstream(log, std::ios::app) << step.append;
      ScenarioEvent ev;
      ev.when = WaitFor::file_text;
      ev.when_path = log;
      ev.when_text = "POOL optimized=";
      ev.when_count = step.count;
      EXPECT_EQ(waits.holds(ev), step.holds) << c.name << " after \"" << step.append << "\"";
    }
  }
}

// A match counts only past the first whole line holding the "after" text
// with a range of at least so many frames.
TEST(ScenarioWaits, FileTextPastAWideEnoughRange) {
  vel::testing::ScratchDir dir("vel-scenario-waits");
  ASSERT_TRUE(dir.ok());
  const std::string log = (dir.path() / "v.log").string();
  struct Case {
    const char* name;
    std::vector<const char*> appends;  // one per turn
    std::vector<bool> holds;
  };
  const Case cases[] = {
      {"a narrow range's frames do not count",
       {"SPAWN w=0 range=19..21 \nPHASE w=0\n", "SPAWN w=0 range=22..49 \n", "PHASE w=0\n"}, {false, false, true}},
      {"a wide range, then its frame",
       {"SPAWN w=0 range=0..9 \nPHASE w=0\n"}, {true}},
      {"a range line still being written",
       {"SPAWN w=0 range=0..", "9 \n", "PHASE w=0\n"}, {false, false, true}},
      {"a line without a range",
       {"SPAWN w=0 at 0..99\nPHASE w=0\n"}, {false}},
  };
  for (const Case& c : cases) {
    std::ofstream(log, std::ios::trunc).close();
    ScenarioWaits waits(host(), "");
    for (size_t i = 0; i < c.appends.size(); ++i) {
      std::ofstream(log, std::ios::app) << c.appends[i];
      ScenarioEvent ev;
      ev.when = WaitFor::file_text;
      ev.when_path = log;
      ev.when_text = "PHASE w=0";
      ev.when_after = "SPAWN w=0 ";
      ev.when_range_frames = 10;
      EXPECT_EQ(waits.holds(ev), c.holds[i]) << c.name << " after \"" << c.appends[i] << "\"";
    }
  }
}

// Files another program stores: counted at any depth by their names'
// ending; a temporary beside them does not count, a missing folder has none.
TEST(ScenarioWaits, FilesCountAtAnyDepthByTheirEnding) {
  vel::testing::ScratchDir dir("vel-scenario-files");
  ASSERT_TRUE(dir.ok());
  ScenarioWaits waits(host(), "");
  ScenarioEvent ev;
  ev.when = WaitFor::files;
  ev.when_path = (dir.path() / "store").string();
  ev.when_text = ".vnf";
  ev.when_count = 2;
  EXPECT_FALSE(waits.holds(ev)) << "no folder yet";
  std::filesystem::create_directories(dir.path() / "store" / "a");
  std::ofstream(dir.path() / "store" / "a" / "v1.vnf") << "x";
  std::ofstream(dir.path() / "store" / "a" / "v2.vnf.1.tmp") << "x";
  EXPECT_FALSE(waits.holds(ev));
  std::ofstream(dir.path() / "store" / "v3.vnf") << "x";
  EXPECT_TRUE(waits.holds(ev));
}

// Idle rounds count from the turn the event's wait began, not from the run's
// start nor from an earlier wait's.
TEST(ScenarioWaits, IdleRoundsCountFromTheWaitsTurn) {
  ScenarioWaits waits(host(), "");
  waits.note_idle_round();
  waits.note_idle_round();
  ScenarioEvent first, second;
  first.when = second.when = WaitFor::idle_rounds;
  second.when_count = 2;
  EXPECT_FALSE(waits.holds(first)) << "no round yet since its turn came";
  EXPECT_FALSE(waits.holds(first));
  waits.note_idle_round();
  EXPECT_TRUE(waits.holds(first));
  EXPECT_FALSE(waits.holds(second));
  waits.note_idle_round();
  EXPECT_FALSE(waits.holds(second));
  waits.note_idle_round();
  EXPECT_TRUE(waits.holds(second));
}

}  // namespace
}  // namespace sim
