#include "scenario/scenario.h"

#include <gtest/gtest.h>

#include "platform/metal_testing.h"
#include "simhost/cli.h"
#include "ui/metal_events.h"

namespace sim {
namespace {

using nlohmann::json;

TEST(Scenario, EventsRunInTimeOrderKeepingFileOrderForTies) {
  json doc = json::parse(R"({"events": [
    {"at_ms": 500, "action": "save"},
    {"at_ms": 100, "action": "command", "name": "first"},
    {"at_ms": 100, "action": "command", "name": "second"},
    {"at_ms": 0, "action": "edit", "pointer": "/compositions/0/width", "value": 8},
    {"at_ms": 300, "action": "show_modal"}
  ]})");
  Result<Scenario> s = scenario_from_json(doc);
  ASSERT_TRUE(s.ok()) << s.error();
  const auto& e = s.value().events;
  ASSERT_EQ(e.size(), 5u);
  EXPECT_EQ(e[0].kind, EventKind::edit);
  EXPECT_EQ(e[0].value, json(8));
  EXPECT_EQ(e[1].name, "first");
  EXPECT_EQ(e[2].name, "second");
  EXPECT_EQ(e[3].kind, EventKind::show_modal);
  EXPECT_EQ(e[4].kind, EventKind::save);
}

// A waiting event holds the later ones behind it: time order applies only
// between waits, and a waiting event may leave its time out.
TEST(Scenario, WaitingEventsKeepTheirPlaceInTheFile) {
  json doc = json::parse(R"({"events": [
    {"at_ms": 300, "action": "command", "name": "a"},
    {"at_ms": 100, "action": "command", "name": "b"},
    {"when": "picture_presented", "action": "screenshot"},
    {"at_ms": 900, "action": "command", "name": "c"},
    {"at_ms": 0, "action": "quit"},
    {"at_ms": 50, "when": "text:Update available", "action": "click", "x": 1, "y": 2},
    {"when": "no_text:VELOCINTAING", "action": "wait"},
    {"when": "link_opened", "action": "quit"}
  ]})");
  Result<Scenario> s = scenario_from_json(doc);
  ASSERT_TRUE(s.ok()) << s.error();
  const auto& e = s.value().events;
  ASSERT_EQ(e.size(), 8u);
  EXPECT_EQ(e[0].name, "b");
  EXPECT_EQ(e[1].name, "a");
  EXPECT_EQ(e[2].when, WaitFor::picture_presented);
  EXPECT_EQ(e[2].at_ms, 0u);
  EXPECT_EQ(e[3].kind, EventKind::quit);
  EXPECT_EQ(e[4].name, "c");
  EXPECT_EQ(e[5].when, WaitFor::text);
  EXPECT_EQ(e[5].when_text, "Update available");
  EXPECT_EQ(e[5].at_ms, 50u);
  EXPECT_EQ(e[6].kind, EventKind::wait);
  EXPECT_EQ(e[6].when, WaitFor::no_text);
  EXPECT_EQ(e[6].when_text, "VELOCINTAING");
  EXPECT_EQ(e[7].when, WaitFor::link_opened);
  EXPECT_EQ(e[7].when_source, "link_opened");
}

TEST(Scenario, AModalForAWhile) {
  Result<Scenario> s = scenario_from_json(json::parse(R"j({"events": [
    {"when": {"file": "/tmp/v.log", "has": "POOL_MEMORY_PHASE worker=Some(0)"}, "action": "modal", "ms": 6000}
  ]})j"));
  ASSERT_TRUE(s.ok()) << s.error();
  const ScenarioEvent& e = s.value().events.at(0);
  EXPECT_EQ(e.kind, EventKind::modal);
  EXPECT_EQ(e.value.get<int64_t>(), 6000);
  EXPECT_EQ(e.when, WaitFor::file_text);
  EXPECT_EQ(e.when_text, "POOL_MEMORY_PHASE worker=Some(0)");
  EXPECT_EQ(e.when_path, "/tmp/v.log");
  EXPECT_TRUE(e.when_after.empty());
}

TEST(Scenario, AFileConditionPastARangeTakesBothKeys) {
  Result<Scenario> s = scenario_from_json(json::parse(R"j({"events": [
    {"when": {"file": "/l", "has": "P", "after": "S ", "range_frames": 20}, "action": "wait"}
  ]})j"));
  ASSERT_TRUE(s.ok()) << s.error();
  EXPECT_EQ(s.value().events.at(0).when_after, "S ");
  EXPECT_EQ(s.value().events.at(0).when_range_frames, 20u);
  for (const char* when : {R"({"file": "/l", "has": "P", "after": "S "})", R"({"file": "/l", "has": "P", "range_frames": 3})",
                           R"({"file": "/l", "has": "P", "after": "", "range_frames": 3})",
                           R"({"file": "/l", "has": "P", "after": "S", "range_frames": 0})"}) {
    const json doc = {{"events", json::array({{{"when", json::parse(when)}, {"action", "wait"}}})}};
    EXPECT_FALSE(scenario_from_json(doc).ok()) << when;
  }
}

// What another program writes: a line of its log, a folder it removes.
TEST(Scenario, FileConditions) {
  json doc = json::parse(R"({"events": [
    {"when": {"file": "/l/v.log", "has": "POOL optimized="}, "action": "wait"},
    {"when": {"file": "/l/v.log", "has": "POOL optimized=", "count": 2}, "action": "command", "name": "x"},
    {"when": {"folder": "/t/velocinta_pool", "no_entry": "job_"}, "action": "wait"},
    {"when": {"folder": "/c/store", "files": ".vnf", "count": 48}, "action": "quit"}
  ]})");
  Result<Scenario> s = scenario_from_json(doc);
  ASSERT_TRUE(s.ok()) << s.error();
  const auto& e = s.value().events;
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].when, WaitFor::file_text);
  EXPECT_EQ(e[0].when_path, "/l/v.log");
  EXPECT_EQ(e[0].when_text, "POOL optimized=");
  EXPECT_EQ(e[0].when_count, 1u);
  EXPECT_EQ(e[1].when_count, 2u);
  EXPECT_EQ(e[2].when, WaitFor::no_entry);
  EXPECT_EQ(e[2].when_path, "/t/velocinta_pool");
  EXPECT_EQ(e[2].when_text, "job_");
  EXPECT_EQ(e[3].when, WaitFor::files);
  EXPECT_EQ(e[3].when_path, "/c/store");
  EXPECT_EQ(e[3].when_text, ".vnf");
  EXPECT_EQ(e[3].when_count, 48u);
  for (const char* bad : {R"({"file": "/l"})", R"({"file": "", "has": "x"})", R"({"folder": "/t"})",
                          R"({"file": "/l", "has": "x", "count": 0})", R"({"file": "/l", "has": "x", "no_entry": "j"})",
                          R"({"folder": "/t", "files": ""})", R"({"folder": "/t", "files": ".x", "no_entry": "j"})",
                          R"({"folder": "/t", "files": ".x", "count": 0})"}) {
    json e2 = json::parse(R"({"events": [{"action": "quit"}]})");
    e2["events"][0]["when"] = json::parse(bad);
    EXPECT_FALSE(scenario_from_json(e2).ok()) << bad;
  }
}

// What the panel showed and a pause, and a mark of the run's counters.
TEST(Scenario, FrameAndPauseConditionsAndMarks) {
  json doc = json::parse(R"({"events": [
    {"when": {"frames": 250}, "action": "mark", "name": "looped"},
    {"when": {"after_ms": 2000}, "action": "wait"},
    {"when": {"frames_total": 1}, "action": "wait"},
    {"when": {"idle_rounds": 1}, "action": "wait"}
  ]})");
  Result<Scenario> s = scenario_from_json(doc);
  ASSERT_TRUE(s.ok()) << s.error();
  const auto& e = s.value().events;
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].when, WaitFor::frames);
  EXPECT_EQ(e[0].when_count, 250u);
  EXPECT_EQ(e[0].kind, EventKind::mark);
  EXPECT_EQ(e[0].name, "looped");
  EXPECT_EQ(e[1].when, WaitFor::after_ms);
  EXPECT_EQ(e[1].when_source, "after_ms 2000");
  EXPECT_EQ(e[2].when, WaitFor::frames_total);
  EXPECT_EQ(e[3].when, WaitFor::idle_rounds);
  for (const char* bad : {R"({"frames": 0})", R"({"after_ms": 600001})", R"({"frames": 1.5})",
                          R"({"frames": 2, "after_ms": 3})", R"({"frames_total": 0})", R"({"idle_rounds": 0})"}) {
    json e2 = json::parse(R"({"events": [{"action": "quit"}]})");
    e2["events"][0]["when"] = json::parse(bad);
    EXPECT_FALSE(scenario_from_json(e2).ok()) << bad;
  }
  EXPECT_FALSE(scenario_from_json(json::parse(R"({"events": [{"at_ms": 0, "action": "mark"}]})")).ok())
      << "a mark needs a name";
}

TEST(Scenario, BadEventsAreRefused) {
  struct Case {
    const char* text;
    const char* want;
  };
  const Case cases[] = {
      {R"([])", "expected an object"},
      {R"({"events": {}})", "events: expected an array"},
      {R"({"events": [{"action": "save"}]})", "events[0]: missing \"at_ms\""},
      {R"({"events": [{"at_ms": -5, "action": "save"}]})", "at_ms: expected an integer"},
      {R"({"events": [{"at_ms": 1.5, "action": "save"}]})", "at_ms: expected an integer"},
      {R"({"events": [{"at_ms": 1, "action": "dance"}]})", "unknown action \"dance\""},
      {R"({"events": [{"at_ms": 1, "action": "command"}]})", "missing \"name\""},
      {R"({"events": [{"at_ms": 1, "action": "command", "name": ""}]})", "name: empty"},
      {R"({"events": [{"at_ms": 1, "action": "edit", "pointer": "a/b", "value": 1}]})", "not a JSON pointer"},
      {R"({"events": [{"at_ms": 1, "action": "edit", "pointer": "/a~2", "value": 1}]})", "not a JSON pointer"},
      {R"({"events": [{"at_ms": 1, "action": "edit", "pointer": "/a"}]})", "missing \"value\""},
      {R"({"events": [{"at_ms": 1, "action": "save", "path": 3}]})", "path: expected a string"},
      {R"({"events": [{"at_ms": 1, "action": "activate"}]})", "missing \"name\""},
      {R"({"events": [{"at_ms": 1, "action": "metal", "completion": "soon"}]})", "completion: expected"},
      {R"({"events": [{"at_ms": 1, "action": "metal", "fail_creation": "newFence"}]})", "fail_creation: not a creation"},
      {R"({"events": [{"at_ms": 1, "action": "metal", "fail_command_buffers": -1}]})", "expected a count"},
      {R"({"events": [{"at_ms": 1, "action": "metal", "fail_library": 3}]})", "expected a message or null"},
      {R"({"events": [{"at_ms": 1, "action": "metal", "width": 3}]})", "not a field of a metal event"},
      {R"({"events": [{"when": "soon", "action": "quit"}]})", "when: expected"},
      {R"({"events": [{"when": "text:", "action": "quit"}]})", "when: expected"},
      {R"({"events": [{"when": 3, "action": "quit"}]})", "when: expected"},
      {R"({"events": [{"when": "file_text:x", "action": "quit"}]})", "when: expected"},
      {R"({"events": [{"at_ms": 1, "action": "modal"}]})", "ms: expected"},
      {R"({"events": [{"at_ms": 1, "action": "modal", "ms": 0}]})", "ms: expected"},
      {R"({"events": [{"at_ms": 1, "action": "modal", "ms": 600001}]})", "ms: expected"},
  };
  for (const Case& c : cases) {
    Result<Scenario> s = scenario_from_json(json::parse(c.text));
    ASSERT_FALSE(s.ok()) << c.text;
    EXPECT_NE(s.error().find(c.want), std::string::npos) << c.text << " gave: " << s.error();
  }
}

// The stand-in GPU's timing and faults, set by a scenario event.
TEST(Scenario, MetalEventsSetTheStandInsCompletionAndFaults) {
  using namespace platform;
  Result<Scenario> s = scenario_from_json(json::parse(R"({"events": [
    {"at_ms": 0, "action": "metal", "completion": "held", "fail_creation": "nextDrawable", "count": 2},
    {"at_ms": 5, "action": "metal", "reset_faults": true}
  ]})"));
  ASSERT_TRUE(s.ok()) << s.error();
  ASSERT_TRUE(run_metal_event(s.value().events[0].value).ok());
  EXPECT_EQ(metal_completion(), MetalCompletion::held);
  auto layer = CAMetalLayer::layer();
  layer->setDevice(MTLCreateSystemDefaultDevice());
  {
    AutoreleasePool pool;
    EXPECT_FALSE(layer->nextDrawable());
    EXPECT_FALSE(layer->nextDrawable());
    EXPECT_TRUE(layer->nextDrawable()) << "only the next two fail";
  }
  ASSERT_TRUE(run_metal_event(s.value().events[1].value).ok());
  EXPECT_EQ(metal_completion(), MetalCompletion::device_thread) << "back to simhost's default";
  reset_metal_faults();
  EXPECT_TRUE(metal_misuse_record().empty());
}

TEST(CommandLine, ParsesRepeatedOptionsAndRefusesBadOnes) {
  Result<Options> o = parse_command_line({"--plugin", "p.so", "--project", "x.aep", "--command", "A", "--command",
                                          "B", "--hide-suite", "S", "--seconds", "0.5", "--out", "d", "--reap-children", "1"});
  ASSERT_TRUE(o.ok()) << o.error();
  EXPECT_EQ(o.value().commands, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(o.value().hidden_suites, (std::vector<std::string>{"S"}));
  EXPECT_DOUBLE_EQ(o.value().seconds, 0.5);
  EXPECT_TRUE(o.value().reap_children);

  const std::vector<std::vector<std::string>> bad = {
      {"--project", "x.aep"},
      {"--plugin", "p.so"},
      {"--plugin", "p.so", "--project", "x", "--seconds", "-1"},
      {"--plugin", "p.so", "--project", "x", "--seconds", "3s"},
      {"--plugin", "p.so", "--project", "x", "--seconds", "nan"},
      {"--plugin", "p.so", "--project", "x", "--verbose", "1"},
      {"--plugin", "p.so", "--project"},
      {"--plugin", "p.so", "--project", "x", "--reap-children", "yes"},
  };
  for (const auto& args : bad) EXPECT_FALSE(parse_command_line(args).ok()) << args.back();
}

}  // namespace
}  // namespace sim
