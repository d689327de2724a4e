#include "pool/process/hung_workers.h"

#include <gtest/gtest.h>

#include "host/log_capture.h"

namespace vel {
namespace {

TEST(HungWorkers, BookedLikeAnAbnormalExitWithItsReaderAbandoned) {
  fake::LogCapture log;
  PoolJob hung;
  hung.clean_exit = true;
  hung.worker_index = 3;
  hung.log_path = "/tmp/velocinta_pool/job/w3.log";
  hung.reader_flags = std::make_shared<ReaderFlags>();
  std::vector<EndedClient> ended;
  std::vector<size_t> exited;
  retire_hung_job(hung, 1, ended, exited);
  EXPECT_TRUE(hung.finished);
  EXPECT_FALSE(hung.clean_exit);
  EXPECT_TRUE((*hung.reader_flags)[0].load());
  EXPECT_EQ(exited, (std::vector<size_t>{1}));
  EXPECT_EQ(ended.size(), 1u);
  const std::vector<std::string> lines = log.lines_with("sorti en erreur");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("ERROR: pool: worker 3 sorti en erreur (signal: 9 (SIGKILL)) — log : "
                          "/tmp/velocinta_pool/job/w3.log"),
            std::string::npos)
      << lines[0];

  // Once finished, nothing more: no second line, no second booking.
  retire_hung_job(hung, 1, ended, exited);
  EXPECT_EQ(exited.size(), 1u);
  EXPECT_EQ(log.lines_with("sorti en erreur").size(), 1u);
}

}  // namespace
}  // namespace vel
