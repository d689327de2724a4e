// A small volume of the test's own: a tmpfs of the size asked for, mounted
// over a folder of its scratch (the host's home, caches or temporary
// folder) for as long as the object lives. Only a test running in a mount
// namespace of its own may take a mount: the suite's main runs each test as
// pid 1 of its own namespaces where they can be made.
#pragma once

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

namespace vel::testing {

// True where the test runs in namespaces of its own, the only place it may
// mount anything.
inline bool in_own_namespace() { return ::getpid() == 1; }

class SmallVolume {
 public:
  SmallVolume(const std::filesystem::path& at, uint64_t bytes) : at_(at) {
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      refused_ = errno == EPERM || errno == EACCES;
      error_ = std::strerror(errno);
    }
  }
  ~SmallVolume() {
    if (mounted_) (void)::umount2(at_.c_str(), MNT_DETACH);
  }
  SmallVolume(const SmallVolume&) = delete;
  SmallVolume& operator=(const SmallVolume&) = delete;

  bool mounted() const { return mounted_; }
  bool refused() const { return refused_; }  // the namespace takes no mount at all
  const std::string& error() const { return error_; }

 private:
  std::filesystem::path at_;
  bool mounted_ = false;
  bool refused_ = false;
  std::string error_;
};

// A host's home whose caches folder is a small volume, with the run's own
// output and temporary folders beside it in the scratch folder.
struct SmallCachesHome {
  SmallCachesHome(const std::filesystem::path& scratch, uint64_t bytes)
      : home(scratch / "home"),
        caches(home / "Library" / "Caches"),
        out(scratch / "out"),
        tmp(scratch / "tmp"),
        volume((make_folders(), caches), bytes) {}

  std::filesystem::path home, caches, out, tmp;
  SmallVolume volume;

 private:
  bool make_folders() const {
    for (const std::filesystem::path& d : {caches, out, tmp}) std::filesystem::create_directories(d);
    return true;
  }
};

}  // namespace vel::testing
