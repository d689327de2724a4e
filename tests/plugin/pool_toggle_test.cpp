// The pool toggle and the pool folder: while another host holds the folder
// the pool stays off and one line names that host; once it has ended, the
// toggle takes the folder and the pool is on.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/log_capture.h"
#include "plugin/command_actions.h"
#include "plugin/preview_state.h"
#include "pool/runtime/pool_directory.h"
#include "support/lock_holder.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

struct ToggleStateDeleter {
  void operator()(PreviewState* s) const { delete s; }
};

class PoolToggle : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch.ok());
    ASSERT_TRUE(ensure_private_dir(pool).ok());
    state.reset(new_preview_state(1, PersistedOptions{}));
  }
  size_t lines(const std::string& text) const { return log.lines_with(text).size(); }

  fake::LogCapture log;
  testing::ScratchDir scratch;
  fs::path pool = scratch.path() / "velocinta_pool";
  std::unique_ptr<PreviewState, ToggleStateDeleter> state;
};

TEST_F(PoolToggle, AFolderHeldByAnotherHostKeepsThePoolOffUntilThatHostHasEnded) {
  PoolFolderClaim folder;
  int taken = 0;
  const auto claim = [&] { return folder.claim(pool, [&](const fs::path&) { ++taken; }); };
  testing::LockHolder other(pool);
  ASSERT_TRUE(other.holding());
  const std::string held_line =
      "] INFO: velocinta: pool non activé — dossier " + pool.string() + " utilisé par le processus " +
      std::to_string(other.pid());

  for (int toggle = 1; toggle <= 2; ++toggle) {
    toggle_pool(*state, claim);
    EXPECT_FALSE(state->pool_enabled);
    EXPECT_FALSE(state->pool.pool_enabled);
    EXPECT_FALSE(state->pool.disabled_for_session) << "only while the other host lives";
    EXPECT_EQ(lines(held_line), static_cast<size_t>(toggle)) << "one line per toggle";
  }
  EXPECT_EQ(lines("velocinta: pool activé"), 0u);
  EXPECT_EQ(taken, 0);

  other.end();
  toggle_pool(*state, claim);
  EXPECT_TRUE(state->pool_enabled);
  EXPECT_TRUE(state->pool.pool_enabled);
  EXPECT_EQ(taken, 1);
  EXPECT_EQ(lines("] INFO: velocinta: pool activé"), 1u);

  // Off and on again: the folder is this host's already.
  toggle_pool(*state, claim);
  EXPECT_FALSE(state->pool.pool_enabled);
  toggle_pool(*state, claim);
  EXPECT_TRUE(state->pool.pool_enabled);
  EXPECT_EQ(taken, 1);
  EXPECT_EQ(lines("] INFO: velocinta: pool activé"), 2u);
  EXPECT_EQ(lines(held_line), 2u);
  EXPECT_EQ(lines("ERROR"), 0u);
}

// A folder found not ours when the pool is turned on turns it off for the
// session, as at load: said once, and never asked again. Each time the pool
// is turned on after that, the log says it stays off.
TEST_F(PoolToggle, AFolderNotOursTurnsThePoolOffForTheSession) {
  int claims = 0;
  const auto claim = [&]() -> std::optional<PoolFolderRefusal> {
    ++claims;
    return PoolFolderRefusal{pool.string() + " is a symbolic link", false};
  };
  for (int toggle = 0; toggle < 3; ++toggle) toggle_pool(*state, claim);
  EXPECT_TRUE(state->pool.disabled_for_session);
  EXPECT_EQ(claims, 1);
  EXPECT_EQ(lines("] ERROR: pool: DÉSACTIVÉ pour la session — " + pool.string() + " is a symbolic link"), 1u);
  EXPECT_EQ(lines("velocinta: pool activé"), 0u);
  EXPECT_EQ(lines("] INFO: velocinta: pool non activé — désactivé pour la session"), 2u);
  EXPECT_EQ(lines("] INFO: velocinta: pool désactivé"), 1u);
}

}  // namespace
}  // namespace vel
