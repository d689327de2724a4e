#include "store/cleanup_queue.h"

#include <gtest/gtest.h>

#include <thread>

#include "store/store_test_support.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

TEST(CleanupQueue, TheThirtyThirdRequestIsDroppedAndTheRestRunInOrder) {
  testing::ScratchDir scratch;
  test::ScratchLog log(scratch.path());
  CleanupQueue q;  // no worker yet: as busy as can be
  const fs::path target = scratch.path() / "deep" / "er" / "file";
  for (int i = 0; i < 32; ++i) ASSERT_TRUE(q.post(WriteFile{target, {static_cast<uint8_t>(i)}}));
  EXPECT_FALSE(q.post(RemoveTree{scratch.path() / "deep"}));
  EXPECT_EQ(log.count("ERROR: cleanup: queue unavailable; deferred files retained"), 1u);
  std::thread worker([&] { q.run(); });
  q.wait_idle();
  q.close();
  worker.join();
  EXPECT_EQ(test::file_bytes(target), std::vector<uint8_t>{31}) << "the last write is the last carried out";
  EXPECT_FALSE(q.post(RemoveTree{target})) << "a closed queue takes nothing";
}

TEST(CleanupQueue, WhatWasPostedBeforeTheCloseIsStillCarriedOut) {
  testing::ScratchDir scratch;
  const fs::path job = scratch.path() / "job_1";
  test::put_file(job / "frame.psd", {1});
  CleanupQueue q;
  ASSERT_TRUE(q.post(RemoveTree{job}));
  q.close();  // the host quits before the worker took the request
  std::thread worker([&] { q.run(); });
  worker.join();
  EXPECT_FALSE(fs::exists(job));
}

TEST(CleanupQueue, StaleAgeCountsWholeSeconds) {
  const timespec ref{100000, 500};
  struct Row {
    timespec mtime;
    bool stale;
  };
  const Row rows[] = {
      {{100000 - 3600, 500}, false},
      {{100000 - 3601, 501}, false},  // 3600.999999999 s
      {{100000 - 3601, 500}, true},
      {{0, 0}, true},
      {{100001, 0}, false},  // modified after the reference
  };
  for (const Row& r : rows) EXPECT_EQ(entry_is_stale(ref, r.mtime), r.stale) << r.mtime.tv_sec << "." << r.mtime.tv_nsec;
}

TEST(CleanupQueue, RemovesStaleEntriesOnly) {
  testing::ScratchDir scratch;
  test::ScratchLog log(scratch.path());
  const fs::path pool = scratch.path() / "velocinta_pool";
  const auto now = fs::file_time_type::clock::now();
  auto entry = [&](const char* name, int64_t age_s, bool folder) {
    const fs::path p = pool / name;
    if (folder) {
      test::put_file(p / "inside", {1});
    } else {
      test::put_file(p, {1});
    }
    fs::last_write_time(p, now - std::chrono::seconds(age_s));
  };
  entry("young", 3000, false);
  entry("old", 7200, false);
  entry("job_old", 7200, true);
  entry("job_future", -600, true);
  timespec ref{};
  ::clock_gettime(CLOCK_REALTIME, &ref);
  carry_out_cleanup(RemoveStaleEntries{pool, ref});
  EXPECT_TRUE(fs::exists(pool / "young"));
  EXPECT_FALSE(fs::exists(pool / "old"));
  EXPECT_FALSE(fs::exists(pool / "job_old"));
  EXPECT_TRUE(fs::exists(pool / "job_future"));
  carry_out_cleanup(RemoveTree{scratch.path() / "never-was"});
  carry_out_cleanup(RemoveStaleEntries{scratch.path() / "never-was", ref});
  EXPECT_EQ(log.count("cleanup:"), 0u) << "not-found is silent";
}

}  // namespace
}  // namespace vel
