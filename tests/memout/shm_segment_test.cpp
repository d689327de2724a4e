#include "memout/shm_segment.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <string>

#include "memout_test_support.h"

namespace vel {
namespace {

std::string fresh_name() { return next_segment_identity().name; }

TEST(ShmSegmentTest, MappingNamesAreRefusedBeforeAnyCall) {
  using namespace std::string_literals;
  struct Case {
    std::string name;
    const char* error;
  } cases[] = {
      {"/vnx", "invalid POSIX mapping name"},
      {"vnx_00000001", "invalid POSIX mapping name"},
      {"/abc_00000001", "invalid POSIX mapping name"},
      {"/vnx_0000/0001", "invalid POSIX mapping name"},
      {"/vnx_" + std::string(27, 'a'), "invalid POSIX mapping name"},  // 32 bytes
      {"/vnx_a\0b"s, "invalid mapping name"},
  };
  for (const Case& c : cases) {
    for (bool create : {true, false}) {
      auto r = map_shared_memory(c.name, 4096, create);
      ASSERT_FALSE(r) << c.name;
      EXPECT_EQ(r.error().message, c.error) << c.name;
    }
  }
  EXPECT_EQ(unlink_shared_memory("/vnx_a\0b"s).error().message, "invalid mapping name");
}

TEST(ShmSegmentTest, IdentityFromPidCounterAndClock) {
  const unsigned __int128 ns = (static_cast<unsigned __int128>(0xA0A0) << 64) | 0x1122334455667788ull;
  const SegmentIdentity id = segment_identity(0x1234, 5, ns);
  EXPECT_EQ(id.name, "/vnx_00001234_112233445566778d");
  EXPECT_EQ(id.name.size(), 30u);
  const SegmentToken want = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,
                             0x94, 0xB2, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
  EXPECT_EQ(id.token, want);
  // The nonce wraps rather than overflowing.
  EXPECT_EQ(segment_identity(0xFFFFFFFF, 1, UINT64_MAX).name, "/vnx_ffffffff_0000000000000000");

  const SegmentIdentity a = next_segment_identity();
  const SegmentIdentity b = next_segment_identity();
  EXPECT_NE(a.name, b.name);
  EXPECT_NE(a.token, b.token);
  EXPECT_EQ(a.name.substr(1, 13), testing::own_segment_prefix());
}

TEST(ShmSegmentTest, CreatorOwnsTheNameAndOpenersDoNot) {
  const std::string name = fresh_name();
  {
    auto created = map_shared_memory(name, 4096, true);
    ASSERT_TRUE(created) << created.error().message;
    EXPECT_EQ(created->capacity(), 4096u - kSegmentHeaderBytes);
    EXPECT_EQ(created->name(), name);

    auto again = map_shared_memory(name, 4096, true);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().os_code, EEXIST);

    auto too_long = map_shared_memory(name, 8192, false);
    ASSERT_FALSE(too_long);
    EXPECT_EQ(too_long.error().message, "shared-memory mapping is too short");

    {
      auto opened = map_shared_memory(name, 4096, false);
      ASSERT_TRUE(opened);
      EXPECT_FALSE(opened->name().has_value());
      opened->base()[300] = 42;
      EXPECT_EQ(created->base()[300], 42);  // one segment, two views
    }
    EXPECT_TRUE(testing::shm_exists(name)) << "an opener's drop must not remove the name";
  }
  EXPECT_FALSE(testing::shm_exists(name));
  auto gone = map_shared_memory(name, 4096, false);
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error().os_code, ENOENT);
}

// tmpfs accepts any size at ftruncate; without reserving the pages the first
// write past the free space would kill the writer with SIGBUS. Asking for
// more than the whole file system must fail cleanly at creation instead.
TEST(ShmSegmentTest, FullSharedMemoryFileSystemIsACleanError) {
  struct statvfs vfs {};
  ASSERT_EQ(statvfs("/dev/shm", &vfs), 0);
  const uint64_t total = uint64_t{vfs.f_blocks} * vfs.f_frsize;
  const std::string name = fresh_name();
  auto r = map_shared_memory(name, total + (1u << 20), true);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, MemoutErrorKind::Os);
  EXPECT_EQ(r.error().os_code, ENOSPC) << r.error().message;
  EXPECT_FALSE(testing::shm_exists(name));
}

}  // namespace
}  // namespace vel
