#include "panel/update/update_spawn.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <system_error>

extern char** environ;

namespace vel {
namespace {

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string system_text(int error) { return std::system_category().message(error); }

// Owns the spawn attributes and file actions for one start.
class SpawnSetup {
 public:
  SpawnSetup() {
    ok_ = posix_spawn_file_actions_init(&actions_) == 0;
    ok_ = posix_spawnattr_init(&attr_) == 0 && ok_;
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // 0 or the first error of the setup.
  int prepare(int capture_fd) {
    if (!ok_) return ENOMEM;
    int rc = 0;
    const auto step = [&rc](int r) {
      if (rc == 0) rc = r;
    };
    if (capture_fd >= 0) {
      // The pipe first: in a host that had closed its standard input the
      // pipe may sit on descriptor 0 or 2, which the opens then replace.
      step(posix_spawn_file_actions_adddup2(&actions_, capture_fd, 1));
      step(posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0));
      step(posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0));
    }
    step(posix_spawn_file_actions_addclosefrom_np(&actions_, 3));
    // A host that ignores SIGPIPE would pass that on to the child; the
    // child's own handling is the default one, and no signal is blocked.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    step(posix_spawnattr_setsigmask(&attr_, &none));
    step(posix_spawnattr_setsigdefault(&attr_, &defaults));
    step(posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    return rc;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  bool ok_ = false;
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attr_{};
};

}  // namespace

std::optional<std::string> find_program_on_path(const std::string& name, const char* search_path) {
  const std::string_view path = search_path != nullptr ? search_path : "/bin:/usr/bin";
  size_t start = 0;
  for (;;) {
    const size_t colon = path.find(':', start);
    const std::string_view dir =
        path.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
    std::string candidate(dir.empty() ? std::string_view(".") : dir);
    candidate.push_back('/');
    candidate.append(name);
    if (is_executable_file(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    start = colon + 1;
  }
}

Result<pid_t> spawn_program(const std::string& program, const std::vector<std::string>& args, int capture_fd) {
  SpawnSetup setup;
  if (int rc = setup.prepare(capture_fd); rc != 0) return err(system_text(rc));
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), setup.actions(), setup.attr(), argv.data(), environ);
  if (rc != 0) return err(system_text(rc));
  return pid;
}

}  // namespace vel
