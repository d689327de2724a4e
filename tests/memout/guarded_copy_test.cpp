// The copy out of a shared mapping survives the file shrinking under it, and
// leaves every other SIGBUS where it went before.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

#include "memout/guarded_copy.h"
#include "memout_test_support.h"

namespace vel {
namespace {

// A mapping of `pages` pages of a file of its own, and the file.
struct SharedFile {
  int fd = -1;
  uint8_t* base = nullptr;
  size_t length = 0;
  explicit SharedFile(size_t pages) : length(pages * static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    fd = memfd_create("vel-guarded-copy", 0);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(length)) != 0) return;
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) base = static_cast<uint8_t*>(p);
  }
  ~SharedFile() {
    if (base != nullptr) munmap(base, length);
    if (fd >= 0) close(fd);
  }
};

TEST(GuardedCopy, CopiesWholeAndStopsAtAShrunkFile) {
  SharedFile f(8);
  ASSERT_NE(f.base, nullptr);
  for (size_t i = 0; i < f.length; ++i) f.base[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> out(f.length - 3);
  const GuardedCopy first = copy_from_shared_mapping(out.data(), f.base + 3, out.size());
  if (first == GuardedCopy::Unavailable) GTEST_SKIP() << "no SIGBUS guard under this runtime";
  ASSERT_EQ(first, GuardedCopy::Copied);
  for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], static_cast<uint8_t>((i + 3) * 7)) << i;

  ASSERT_EQ(ftruncate(f.fd, static_cast<off_t>(f.length / 2)), 0);
  EXPECT_EQ(copy_from_shared_mapping(out.data(), f.base, f.length), GuardedCopy::Faulted);
  // Once more: the signal is not left blocked on this thread.
  EXPECT_EQ(copy_from_shared_mapping(out.data(), f.base, f.length), GuardedCopy::Faulted);
  EXPECT_EQ(copy_from_shared_mapping(out.data(), f.base, f.length / 2), GuardedCopy::Copied);
}

TEST(GuardedCopy, AFaultOutsideTheCopyStillKills) {
  SharedFile f(2);
  ASSERT_NE(f.base, nullptr);
  std::vector<uint8_t> out(16);
  const GuardedCopy first = copy_from_shared_mapping(out.data(), f.base, out.size());  // guard in place
  if (first == GuardedCopy::Unavailable) GTEST_SKIP() << "no SIGBUS guard under this runtime";
  ASSERT_EQ(first, GuardedCopy::Copied);
  ASSERT_EQ(ftruncate(f.fd, 0), 0);
  testing::ForkedChild child([&] {
    volatile uint8_t v = f.base[0];
    (void)v;
    return 0;
  });
  const std::optional<int> status = child.wait(std::chrono::seconds(20));
  ASSERT_TRUE(status);
  // Killed by SIGBUS, or by a sanitizer's report of it: never a normal end.
  EXPECT_FALSE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

}  // namespace
}  // namespace vel
