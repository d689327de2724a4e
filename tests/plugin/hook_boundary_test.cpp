// Hooks are failure boundaries: what escapes a hook's body is logged and the
// host still gets success; a hook called before the state exists does nothing.

#include <gtest/gtest.h>

#include <cstring>
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

}  // namespace
}  // namespace vel
