// The worker's command line and environment, and the private pool folder.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "pool/process/worker_command.h"
#include "pool/runtime/pool_directory.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

using testing::ScratchDir;
using Args = std::vector<std::string>;

struct ArgsCase {
  PoolOutputKind kind;
  uint64_t downsample;
  bool extreme;
  bool missing_ok;
  Args tail;  // after "-output" and the path
  const char* output_name;
};

TEST(WorkerArguments, FollowKindDownsampleExtremeAndMissingOk) {
  const std::vector<ArgsCase> cases = {
      {PoolOutputKind::Psd, 4, true, true,
       {"-continueOnMissingFootage", "-RStemplate", "velocinta-quarter-v6"}, "f_[#####].psd"},
      {PoolOutputKind::Tga, 2, false, false, {"-RStemplate", "velocinta-half-v6"}, "f_[#####].tga"},
      {PoolOutputKind::Memory, 1, true, true,
       {"-continueOnMissingFootage", "-RStemplate", "velocinta-extreme-v6"}, "output.vnm"},
      {PoolOutputKind::MemoryNull, 8, false, true, {"-continueOnMissingFootage"}, "output.vnm"},
  };
  const char* om[] = {"Photoshop", "velocinta-tga-v1", "velocinta-memory-v1", "velocinta-memory-v1"};
  for (const ArgsCase& c : cases) {
    const std::string output = worker_output_path("/j/w3", c.kind).string();
    EXPECT_EQ(output, std::string("/j/w3/") + c.output_name);
    WorkerCommand cmd{"/p/snapshot.aep", "Main Comp", 10, 19, c.kind, 25, output, c.missing_ok, c.downsample, c.extreme};
    Args expected = {"-project", "/p/snapshot.aep", "-comp", "Main Comp", "-s", "10", "-e", "19",
                     "-OMtemplate", om[static_cast<int>(c.kind)], "-mfr", "ON", "25", "-output", output};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(worker_arguments(cmd), expected) << static_cast<int>(c.kind);
  }
}

TEST(WorkerEnvironment, OurEntriesReplaceAnyEarlierOnes) {
  const Args base = {"PATH=/bin", "VELOCINTA_POOL_WORKER=0", "VELOCINTA_OUTPUT_FORMAT=tga", "VELOCINTA_POOL_WORKERS=3"};
  EXPECT_EQ(worker_environment(base, PoolOutputKind::Memory),
            (Args{"PATH=/bin", "VELOCINTA_POOL_WORKERS=3", "VELOCINTA_POOL_WORKER=1", "VELOCINTA_OUTPUT_FORMAT=memory"}));
  EXPECT_EQ(worker_environment(base, PoolOutputKind::Tga),
            (Args{"PATH=/bin", "VELOCINTA_OUTPUT_FORMAT=tga", "VELOCINTA_POOL_WORKERS=3", "VELOCINTA_POOL_WORKER=1"}));
}

TEST(PoolFolder, CreatedPrivateAndRefusedWhenNotOurs) {
  ScratchDir scratch;
  const fs::path pool = scratch.path() / "velocinta_pool";
  ASSERT_TRUE(ensure_private_dir(pool).ok());
  struct stat st{};
  ASSERT_EQ(::lstat(pool.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  ::chmod(pool.c_str(), 0777);
  const auto open_to_all = ensure_private_dir(pool);
  ASSERT_FALSE(open_to_all.ok());
  EXPECT_NE(open_to_all.error().find("writable by other users"), std::string::npos);
  ::chmod(pool.c_str(), 0700);

  const fs::path link = scratch.path() / "link_pool";
  fs::create_directory_symlink(pool, link);
  const auto linked = ensure_private_dir(link);
  ASSERT_FALSE(linked.ok());
  EXPECT_NE(linked.error().find("symbolic link"), std::string::npos);

  const fs::path file = scratch.path() / "file_pool";
  { std::ofstream(file) << "x"; }
  EXPECT_FALSE(ensure_private_dir(file).ok());
}

TEST(JobFolder, NamedByPidNanosAndCounterWithMode0700) {
  ScratchDir scratch;
  const auto job = create_job_dir(scratch.path() / "velocinta_pool");
  ASSERT_TRUE(job.ok()) << job.error();
  const std::string name = job.value()->path().filename().string();
  const std::string prefix = "job_" + std::to_string(::getpid()) + "_";
  ASSERT_EQ(name.substr(0, prefix.size()), prefix);
  const std::string rest = name.substr(prefix.size());
  const size_t sep = rest.find('_');
  ASSERT_NE(sep, std::string::npos);
  EXPECT_GT(std::stoull(rest.substr(0, sep)), 1'600'000'000'000'000'000ull);
  EXPECT_NO_THROW((void)std::stoull(rest.substr(sep + 1)));
  struct stat st{};
  ASSERT_EQ(::lstat(job.value()->path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  const auto second = create_job_dir(scratch.path() / "velocinta_pool");
  ASSERT_TRUE(second.ok());
  EXPECT_NE(second.value()->path(), job.value()->path());
}

TEST(JobFolder, EightCollisionsGiveUp) {
  ScratchDir scratch;
  const fs::path pool = scratch.path() / "velocinta_pool";
  ASSERT_TRUE(ensure_private_dir(pool).ok());
  fs::create_directory(pool / "job_1_2_3");
  int attempts = 0;
  const auto job = create_job_dir_named(pool, [&] {
    ++attempts;
    return std::string("job_1_2_3");
  });
  ASSERT_FALSE(job.ok());
  EXPECT_EQ(job.error(), "pool directory collisions");
  EXPECT_EQ(attempts, 8);
}

// The folder goes to its disposer when its last holder lets go, unless an
// error line named a log in it: then it waits for the next load's purge.
TEST(JobFolder, DisposedWithItsLastHolderUnlessKept) {
  ScratchDir scratch;
  const fs::path pool = scratch.path() / "velocinta_pool";
  for (bool kept : {false, true}) {
    std::vector<fs::path> disposed;
    auto job = create_job_dir(pool, [&disposed](const fs::path& p) { disposed.push_back(p); });
    ASSERT_TRUE(job.ok()) << job.error();
    SharedJobDir holder = job.value();
    const fs::path dir = holder->path();
    SharedJobDir reader = holder;  // a decoder's share
    if (kept) holder->keep_for_next_load();
    holder.reset();
    job = Result<SharedJobDir>(SharedJobDir{});
    EXPECT_TRUE(disposed.empty()) << "a decoder still holds it";
    reader.reset();
    EXPECT_EQ(disposed, kept ? std::vector<fs::path>{} : std::vector<fs::path>{dir});
  }
}

}  // namespace
}  // namespace vel
