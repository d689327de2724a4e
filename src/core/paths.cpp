#include "core/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "core/log.h"

namespace vel {

std::optional<fs::path> home_from_value(const char* home) {
  if (home == nullptr || home[0] != '/') return std::nullopt;
  return fs::path(home);
}

std::optional<fs::path> home_dir() {
  static const std::optional<fs::path>& home = *new std::optional<fs::path>(home_from_value(std::getenv("HOME")));
  return home;
}

std::optional<fs::path> log_dir() {
  auto h = home_dir();
  if (!h) return std::nullopt;
  return *h / "Library" / "Logs";
}

std::optional<fs::path> log_file_path() {
  auto d = log_dir();
  if (!d) return std::nullopt;
  return *d / "velocinta.log";
}

std::optional<fs::path> app_support_dir() {
  auto h = home_dir();
  if (!h) return std::nullopt;
  return *h / "Library" / "Application Support" / "velocinta";
}

std::optional<fs::path> caches_dir() {
  auto h = home_dir();
  if (!h) return std::nullopt;
  return *h / "Library" / "Caches" / "velocinta";
}

TempDirVerdict resolve_temp_dir(const char* tmpdir_env, uid_t uid, const fs::path& shared_base) {
  if (tmpdir_env != nullptr && tmpdir_env[0] != '\0') {
    if (tmpdir_env[0] != '/') return {std::nullopt, "TMPDIR is not an absolute path"};
    return {fs::path(tmpdir_env), nullptr};
  }
  fs::path dir = shared_base / ("velocinta-" + std::to_string(uid));
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {std::nullopt, "cannot create the per-user folder"};
  struct stat st {};
  // lstat: a planted symbolic link must not redirect our deletes elsewhere.
  if (lstat(dir.c_str(), &st) != 0) return {std::nullopt, "cannot inspect the per-user folder"};
  if (S_ISLNK(st.st_mode)) return {std::nullopt, "the per-user folder is a symbolic link"};
  if (!S_ISDIR(st.st_mode)) return {std::nullopt, "the per-user folder is not a directory"};
  if (st.st_uid != uid) return {std::nullopt, "the per-user folder belongs to another user"};
  if ((st.st_mode & 077) != 0 && chmod(dir.c_str(), 0700) != 0) {
    return {std::nullopt, "cannot restrict the per-user folder to its owner"};
  }
  return {dir, nullptr};
}

std::optional<fs::path> temp_dir() {
  static const std::optional<fs::path>& dir = *new std::optional<fs::path>([]() -> std::optional<fs::path> {
    TempDirVerdict v = resolve_temp_dir(std::getenv("TMPDIR"), getuid(), "/tmp");
    if (!v.dir) {
      log_line("ERROR", std::string("temporary directory refused: ") + (v.refusal ? v.refusal : "unknown"));
    }
    return v.dir;
  }());
  return dir;
}

}  // namespace vel
