// The main of the suites that start hosts and workers: re-executes the test
// binary as pid 1 of a new pid namespace with its own /proc and its own
// /dev/shm, so that the plug-in's sweeps (processes and shared-memory
// segments) see nothing but this test's own, two tests can run side by side,
// and everything the test started dies with it. Where namespaces are refused
// the binary runs as it is; the tests that cannot do without one skip.
#include <limits.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (::getpid() != 1 && std::getenv("VEL_PID_NAMESPACE_TRIED") == nullptr) {
    ::setenv("VEL_PID_NAMESPACE_TRIED", "1", 1);
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
      std::vector<std::string> args = {"unshare"};
      // Real root keeps its uids, so that the other-user cases can run.
      if (::geteuid() != 0) args.insert(args.end(), {"--user", "--map-root-user"});
      args.insert(args.end(), {"--pid", "--fork", "--mount-proc", "--kill-child", self});
      for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
      std::vector<char*> av;
      for (std::string& a : args) av.push_back(a.data());
      av.push_back(nullptr);
      ::execvp("unshare", av.data());
    }
  }
  // The mount namespace came with --mount-proc, its propagation private: a
  // fresh tmpfs here hides the machine's segments and shows ours to no one.
  // Every such test runs as pid 1, so names a test makes from its pid (log
  // captures, scratch files) are the same in two tests side by side: each
  // gets a temporary folder of its own, removed when it ends.
  std::string own_tmp;
  if (::getpid() == 1) {
    ::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
    const char* base = std::getenv("TMPDIR");
    own_tmp = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vel-test-XXXXXX";
    if (::mkdtemp(own_tmp.data()) != nullptr) ::setenv("TMPDIR", own_tmp.c_str(), 1);
    else own_tmp.clear();
  }
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  if (!own_tmp.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(own_tmp, ec);
  }
  return status;
}
