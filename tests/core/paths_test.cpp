#include "core/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/scratch_dir.h"

namespace vel {
namespace {

TEST(Paths, HomeMustBeSetAndAbsolute) {
  struct Case {
    const char* home;
    bool usable;
  } cases[] = {{nullptr, false}, {"", false}, {"relative/home", false}, {".", false}, {"/home/u", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.home ? c.home : "(unset)");
    EXPECT_EQ(home_from_value(c.home).has_value(), c.usable);
  }
}

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
  testing::ScratchDir scratch_{"vel-paths"};
  fs::path base_ = scratch_.path();
};

TEST_F(TempDirTest, TmpdirWinsWhenSetAndAbsolute) {
  auto v = resolve_temp_dir("/var/scratch", getuid(), base_);
  ASSERT_TRUE(v.dir);
  EXPECT_EQ(*v.dir, fs::path("/var/scratch"));
  EXPECT_FALSE(resolve_temp_dir("scratch", getuid(), base_).dir);
}

TEST_F(TempDirTest, PerUserFolderIsCreatedPrivate) {
  auto v = resolve_temp_dir(nullptr, getuid(), base_);
  ASSERT_TRUE(v.dir) << v.refusal;
  struct stat st {};
  ASSERT_EQ(lstat(v.dir->c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // Second resolution reuses it; a loosened mode is tightened again.
  chmod(v.dir->c_str(), 0777);
  auto again = resolve_temp_dir("", getuid(), base_);
  ASSERT_TRUE(again.dir);
  ASSERT_EQ(lstat(again.dir->c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(TempDirTest, PlantedSymlinkIsRefused) {
  fs::path target = base_ / "elsewhere";
  fs::create_directory(target);
  fs::create_directory_symlink(target, base_ / ("velocinta-" + std::to_string(getuid())));
  auto v = resolve_temp_dir(nullptr, getuid(), base_);
  EXPECT_FALSE(v.dir);
  ASSERT_NE(v.refusal, nullptr);
}

TEST_F(TempDirTest, FolderOfAnotherUserIsRefused) {
  // Ask for a uid that does not own the folder we create as ourselves.
  fs::create_directory(base_ / "velocinta-4242");
  if (getuid() == 4242) GTEST_SKIP();
  auto v = resolve_temp_dir(nullptr, 4242, base_);
  EXPECT_FALSE(v.dir);
}

}  // namespace
}  // namespace vel
