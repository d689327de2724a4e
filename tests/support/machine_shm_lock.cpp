// Linked into the suites whose tests use the machine's /dev/shm as a whole
// (the orphan sweep's, the memory workers'): ctest's resource lock keeps
// them apart within one run, and this lock across runs, for the sanitizer
// runs that go side by side. Taken when the tests start, not when they are
// listed, and held until the process ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdio>

namespace {

class MachineShmLock : public ::testing::Environment {
 public:
  void SetUp() override {
    const int fd = ::open("/tmp/velocinta-tests-machine-shm.lock", O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
      std::perror("machine shm lock");
      return;  // the tests still run, as they did within one run
    }
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    // Kept open: the lock goes with the process.
  }
};

[[maybe_unused]] ::testing::Environment* const kLock = ::testing::AddGlobalTestEnvironment(new MachineShmLock);

}  // namespace
