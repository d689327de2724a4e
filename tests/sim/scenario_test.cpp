#include "scenario.h"

#include <gtest/gtest.h>

#include "cli.h"

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
  };
  for (const Case& c : cases) {
    Result<Scenario> s = scenario_from_json(json::parse(c.text));
    ASSERT_FALSE(s.ok()) << c.text;
    EXPECT_NE(s.error().find(c.want), std::string::npos) << c.text << " gave: " << s.error();
  }
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
