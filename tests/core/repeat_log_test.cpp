#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/repeat_log.h"

namespace vel {
namespace {

// One step of a script: a failure (message set) or an end (message empty)
// under a key, and the lines the suppressor must answer for it.
struct Step {
  const char* key;
  const char* message;  // nullptr: the condition under `key` ended
  std::vector<LogOutput> want;
};

LogOutput error(std::string m) { return {"ERROR", std::move(m), LogReach::File}; }
LogOutput info(std::string m) { return {"INFO", std::move(m), LogReach::File}; }

TEST(RepeatSuppressor, Scripts) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"first failure is written, repeats are only counted",
       {{"a", "boom", {error("boom")}}, {"a", "boom", {}}, {"a", "boom", {}}}},
      {"the end writes the count as news",
       {{"a", "boom", {error("boom")}},
        {"a", "boom", {}},
        {"a", "boom", {}},
        {"a", nullptr, {info("boom (repeated 2 more times, then stopped)")}}}},
      {"one repeat says time, not times",
       {{"a", "boom", {error("boom")}},
        {"a", "boom", {}},
        {"a", nullptr, {info("boom (repeated 1 more time, then stopped)")}}}},
      {"a single failure that ends needs no summary", {{"a", "boom", {error("boom")}}, {"a", nullptr, {}}}},
      {"an end without a failure writes nothing", {{"a", nullptr, {}}}},
      {"a changed failure summarises the old one, then writes the new",
       {{"a", "limit", {error("limit")}},
        {"a", "limit", {}},
        {"a", "refused", {error("limit (repeated 1 more time, then changed)"), error("refused")}},
        {"a", "refused", {}}}},
      {"a change right after the first line writes only the new one",
       {{"a", "limit", {error("limit")}}, {"a", "refused", {error("refused")}}}},
      {"after an end the same failure is written again",
       {{"a", "boom", {error("boom")}}, {"a", nullptr, {}}, {"a", "boom", {error("boom")}}}},
      {"keys are counted apart",
       {{"a", "boom", {error("boom")}},
        {"b", "boom", {error("boom")}},
        {"a", "boom", {}},
        {"b", nullptr, {}},
        {"a", nullptr, {info("boom (repeated 1 more time, then stopped)")}}}},
  };
  for (const Case& c : cases) {
    RepeatSuppressor s;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& st = c.steps[i];
      auto got = st.message ? s.failed(st.key, "ERROR", st.message, LogReach::File) : s.ended(st.key);
      EXPECT_EQ(st.want, got) << c.name << ", step " << i;
    }
  }
}

TEST(RepeatSuppressor, AtQuitEveryConditionStillOnIsCountedWithItsLevelAndReach) {
  RepeatSuppressor s;
  EXPECT_EQ(1u, s.failed("suite", "ERROR", "Suite not found: X", LogReach::FileAndSystem).size());
  for (int i = 0; i < 1000; ++i) {
    EXPECT_TRUE(s.failed("suite", "ERROR", "Suite not found: X", LogReach::FileAndSystem).empty());
  }
  s.failed("worker", "ERROR", "limit", LogReach::File);
  s.failed("worker", "ERROR", "limit", LogReach::File);
  s.failed("once", "ERROR", "single", LogReach::File);
  const std::vector<LogOutput> want = {
      {"ERROR", "Suite not found: X (repeated 1000 more times, until quit)", LogReach::FileAndSystem},
      {"ERROR", "limit (repeated 1 more time, until quit)", LogReach::File},
  };
  EXPECT_EQ(want, s.end_all());
  EXPECT_TRUE(s.ended("suite").empty()) << "nothing left after the shut-down";
}

}  // namespace
}  // namespace vel
