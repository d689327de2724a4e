#include "core/file_replace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>
#include <vector>

#include "support/scratch_dir.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

size_t entries(const fs::path& dir) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++n;
  return n;
}

TEST(FileReplace, ReadersSeeTheOldOrTheWholeNewFileAndNoTemporaryStays) {
  testing::ScratchDir dir("vel-replace");
  ASSERT_TRUE(dir.ok());
  const fs::path file = dir.path() / "made" / "here" / "marker";
  ASSERT_TRUE(replace_file(file, std::string_view("first\n")).ok());
  EXPECT_EQ(testing::read_text(file), "first\n");

  // Writers in several threads, a reader beside them: never a torn or empty file.
  const std::string a(4096, 'a'), b(8192, 'b');
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) ASSERT_TRUE(replace_file(file, std::string_view((t + i) % 2 ? a : b)).ok());
    });
  }
  size_t torn = 0;
  std::thread reader([&] {
    while (!stop.load()) {
      const std::string seen = testing::read_text(file);
      torn += seen != a && seen != b && seen != "first\n";
    }
  });
  for (auto& w : writers) w.join();
  stop = true;
  reader.join();
  EXPECT_EQ(torn, 0u);
  EXPECT_EQ(entries(file.parent_path()), 1u);
}

TEST(FileReplace, AFailedWriteLeavesTheOldFileAndNothingElse) {
  testing::ScratchDir dir("vel-replace");
  ASSERT_TRUE(dir.ok());
  const fs::path file = dir.path() / "kept";
  ASSERT_TRUE(replace_file(file, std::string_view("old")).ok());
  // A folder in the file's place: the rename must fail.
  const fs::path blocked = dir.path() / "blocked";
  fs::create_directories(blocked / "inside");
  EXPECT_FALSE(replace_file(blocked, std::string_view("new")).ok());
  EXPECT_TRUE(fs::is_directory(blocked));
  EXPECT_EQ(entries(dir.path()), 2u);
  EXPECT_EQ(testing::read_text(file), "old");
}

// Where a link is planted decides nothing: at the file's own name it is
// replaced by the file, at a temporary name (the fixed one an earlier
// version used) it is never opened. The file outside stays as it was.
TEST(FileReplace, PlantedLinksAreReplacedOrPassedByNeverFollowed) {
  testing::ScratchDir dir("vel-replace");
  ASSERT_TRUE(dir.ok());
  const fs::path outside = dir.path() / "outside";
  ASSERT_TRUE(replace_file(outside, std::string_view("keep")).ok());
  fs::create_directories(dir.path() / "in");
  fs::create_symlink(outside, dir.path() / "in" / "file");
  fs::create_symlink(outside, dir.path() / "in" / ".file.tmp");
  const std::string_view a = "head,", b = "tail";
  ASSERT_TRUE(replace_file(dir.path() / "in" / "file",
                           {std::span(reinterpret_cast<const uint8_t*>(a.data()), a.size()),
                            std::span(reinterpret_cast<const uint8_t*>(b.data()), b.size())})
                  .ok());
  EXPECT_EQ(testing::read_text(outside), "keep");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir.path() / "in" / "file")));
  EXPECT_EQ(testing::read_text(dir.path() / "in" / "file"), "head,tail");
  EXPECT_EQ(entries(dir.path() / "in"), 2u) << "the file and the planted link, no temporary";
}

}  // namespace
}  // namespace vel
