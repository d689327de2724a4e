#include "core/bounded_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

class BoundedReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    std::ofstream(dir_ / "ten", std::ios::binary) << std::string(10, 'a');
    fs::create_symlink(dir_ / "ten", dir_ / "link");
    fs::create_symlink("/dev/zero", dir_ / "zero");
    fs::create_symlink(dir_ / "absent", dir_ / "dangling");
    fs::create_directory(dir_ / "folder");
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((dir_ / "fed-fifo").c_str(), 0600), 0);
    // Both ends in one descriptor: the FIFO has a writer and bytes waiting.
    fed_ = ::open((dir_ / "fed-fifo").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fed_, 0);
    ASSERT_EQ(::write(fed_, "{}", 2), 2);
  }
  void TearDown() override {
    if (fed_ >= 0) ::close(fed_);
  }
  testing::ScratchDir scratch_{"vel-read"};
  fs::path dir_ = scratch_.path();
  int fed_ = -1;
};

TEST_F(BoundedReadTest, OnlyWholeRegularFilesWithinTheLimitAreRead) {
  struct Row {
    const char* name;
    uint64_t limit;
    std::optional<FileRefusal> refused;
  };
  const Row rows[] = {
      {"ten", 10, std::nullopt},
      {"ten", 9, FileRefusal::TooLarge},
      {"link", 10, std::nullopt},  // settings kept in a linked folder
      {"zero", 1 << 20, FileRefusal::NotRegular},
      {"folder", 1 << 20, FileRefusal::NotRegular},
      {"fifo", 1 << 20, FileRefusal::NotRegular},  // a blocking open would wait for a writer for ever
      {"fed-fifo", 1 << 20, FileRefusal::NotRegular},
      {"absent", 10, FileRefusal::Missing},
      {"dangling", 10, FileRefusal::Missing},
  };
  for (const Row& r : rows) {
    std::vector<uint8_t> buf(3, 9);
    Status<FileReadError> got = read_file_limited(dir_ / r.name, r.limit, buf);
    ASSERT_EQ(got.ok(), !r.refused) << r.name;
    if (r.refused) {
      EXPECT_EQ(got.error().kind, *r.refused) << r.name;
      EXPECT_NE(got.error().text.find(r.name), std::string::npos) << got.error().text;
    } else {
      EXPECT_EQ(buf, std::vector<uint8_t>(10, 'a')) << r.name;
    }
  }
  Result<std::string, FileReadError> text = read_text_limited(dir_ / "ten", 10);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, std::string(10, 'a'));
}

TEST_F(BoundedReadTest, ALinkIsRefusedWhereTheCallerSaysSo) {
  Result<RegularFile, FileReadError> followed = open_regular_file(dir_ / "link");
  ASSERT_TRUE(followed);
  EXPECT_EQ(followed->size(), 10u);
  Result<RegularFile, FileReadError> not_followed = open_regular_file(dir_ / "link", /*follow_link=*/false);
  ASSERT_FALSE(not_followed);
  EXPECT_EQ(not_followed.error().kind, FileRefusal::NotRegular);
  EXPECT_TRUE(open_regular_file(dir_ / "ten", false));
}

TEST_F(BoundedReadTest, AnOpenFileIsReadWhole) {
  Result<RegularFile, FileReadError> file = open_regular_file(dir_ / "ten");
  ASSERT_TRUE(file);
  std::vector<uint8_t> buf;
  EXPECT_FALSE(read_open_file(*file, dir_ / "ten", 9, buf)) << "the limit holds here too";
  ASSERT_TRUE(read_open_file(*file, dir_ / "ten", 10, buf));
  EXPECT_EQ(buf.size(), 10u);
  // The descriptor reads as usual once the open is done.
  EXPECT_EQ(::fcntl(file->fd(), F_GETFL) & O_NONBLOCK, 0);
}

}  // namespace
}  // namespace vel
