#include "plugin/orphan_outputs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

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
  EXPECT_TRUE(log.lines_with(" autre").empty());
}

std::string segment_name(int i) {
  char name[40];
  std::snprintf(name, sizeof name, "/vnx_%08x_%016x", 0x1000 + i, i);
  return name;
}

// A machine where a crashed host left thousands of segments: the first of
// each outcome in full, then one count, not a line per segment.
TEST(OrphanOutputsLog, ThousandsOfSegmentsGiveTheFirstThenACount) {
  fake::LogCapture log;
  std::vector<SweptSegment> segments;
  for (int i = 0; i < 3000; ++i) segments.push_back({segment_name(i), 0x1000 + i, 4096, 0});
  segments.push_back({segment_name(3000), 0x2000, 10, EACCES});
  segments.push_back({segment_name(3001), 0x2001, 20, EPERM});
  std::vector<SweptManifest> manifests;
  for (int i = 0; i < 2; ++i)
    manifests.push_back({"/tmp/p/job_1_1_0/w" + std::to_string(i) + "/o.vnx-manifest.json", 1, 0});
  log_orphan_sweep(segments, manifests);

  const auto lines = log.lines_with("mémoire partagée : ");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_NE(lines[0].find("INFO: mémoire partagée : segment orphelin supprimé : /vnx_00001000_"), std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("ERROR: mémoire partagée : segment orphelin non supprimé : /vnx_00001bb8_"),
            std::string::npos)
      << lines[1];
  EXPECT_NE(lines[2].find("INFO: mémoire partagée : manifeste orphelin supprimé : /tmp/p/job_1_1_0/w0/"),
            std::string::npos)
      << lines[2];
  EXPECT_NE(lines[3].find("INFO: mémoire partagée : 2999 autres segments orphelins supprimés (12283904 octets)"),
            std::string::npos)
      << lines[3];
  EXPECT_NE(lines[4].find("ERROR: mémoire partagée : 1 autre segment orphelin non supprimé (20 octets)"),
            std::string::npos)
      << lines[4];
  EXPECT_NE(lines[5].find("INFO: mémoire partagée : 1 autre manifeste orphelin supprimé"), std::string::npos)
      << lines[5];
}

}  // namespace
}  // namespace vel
