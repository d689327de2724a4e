#include "core/plugin/orphan_outputs.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "host/log_capture.h"

namespace vel {
namespace {

TEST(OrphanOutputsLog, EachRemovalAndEachRefusalHasItsLine) {
  fake::LogCapture log;
  log_orphan_sweep({{"/vnx_00001234_00000000000005ee", 0x1234, 8298560, 0},
                    {"/vnx_00001235_00000000000005ef", 0x1235, 4096, EACCES}},
                   {{"/tmp/velocinta_pool/job_4660_1_0/w0/output.vnx-manifest.json", 0x1234, 0}});
  const auto removed = log.lines_with("] INFO: mémoire partagée : segment orphelin supprimé : ");
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_NE(removed[0].find("/vnx_00001234_00000000000005ee (processus 4660 disparu, 8298560 octets)"),
            std::string::npos)
      << removed[0];
  const auto refused = log.lines_with("] ERROR: mémoire partagée : segment orphelin non supprimé : ");
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_NE(refused[0].find("/vnx_00001235_00000000000005ef (processus 4661 disparu, 4096 octets) : "),
            std::string::npos)
      << refused[0];
  const auto manifest = log.lines_with("] INFO: mémoire partagée : manifeste orphelin supprimé : ");
  ASSERT_EQ(manifest.size(), 1u);
  EXPECT_NE(manifest[0].find("output.vnx-manifest.json (processus 4660 disparu)"), std::string::npos) << manifest[0];
}

}  // namespace
}  // namespace vel
