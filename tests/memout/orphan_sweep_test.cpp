#include "memout/orphan_sweep.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>

#include "memout/output_consumer.h"
#include "memout_test_support.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(OrphanSweepTest, CreatorPidComesOnlyFromOurExactNaming) {
  struct Case {
    const char* name;
    std::optional<pid_t> pid;
  } cases[] = {
      {"vnx_00001234_112233445566778d", 0x1234},
      {"vnx_7fffffff_0000000000000000", INT_MAX},
      {"vnx_00000000_0000000000000001", std::nullopt},  // kill(0) would ask the whole group
      {"vnx_ffffffff_0000000000000001", std::nullopt},  // read as -1: every process
      {"vnx_80000000_0000000000000001", std::nullopt},
      {"vnx_0000ABCD_0000000000000001", std::nullopt},  // upper case is not ours
      {"vnx_00001234_112233445566778", std::nullopt},
      {"vnx_00001234_112233445566778d0", std::nullopt},
      {"vnx_00001234-112233445566778d", std::nullopt},
      {"vnx_0000123g_112233445566778d", std::nullopt},
      {"sem.vnx_00001234_112233445566", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(segment_creator_pid(c.name), c.pid) << c.name;
  EXPECT_FALSE(process_is_gone(getpid()));
  EXPECT_FALSE(process_is_gone(0));
  EXPECT_FALSE(process_is_gone(-1));
}

OutputRequest request_of(uint32_t width, uint32_t height) {
  OutputRequest req;
  req.range_end = 1;
  req.key_scale = 24;
  req.width = width;
  req.height = height;
  return req;
}

struct LeftBehind {
  std::string mapping_name;
  std::string manifest_path;
};

// A host that creates a 1080p memory output in its own job folder, says
// what it made, then waits to be killed. It stays alive while the test sweeps:
// every plug-in start-up of this user sweeps the same /dev/shm, and those
// running beside this test must see the creator alive and leave its segment
// to the test's own sweep, which is told that exactly this pid is gone.
LeftBehind host_after_create(testing::ForkedChild& host, int (&fds)[2]) {
  close(fds[1]);
  std::string heard;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
    heard.append(buf, static_cast<size_t>(n));
    if (std::count(heard.begin(), heard.end(), '\n') == 2) break;
  }
  close(fds[0]);
  const size_t cut = heard.find('\n');
  if (!host.started() || cut == std::string::npos || heard.back() != '\n') return {};
  return {heard.substr(0, cut), heard.substr(cut + 1, heard.size() - cut - 2)};
}

int create_then_wait(const fs::path& pool_dir, int write_fd) {
  const fs::path worker = pool_dir / ("job_" + std::to_string(getpid()) + "_1_0") / "w0";
  std::error_code ec;
  fs::create_directories(worker, ec);
  auto made = create_memory_output((worker / "output.vnm").string(), request_of(1920, 1080));
  if (!made) return 1;
  const std::string said = made->mapping_name() + "\n" + made->manifest_path() + "\n";
  if (write(write_fd, said.data(), said.size()) != static_cast<ssize_t>(said.size())) return 2;
  for (;;) pause();
}

bool swept_segment(const std::vector<SweptSegment>& swept, const std::string& name) {
  return std::any_of(swept.begin(), swept.end(), [&](const SweptSegment& s) { return s.mapping_name == name; });
}

TEST(OrphanSweepTest, SegmentsAndManifestsOfAKilledHostAreRemovedOthersStay) {
  testing::ScratchDir scratch("vel-orphans");
  ASSERT_TRUE(scratch.ok());
  const fs::path pool = scratch.path() / "velocinta_pool";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  testing::ForkedChild host([&] {
    close(fds[0]);
    return create_then_wait(pool, fds[1]);
  });
  const LeftBehind left = host_after_create(host, fds);
  ASSERT_FALSE(left.mapping_name.empty()) << "the host child never said what it created";
  ASSERT_TRUE(testing::shm_exists(left.mapping_name));
  ASSERT_TRUE(fs::exists(left.manifest_path));
  const pid_t dead = host.pid();
  const auto gone = [dead](pid_t pid) { return pid == dead; };

  // This process is alive: its segment and its job folder's manifest stay.
  const fs::path live_worker = pool / ("job_" + std::to_string(getpid()) + "_1_0") / "w0";
  fs::create_directories(live_worker);
  auto live = create_memory_output((live_worker / "output.vnm").string(), request_of(8, 8));
  ASSERT_TRUE(live) << live.error().message;

  // Another user's segment of a dead creator is not ours to remove.
  EXPECT_FALSE(swept_segment(sweep_orphan_segments("/dev/shm", geteuid() + 1, gone), left.mapping_name));
  EXPECT_TRUE(sweep_orphan_manifests(pool.string(), geteuid() + 1, gone).empty());
  EXPECT_TRUE(testing::shm_exists(left.mapping_name));
  if (geteuid() == 0) {
    ASSERT_EQ(chown(("/dev/shm" + left.mapping_name).c_str(), 65534, 65534), 0);
    EXPECT_FALSE(swept_segment(sweep_orphan_segments("/dev/shm", geteuid(), gone), left.mapping_name));
    EXPECT_TRUE(testing::shm_exists(left.mapping_name)) << "owned by another user";
    ASSERT_EQ(chown(("/dev/shm" + left.mapping_name).c_str(), 0, 0), 0);
  }

  const auto swept = sweep_orphan_segments("/dev/shm", geteuid(), gone);
  const auto it = std::find_if(swept.begin(), swept.end(),
                               [&](const SweptSegment& s) { return s.mapping_name == left.mapping_name; });
  ASSERT_NE(it, swept.end());
  EXPECT_EQ(it->creator, dead);
  EXPECT_EQ(it->bytes, kSegmentHeaderBytes + 1920ull * 1080 * 4);
  EXPECT_EQ(it->error, 0);
  EXPECT_FALSE(testing::shm_exists(left.mapping_name));
  EXPECT_FALSE(swept_segment(swept, live->mapping_name()));
  EXPECT_TRUE(testing::shm_exists(live->mapping_name()));

  const auto manifests = sweep_orphan_manifests(pool.string(), geteuid(), gone);
  ASSERT_EQ(manifests.size(), 1u);
  EXPECT_EQ(manifests[0].path, left.manifest_path);
  EXPECT_EQ(manifests[0].creator, dead);
  EXPECT_FALSE(fs::exists(left.manifest_path));
  EXPECT_TRUE(fs::exists(live->manifest_path()));

  host.kill_and_reap();
  EXPECT_TRUE(process_is_gone(dead)) << "a killed and reaped host is gone";
}

// Only a manifest that names a segment of the job folder's own host goes:
// one that claims another host's segment, or is not a manifest, stays.
TEST(OrphanSweepTest, ManifestsNotTiedToTheDeadHostStay) {
  testing::ScratchDir scratch("vel-orphans");
  ASSERT_TRUE(scratch.ok());
  const fs::path worker = scratch.path() / "job_4242_1_0" / "w0";
  fs::create_directories(worker);
  // A real manifest, written for this process's segment, moved into the
  // job folder of a host said to be gone.
  auto made = create_memory_output(scratch.file("output.vnm"), request_of(8, 8));
  ASSERT_TRUE(made) << made.error().message;
  fs::copy_file(made->manifest_path(), worker / "output.vnm.vnx-manifest.json");
  std::ofstream(worker / "junk.vnx-manifest.json") << "{not json";
  fs::create_symlink(made->manifest_path(), worker / "link.vnx-manifest.json");

  const auto only_4242_gone = [](pid_t pid) { return pid == 4242; };
  EXPECT_TRUE(sweep_orphan_manifests(scratch.path().string(), geteuid(), only_4242_gone).empty());
  EXPECT_TRUE(fs::exists(worker / "output.vnm.vnx-manifest.json"));
  EXPECT_TRUE(fs::exists(worker / "junk.vnx-manifest.json"));
  EXPECT_TRUE(fs::exists(made->manifest_path()));
  EXPECT_TRUE(sweep_orphan_manifests(scratch.file("missing"), geteuid(), only_4242_gone).empty());
}

}  // namespace
}  // namespace vel
