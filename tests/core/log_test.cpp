#include "core/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/scratch_dir.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

using testing::read_text;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
  void TearDown() override { close_log_file(); }
  testing::ScratchDir scratch_{"vel-log"};
  fs::path dir_ = scratch_.path();
};

TEST(LogFormat, LineShape) {
  EXPECT_EQ(format_log_line(1700000000123, "INFO", "chargé"), "[1700000000123] INFO: chargé\n");
  EXPECT_EQ(format_log_line(0, "ERROR", ""), "[0] ERROR: \n");
}

TEST_F(LogTest, NothingIsWrittenWhileClosed) {
  close_log_file();
  log_line("INFO", "lost");  // must not crash or create anything
  EXPECT_TRUE(fs::is_empty(dir_));
}

// A link at the log's name, symbolic or hard, would carry the lines into a
// file of the user's.
TEST_F(LogTest, ALinkPlantedAtTheLogIsNotWrittenThrough) {
  struct Case {
    const char* name;
    bool symbolic;
    LogRole role;
  } cases[] = {
      {"symbolic link, host", true, LogRole::Host},
      {"hard link, host", false, LogRole::Host},
      {"hard link, worker", false, LogRole::Worker},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path outside = dir_ / "outside";
    const fs::path log = dir_ / "velocinta.log";
    fs::remove(log);
    { std::ofstream(outside, std::ios::trunc) << "keep"; }
    if (c.symbolic) {
      fs::create_symlink(outside, log);
    } else {
      fs::create_hard_link(outside, log);
    }
    EXPECT_FALSE(open_log_file_at(log, c.role));
    log_line("INFO", "lost");
    EXPECT_EQ(read_text(outside), "keep");
  }
}

// Once the user's file has no second name any more, the log's own name is
// a plain file again and is written.
TEST_F(LogTest, AFileWithOneNameIsTheLog) {
  const fs::path log = dir_ / "velocinta.log";
  { std::ofstream(log) << "earlier\n"; }
  fs::create_hard_link(log, dir_ / "second");
  EXPECT_FALSE(open_log_file_at(log, LogRole::Host));
  fs::remove(dir_ / "second");
  ASSERT_TRUE(open_log_file_at(log, LogRole::Host));
  log_line("INFO", "suite");
  EXPECT_TRUE(read_text(log).starts_with("earlier\n[")) << read_text(log);
}

// A FIFO at the log's name would hold the host at load in a blocking open,
// and with a reader on it lines would go to that reader: it is no log.
TEST_F(LogTest, AFifoAtTheLogIsRefusedWithoutWaiting) {
  const fs::path fifo = dir_ / "velocinta.log";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(open_log_file_at(fifo, LogRole::Host)) << "no reader";
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_FALSE(open_log_file_at(fifo, LogRole::Host)) << "a reader waiting";
  log_line("INFO", "lost");
  char c = 0;
  EXPECT_LT(::read(reader, &c, 1), 1) << "nothing reached the reader";
  ::close(reader);
  EXPECT_TRUE(fs::is_fifo(fifo)) << "left where it is";
}

TEST_F(LogTest, LinesCarryTimeLevelAndMessage) {
  fs::path f = dir_ / "Logs" / "velocinta.log";
  ASSERT_TRUE(open_log_file_at(f, LogRole::Host));
  log_line("INFO", "un");
  log_line("ERROR", "deux");
  std::string text = read_text(f);
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\[\d{13}\] INFO: un\n\[\d{13}\] ERROR: deux\n)"))) << text;
}

TEST_F(LogTest, HostRotatesPastTheLimitWorkerOnlyAppends) {
  struct Case {
    LogRole role;
    bool rotates;
  } cases[] = {{LogRole::Host, true}, {LogRole::Worker, false}};
  for (const auto& c : cases) {
    fs::path f = dir_ / "velocinta.log";
    fs::path old = dir_ / "velocinta.log.old";
    fs::remove(f);
    fs::remove(old);
    ASSERT_TRUE(open_log_file_at(f, c.role, /*rotate_bytes=*/100));
    for (int i = 0; i < 10; ++i) log_line("INFO", "0123456789012345678901234567890123456789");
    EXPECT_EQ(fs::exists(old), c.rotates);
    if (c.rotates) {
      EXPECT_LE(fs::file_size(f), 200u);
    } else {
      EXPECT_GT(fs::file_size(f), 400u);
    }
  }
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveLines) {
  fs::path f = dir_ / "velocinta.log";
  ASSERT_TRUE(open_log_file_at(f, LogRole::Worker));
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t) {
    ts.emplace_back([t] {
      for (int i = 0; i < 200; ++i) log_line("INFO", "thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  }
  for (auto& t : ts) t.join();
  std::istringstream in(read_text(f));
  std::string line;
  int count = 0;
  std::regex shape(R"(\[\d+\] INFO: thread \d line \d+)");
  while (std::getline(in, line)) {
    EXPECT_TRUE(std::regex_match(line, shape)) << line;
    ++count;
  }
  EXPECT_EQ(count, 800);
}

}  // namespace
}  // namespace vel
