#include "plugin/startup_mode.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include <filesystem>
#include <fstream>
#include <type_traits>

#include "plugin/hooks.h"
#include "plugin/preview_state.h"
#include "hostsdk/entry.h"
#include "hostsdk/hooks.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

extern "C" int32_t EntryPointFunc(SPBasicSuite*, int32_t, int32_t, int32_t, void**);

namespace vel {
namespace {

// The exported entry and the hooks are spelled in plain types; they must be
// exactly the host's signatures.
static_assert(std::is_same_v<decltype(&EntryPointFunc), AEGP_EntryPointFunc>);
static_assert(std::is_same_v<decltype(&idle_hook), AEGP_IdleHook>);
static_assert(std::is_same_v<decltype(&death_hook), AEGP_DeathHook>);
static_assert(std::is_same_v<decltype(&update_menu_hook), AEGP_UpdateMenuHook>);

TEST(StartupMode, Table) {
  struct Case {
    bool engine;
    const char* probe;
    const char* worker;
    bool marker;
    StartupMode want;
  } cases[] = {
      {false, nullptr, nullptr, false, StartupMode::Normal},
      {false, "idle", nullptr, false, StartupMode::Probe},
      {false, "IDLE", nullptr, false, StartupMode::Normal},
      {false, "", nullptr, false, StartupMode::Normal},
      {false, nullptr, "1", false, StartupMode::Inert},
      {false, nullptr, "", false, StartupMode::Inert},  // set, even empty
      {false, "idle", "1", false, StartupMode::Probe},
      {true, nullptr, nullptr, false, StartupMode::Inert},
      {true, nullptr, nullptr, true, StartupMode::Probe},
      {true, nullptr, "1", true, StartupMode::Probe},
      {false, nullptr, nullptr, true, StartupMode::Normal},  // the marker only counts inside the engine
  };
  for (const auto& c : cases) {
    StartupFacts f{c.engine, c.probe, c.worker, c.marker};
    EXPECT_EQ(choose_startup_mode(f), c.want)
        << c.engine << " " << (c.probe ? c.probe : "-") << " " << (c.worker ? c.worker : "-") << " " << c.marker;
    // Inside a worker whatever the mode; the host itself never is.
    EXPECT_EQ(inside_pool_worker(f), c.engine || c.worker != nullptr) << c.engine << " " << (c.worker ? c.worker : "-");
  }
}

TEST(StartupMode, RenderEngineByFileName) {
  struct Case {
    const char* path;
    bool engine;
  } cases[] = {
      {"/Applications/Host/aerender", true}, {"/opt/x/AERender", true},     {"aerender-2026", true},
      {"/usr/bin/simhost", false},           {"/aerender/dir/simhost", false}, {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(names_render_engine(c.path), c.engine) << c.path;
}

TEST(IdleClock, LongGapArmsTheHoldOff) {
  IdleClock clock;
  const uint64_t ms = 1'000'000;
  EXPECT_FALSE(advance_idle_clock(clock, 1000 * ms));
  EXPECT_FALSE(advance_idle_clock(clock, 1700 * ms));  // exactly 700 ms: not above
  EXPECT_TRUE(advance_idle_clock(clock, 2401 * ms));   // 701 ms gap
  for (uint64_t t : {3000, 3600, 4200, 4800, 5400}) {
    EXPECT_TRUE(advance_idle_clock(clock, t * ms)) << t;  // short gaps: the hold-off runs on
  }
  EXPECT_FALSE(advance_idle_clock(clock, 5401 * ms));
  EXPECT_EQ(clock.calls, 9u);
}

// One start-up of the plug-in in the stand-in host, in a fresh HOME and
// TMPDIR under `scratch`; the log it wrote.
std::string start_in_simhost(const testing::ScratchDir& scratch) {
  const std::filesystem::path home = scratch.path() / "home";
  std::filesystem::create_directories(home);
  std::filesystem::create_directories(scratch.path() / "tmp");
  std::filesystem::create_directories(scratch.path() / "out");
  auto r = testing::run_child(VEL_SIMHOST_PATH,
                              {"--plugin", VEL_PLUGIN_PATH, "--project", std::string(VEL_DEMO_DIR) + "/sample.aep",
                               "--seconds", "0.1", "--out", scratch.file("out")},
                              {"HOME=" + home.string(), "TMPDIR=" + scratch.file("tmp")}, scratch.path().string(), 60);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  return testing::read_text(home / "Library" / "Logs" / "velocinta.log");
}

// A reader of the log must see which run an options error belongs to: the
// load line opens the run, then the options are read.
TEST(StartupOrder, LoadLineComesBeforeTheOptionsError) {
  testing::ScratchDir scratch("vel-startup");
  ASSERT_TRUE(scratch.ok());
  const std::filesystem::path support = scratch.path() / "home" / "Library" / "Application Support" / "velocinta";
  std::filesystem::create_directories(support);
  std::ofstream(support / "panel_options.json") << "{\"quality\": [not json";

  const std::string log = start_in_simhost(scratch);
  const size_t load = log.find("] INFO: velocinta ");
  const size_t options_error = log.find("] ERROR: options: fichier illisible");
  ASSERT_NE(load, std::string::npos) << log;
  ASSERT_NE(options_error, std::string::npos) << log;
  EXPECT_LT(load, options_error) << log;
  EXPECT_NE(log.find("] INFO: options: {\"quality\":"), std::string::npos) << "the options in use are still logged\n"
                                                                          << log;
}

// A segment whose creating host is gone is removed when the plug-in loads.
// Every normal-mode start-up of this user sweeps the same /dev/shm, and other
// tests start the plug-in beside this one, so the removal may be logged by
// another run; the log line itself is checked where the sweep runs alone.
TEST(StartupOrder, LoadRemovesTheSegmentOfAHostThatDied) {
  testing::ScratchDir scratch("vel-startup");
  ASSERT_TRUE(scratch.ok());
  std::fflush(nullptr);
  const pid_t host = fork();
  if (host == 0) _exit(0);
  ASSERT_GT(host, 0);
  int status = 0;
  ASSERT_EQ(waitpid(host, &status, 0), host);
  char name[40];
  std::snprintf(name, sizeof name, "/vnx_%08x_%016llx", static_cast<unsigned>(host), 0x5eedull);
  const int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0) << name;
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  close(fd);

  const std::string log = start_in_simhost(scratch);
  const bool left = access((std::string("/dev/shm") + name).c_str(), F_OK) == 0;
  if (left) shm_unlink(name);
  EXPECT_FALSE(left) << name;
  EXPECT_EQ(log.find(std::string("non supprimé : ") + name), std::string::npos) << log;
}

}  // namespace
}  // namespace vel
