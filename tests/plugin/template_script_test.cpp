// The plug-in's template program run for real in the stand-in host's script
// engine, over each road of its answer.
#include <stdlib.h>

#include <gtest/gtest.h>

#include "host/memory_output_module.h"
#include "pool/runtime/pool_runtime.h"
#include "pool/runtime/rs_templates.h"
#include "project/project_store.h"
#include "script/script_host.h"
#include "simhost/host.h"
#include "suites/suites.h"
#include "support/scratch_dir.h"
#include "ui/output_templates_dialog.h"

namespace vel {
namespace {

class TemplateScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    const char* old = getenv("HOME");
    if (old) old_home_ = old;
    setenv("HOME", dir_.path().c_str(), 1);
    sim::Project p;
    sim::Composition comp;
    comp.name = "Main";
    p.comps.push_back(comp);
    project_.open(p, (dir_.path() / "project.aep").string());
  }
  void TearDown() override {
    if (old_home_.empty()) unsetenv("HOME");
    else setenv("HOME", old_home_.c_str(), 1);
  }
  sim::ScriptRecord run(uint8_t output, std::vector<std::string> switches = {}) {
    sim::ScriptHost host;
    host.configure(true, sim::parse_script_switches(switches));
    return host.run(build_template_script(output), project_);
  }
  // The user's "velocinta-memory-v1", made as a user makes it: the plug-in's
  // module registered in this process's stand-in host, then the host's
  // Output Module Templates dialog.
  void make_memory_template() {
    static const bool registered = [] {
      sim::install_suites(sim::host());
      return register_memory_output(&sim::host().basic, sim::kPluginId, false).ok();
    }();
    ASSERT_TRUE(registered);
    ASSERT_TRUE(sim::make_output_module_template(sim::host().hooks.output_modules(),
                                                 {"velocinta-memory-v1", "Velocinta Memory 8bpc", "RGB + Alpha",
                                                  "Millions of Colors+", "Straight (Unmatted)"}));
  }
  std::vector<std::string> templates() {
    sim::ScriptHost host;
    return host.template_names();
  }

  testing::ScratchDir dir_{"vel-script"};
  std::string old_home_;
  sim::ProjectStore project_;
};

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

TEST_F(TemplateScriptTest, CreatesOnceThenApplies) {
  uint64_t before = project_.change_count();
  auto first = run(kOutputTga);
  ASSERT_EQ(first.error, "");
  EXPECT_EQ(first.result.rfind("created|", 0), 0u) << first.result;
  EXPECT_NE(first.result.find("|output=tga|"), std::string::npos) << first.result;
  for (const char* name : {"velocinta-quarter-v6", "velocinta-half-v6", "velocinta-extreme-v6", "velocinta-tga-v1"})
    EXPECT_TRUE(contains(templates(), name)) << name;
  EXPECT_EQ(project_.change_count(), before + 2);  // the queue item added and removed
  EXPECT_FALSE(project_.dirty());
  // A second run finds every template: with saving refused it still succeeds.
  auto second = run(kOutputTga, {"save-fails"});
  EXPECT_EQ(second.error, "");
  EXPECT_NE(second.result.find("|output=tga|"), std::string::npos) << second.result;
}

TEST_F(TemplateScriptTest, EachRoadOfTheAnswer) {
  struct Case {
    uint8_t output;
    std::vector<std::string> switches;
    std::string expected_piece;
    bool user_made_memory_template = false;
  } cases[] = {
      {kOutputPsd, {}, "|output=psd"},
      {kOutputMemory, {}, "|output=psd|memory-fallback:create velocinta-memory-v1 with Format Velocinta Memory 8bpc"},
      {kOutputMemory, {}, "|output=memory|", true},
      {kOutputPsd, {"sticky:Resolution"}, "err:velocinta-quarter-v6: Resolution=Full"},
      {kOutputPsd, {"save-fails"}, "err:cannot save render settings template velocinta-quarter-v6"},
      {kOutputPsd, {"remove-fails"}, "err:remove: render queue item cannot be removed"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(dir_.path() / "Library/Preferences/simhost-templates.json");
    if (c.user_made_memory_template) make_memory_template();
    auto r = run(c.output, c.switches);
    EXPECT_EQ(r.error, "");
    EXPECT_NE(r.result.find(c.expected_piece), std::string::npos) << r.result << " / " << r.error;
  }
}

TEST_F(TemplateScriptTest, NoCompositionAndES5Leftovers) {
  project_.open(sim::Project{}, "");
  EXPECT_EQ(run(kOutputPsd).result, "no-comp");
  sim::ScriptHost host;
  host.configure(true, {});
  for (const char* script : {"[1, 2].indexOf(2)", "JSON.stringify({})", "[1].forEach(function () {})"}) {
    auto r = host.run(script, project_);
    EXPECT_NE(r.error, "") << script;
  }
  EXPECT_NE(host.run("function (", project_).error, "");
  EXPECT_EQ(host.run("'abc'.indexOf('b')", project_).result, "1");  // String's own is ES3
  sim::ScriptHost off;
  off.configure(false, {});
  EXPECT_EQ(off.run("1", project_).error, "simhost: scripting is not available");
}

}  // namespace
}  // namespace vel
