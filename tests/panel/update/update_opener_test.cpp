// Opening the download link: the opener gets the link as its only argument,
// is reaped by its pid (no zombie after the next tick), and a failure to
// start it is logged with the system's text.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/log.h"
#include "panel/update/update_notice.h"
#include "panel/update/update_opener.h"
#include "panel/update/update_request.h"
#include "platform/opener.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using testing::read_text;

// An opener that appends its argument count and its arguments to `record`.
std::string write_recorder(const fs::path& dir, const fs::path& record) {
  const fs::path script = dir / "opener";
  std::ofstream(script) << "#!/bin/sh\nprintf '%s|%s\\n' \"$#\" \"$*\" >> '" << record.string() << "'\n";
  ::chmod(script.c_str(), 0755);
  return script.string();
}

// Waits for some child of this test to end without reaping it, so that the
// reaping stays the plug-in's job. The pid of the child that ended.
pid_t wait_for_a_child_to_end() {
  siginfo_t info{};
  while (::waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  return info.si_pid;
}

bool is_gone(pid_t pid) { return ::kill(pid, 0) == -1 && errno == ESRCH; }

class UpdateOpener : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
  void TearDown() override { platform::set_opener_path(""); }
  testing::ScratchDir scratch_{"vel-opener"};
  fs::path record_ = scratch_.path() / "opened";
};

TEST_F(UpdateOpener, TheLinkIsTheOnlyArgumentAndTheOpenerIsReaped) {
  platform::set_opener_path(write_recorder(scratch_.path(), record_));
  store_update_notice({"0.3.31", "https://dl.example/get?a=1&b=2"});
  open_update_link();
  const pid_t pid = wait_for_a_child_to_end();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(read_text(record_), "1|https://dl.example/get?a=1&b=2\n");
  EXPECT_FALSE(is_gone(pid)) << "a zombie until the next tick";
  EXPECT_EQ(reap_update_openers(), 0u);
  EXPECT_TRUE(is_gone(pid));
}

TEST_F(UpdateOpener, AnOpenerStillRunningIsKeptUntilItEnds) {
  const fs::path script = scratch_.path() / "slow";
  const fs::path fifo = scratch_.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Blocks until the test writes to the fifo.
  std::ofstream(script) << "#!/bin/sh\nread x < '" << fifo.string() << "'\n";
  ::chmod(script.c_str(), 0755);
  platform::set_opener_path(script.string());
  Result<pid_t> pid = start_opener("https://dl.example/");
  ASSERT_TRUE(pid.ok()) << pid.error();
  EXPECT_EQ(reap_update_openers(), 1u);
  std::ofstream(fifo) << "go\n";
  EXPECT_EQ(wait_for_a_child_to_end(), *pid);
  EXPECT_EQ(reap_update_openers(), 0u);
  EXPECT_TRUE(is_gone(*pid));
}

TEST_F(UpdateOpener, AnOpenerThatCannotStartIsLogged) {
  const fs::path log = scratch_.path() / "velocinta.log";
  ASSERT_TRUE(open_log_file_at(log, LogRole::Host));
  platform::set_opener_path((scratch_.path() / "no-such-opener").string());
  open_update_link();
  close_log_file();
  EXPECT_NE(read_text(log).find("] ERROR: update: ouverture du lien impossible : No such file or directory\n"),
            std::string::npos)
      << read_text(log);
  EXPECT_EQ(reap_update_openers(), 0u);
}

// The notice slot is never cleared, so "no notice yet" needs a fresh process:
// the test program runs this one case again in a child of its own.
constexpr const char* kFreshRecord = "VEL_TEST_FRESH_OPENER_RECORD";

TEST(UpdateOpenerFreshProcess, WithoutANoticeTheDefaultLinkIsOpened) {
  const char* record = std::getenv(kFreshRecord);
  if (record == nullptr) GTEST_SKIP() << "runs inside UpdateOpener.NoNoticeOpensTheDefaultLink";
  ASSERT_EQ(update_notice(), std::nullopt);
  platform::set_opener_path(write_recorder(fs::path(record).parent_path(), record));
  open_update_link();
  (void)wait_for_a_child_to_end();
  EXPECT_EQ(reap_update_openers(), 0u);
}

TEST_F(UpdateOpener, NoNoticeOpensTheDefaultLink) {
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  testing::ChildResult r = testing::run_child(
      self, {"--gtest_filter=UpdateOpenerFreshProcess.*"}, {std::string(kFreshRecord) + "=" + record_.string()}, "", 120);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(read_text(record_), "1|" + std::string(kDefaultDownloadLink) + "\n") << r.output;
}

}  // namespace
}  // namespace vel
