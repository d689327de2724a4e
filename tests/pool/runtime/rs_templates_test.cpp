#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "core/log.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "pool/runtime/rs_templates.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

class TemplateTest : public ::testing::Test {
 protected:
  // The marker lives in the user's home, which tests running beside this
  // one share: each test gets a home of its own.
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    if (const char* home = getenv("HOME")) old_home_ = home;
    setenv("HOME", dir_.path().c_str(), 1);
    ASSERT_TRUE(open_log_file_at(dir_.path() / "velocinta.log", LogRole::Host));
  }
  void TearDown() override {
    close_log_file();
    if (old_home_.empty()) unsetenv("HOME");
    else setenv("HOME", old_home_.c_str(), 1);
  }
  std::string log() { return testing::read_text(dir_.path() / "velocinta.log"); }

  // A host whose script answers `result` (or fails the call with `call_error`).
  TemplateHost host(std::string result, std::string error = {}, std::string call_error = {}) {
    TemplateHost h;
    h.run_script = [=, this](const std::string& script) -> Result<TemplateHost::Ran> {
      last_script_ = script;
      if (!call_error.empty()) return err(call_error);
      return TemplateHost::Ran{result, error};
    };
    h.refresh_project_baseline = [this] { ++baseline_refreshes_; };
    return h;
  }

  testing::ScratchDir dir_{"vel-templates"};
  std::string old_home_;
  std::string last_script_;
  int baseline_refreshes_ = 0;
};

constexpr const char* kCreated = "created|fast preview: 8 bpc; motion blur off; quality, effects, solo, blending and "
                                 "guide layers: current settings";

constexpr const char* kMemoryFallbackLine =
    "INFO: pool: sortie mémoire demandée, mais le modèle de module de sortie « velocinta-memory-v1 » manque ou ne "
    "convient pas";

// A memory output asked for and not confirmed falls back to PSD, and the log
// says so at INFO with the script's reason: the user has a template to make.
TEST_F(TemplateTest, ResultsSelectTheTransport) {
  struct Case {
    uint8_t requested;
    std::string suffix;
    uint8_t selected;
    const char* said;  // the INFO line's end, or nullptr for no such line
  } cases[] = {
      {kOutputPsd, "|output=psd", kOutputPsd, nullptr},
      {kOutputTga, "|output=tga|alpha=straight-to-premultiplied-black", kOutputTga, nullptr},
      {kOutputMemory, "|output=tga|alpha=x", kOutputPsd, "ne convient pas — les workers rendent en PSD"},
      {kOutputMemory, "|output=memory|alpha=x", kOutputMemory, nullptr},
      {kOutputMemory, "|output=psd|memory-fallback:create velocinta-memory-v1 with Format", kOutputPsd,
       "(create velocinta-memory-v1 with Format) — les workers rendent en PSD ; ce modèle se crée une fois dans "
       "Modèles de module de sortie, format « Velocinta Memory 8bpc »\n"},
      {kOutputTga, "|output=tgax", kOutputPsd, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.suffix);
    ASSERT_TRUE(open_log_file_at(dir_.path() / "velocinta.log", LogRole::Host));
    std::filesystem::resize_file(dir_.path() / "velocinta.log", 0);
    PoolRuntime rt = new_pool_runtime(c.requested);
    rt.pool_enabled = true;
    ensure_rs_templates(rt, host(kCreated + c.suffix));
    EXPECT_EQ(rt.templates_ready, 1);
    EXPECT_EQ(rt.selected_output, c.selected);
    const std::string text = log();
    EXPECT_EQ(text.find(kMemoryFallbackLine) != std::string::npos, c.said != nullptr) << text;
    if (c.said != nullptr) {
      EXPECT_NE(text.find(c.said), std::string::npos) << text;
    }
  }
}

// Said once, however often the check runs again (a worker's template
// complaint sends it back to the script).
TEST_F(TemplateTest, TheMemoryFallbackIsSaidOnce) {
  PoolRuntime rt = new_pool_runtime(kOutputMemory);
  rt.pool_enabled = true;
  const std::string fallback = std::string(kCreated) + "|output=psd|memory-fallback:create velocinta-memory-v1";
  ensure_rs_templates(rt, host(fallback));
  note_template_failure(rt, "signalé par aerender sur un lot");
  ensure_rs_templates(rt, host(fallback));
  const std::string text = log();
  size_t n = 0;
  for (size_t at = text.find(kMemoryFallbackLine); at != std::string::npos; at = text.find(kMemoryFallbackLine, at + 1)) {
    ++n;
  }
  EXPECT_EQ(n, 1u) << text;
}

TEST_F(TemplateTest, TheScriptIsToldTheRequestedOutput) {
  for (auto [requested, word] : {std::pair{kOutputPsd, "\"psd\""}, {kOutputTga, "\"tga\""}, {kOutputMemory, "\"memory\""}}) {
    std::string script = build_template_script(requested);
    EXPECT_EQ(script.find("__VELOCINTA_OUTPUT_FORMAT__"), std::string::npos);
    EXPECT_NE(script.find(std::string("})(") + word + ")"), std::string::npos) << word;
  }
  // The host's ExtendScript is ES3.
  std::string_view source = rs_template_script_source();
  for (std::string_view es5 : {"JSON", ".forEach", ".map(", ".filter(", "Array.prototype", ".indexOf(name", "=>"})
    EXPECT_EQ(source.find(es5), std::string_view::npos) << es5;
}

TEST_F(TemplateTest, NoCompCountsNothingAndRefreshesTheBaseline) {
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  ensure_rs_templates(rt, host("no-comp"));
  EXPECT_EQ(rt.templates_ready, 0);
  EXPECT_EQ(rt.template_failures, 0u);
  EXPECT_EQ(baseline_refreshes_, 1);
}

TEST_F(TemplateTest, ThreeFailuresSuspendAndAFourthChangesNothing) {
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  ensure_rs_templates(rt, host("err:velocinta-half-v6: Resolution=Full"));
  ensure_rs_templates(rt, host("", "SyntaxError: bad\nline"));
  EXPECT_EQ(rt.templates_ready, 0);
  ensure_rs_templates(rt, host("", "", "Generic"));
  EXPECT_EQ(rt.templates_ready, 2);
  ensure_rs_templates(rt, host("err:again"));
  EXPECT_EQ(rt.templates_ready, 2);
  EXPECT_EQ(rt.template_failures, 3u);
  std::string text = log();
  EXPECT_NE(text.find("ERROR: pool: création des templates RS en échec (err:velocinta-half-v6: Resolution=Full) — "
                      "nouvel essai 1/3"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("(ExtendScript: SyntaxError: bad line) — nouvel essai 2/3"), std::string::npos) << text;
  EXPECT_NE(text.find("ERROR: pool: templates RS indisponibles (execute_script: Generic) — pool suspendu pour "
                      "éviter un rendu aux réglages inconnus"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("err:again"), std::string::npos);
}

TEST_F(TemplateTest, MissingUtilitySuiteCounts) {
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  TemplateHost h = host(kCreated);
  h.utility_missing = "MissingSuite";
  ensure_rs_templates(rt, h);
  EXPECT_EQ(rt.template_failures, 1u);
  EXPECT_TRUE(last_script_.empty());
  EXPECT_NE(log().find("(suite Utility: MissingSuite)"), std::string::npos);
}

TEST_F(TemplateTest, ReadyWritesTheMarkerAndPerfLines) {
  PoolRuntime rt = new_pool_runtime(kOutputTga);
  apply_template_result(rt, std::string(kCreated) + "|output=tga");
  auto marker = template_marker_path();
  ASSERT_TRUE(marker);
  EXPECT_EQ(testing::read_text(*marker).size(), 85u);
  EXPECT_EQ(testing::read_text(*marker), std::string(kTemplateMarkerText) + "\n");
  // Written through a temporary name that does not stay behind.
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(marker->parent_path())) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
  std::string text = log();
  EXPECT_NE(text.find("PERF: POOL_OUTPUT requested=tga selected=tga template=velocinta-tga-v1"), std::string::npos);
  EXPECT_NE(text.find("PERF: PREVIEW_PROFILE pool=fast-v1 bpc=8 motion_blur=off templates=v6"), std::string::npos);
}

TEST_F(TemplateTest, WorkerLogMentionsTemplate) {
  auto write = [&](const std::string& name, const std::string& body) {
    std::ofstream(dir_.path() / name, std::ios::binary) << body;
    return dir_.path() / name;
  };
  EXPECT_TRUE(worker_log_mentions_template(write("caps.log", "aerender ERROR: No TEMPLATE named x\n")));
  EXPECT_TRUE(worker_log_mentions_template(write("name.log", "bad \xff\xfe Velocinta-Half-V6 here")));
  EXPECT_FALSE(worker_log_mentions_template(write("clean.log", "rendered 120 frames\n")));
  EXPECT_FALSE(worker_log_mentions_template(dir_.path() / "missing.log"));

  // Only the last 1 MiB is read.
  std::string big = "template\n" + std::string((1u << 20) + 16, 'x');
  EXPECT_FALSE(worker_log_mentions_template(write("head.log", big)));
  EXPECT_TRUE(worker_log_mentions_template(write("tail.log", std::string((1u << 20) + 16, 'x') + "template")));

  fs::path link = dir_.path() / "link.log";
  fs::create_symlink(dir_.path() / "caps.log", link);
  EXPECT_FALSE(worker_log_mentions_template(link));
  fs::path fifo = dir_.path() / "fifo.log";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(worker_log_mentions_template(fifo));  // returns without waiting for a writer
}

}  // namespace
}  // namespace vel
