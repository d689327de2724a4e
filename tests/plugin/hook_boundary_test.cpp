// Hooks are failure boundaries: what escapes a hook's body is logged and the
// host still gets success; a hook called before the state exists does nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
#include <filesystem>
#include <stdexcept>

#include "core/log.h"
#include "plugin/hooks.h"
#include "plugin/preview_state.h"
#include "host/basic_suite_store.h"
#include "hostsdk/basic_suite.h"
#include "hostsdk/utility_suite.h"

#include "support/scratch_dir.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

A_Err throwing_modal_query(A_Boolean*) { throw std::runtime_error("la fenêtre a disparu"); }

AEGP_UtilitySuite13 g_utility{};

SPErr acquire(const char* name, A_long version, const void** suite) {
  if (std::strcmp(name, kAEGPUtilitySuite) == 0 && version == kAEGPUtilitySuiteVersion13) {
    *suite = &g_utility;
    return 0;
  }
  *suite = nullptr;
  return 1;
}
SPErr release(const char*, A_long) { return 0; }
SPBasicSuite g_basic{&acquire, &release};

class HookBoundary : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    ASSERT_TRUE(open_log_file_at(dir_ / "velocinta.log", LogRole::Host));
    g_utility.IsModalWindowShown = &throwing_modal_query;
    store_basic_suite(&g_basic);
  }
  void TearDown() override {
    store_basic_suite(nullptr);
    close_log_file();
  }
  std::string log_text() { return testing::read_text(dir_ / "velocinta.log"); }
  testing::ScratchDir scratch_{"vel-hooks"};
  fs::path dir_ = scratch_.path();
};

TEST_F(HookBoundary, FailureInsideTheIdleHookIsLoggedAndAnsweredWithSuccess) {
  PreviewState state;
  int32_t max_sleep = 1000;
  EXPECT_EQ(idle_hook(&state, nullptr, &max_sleep), 0);
  EXPECT_EQ(max_sleep, kIdleMaxSleepMs);
  EXPECT_NE(log_text().find("ERROR: panic capturé à la frontière FFI [idle_hook] : la fenêtre a disparu"),
            std::string::npos)
      << log_text();
  // The re-entry guard is released even though the body failed.
  EXPECT_FALSE(state.idle.in_tick);
}

TEST_F(HookBoundary, HooksBeforeTheStateExistsDoNothing) {
  int32_t max_sleep = 1000;
  EXPECT_EQ(idle_hook(nullptr, nullptr, &max_sleep), 0);
  EXPECT_EQ(max_sleep, kIdleMaxSleepMs);
  EXPECT_EQ(idle_hook(nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(update_menu_hook(nullptr, nullptr, 0), 0);
  EXPECT_TRUE(log_text().empty()) << log_text();
}

// The death hook's order where it matters: the host's pending renders are
// cancelled before the session's workers and engines are swept, and those
// go before the present workers are joined and the registry is drained;
// the store finishes the frames it was handed within its bound, started
// before the slow steps and waited for after them.
TEST(DeathHook, StepsRunInTheirOrder) {
  std::vector<std::string> names;
  for (const DeathStep& step : death_steps()) names.emplace_back(step.name);
  auto at = [&](const std::string& name) {
    auto it = std::find(names.begin(), names.end(), name);
    EXPECT_NE(it, names.end()) << name;
    return it - names.begin();
  };
  EXPECT_EQ(at("dying flag"), 0);
  EXPECT_LT(at("cancel asynchronous renders"), at("sweep the session"));
  EXPECT_LT(at("end the pool batch"), at("sweep the session"));
  EXPECT_LT(at("sweep the session"), at("join present workers"));
  EXPECT_LT(at("join present workers"), at("drain the worker registry"));
  EXPECT_LT(at("store: begin finishing"), at("end the pool batch"));
  EXPECT_LT(at("join present workers"), at("store: finish"));
  EXPECT_LT(at("drain the worker registry"), at("close repeated failures"));
}

}  // namespace
}  // namespace vel
