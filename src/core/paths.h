// Per-user paths. Every path hangs off an absolute HOME: an unset, empty or
// relative HOME gives no path at all, never one relative to the working
// directory (purge and cleanup delete what these paths name).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>

namespace vel {

namespace fs = std::filesystem;

// Pure rule behind home_dir(), for tests.
std::optional<fs::path> home_from_value(const char* home);

std::optional<fs::path> home_dir();          // $HOME, read once
std::optional<fs::path> log_dir();           // ~/Library/Logs
std::optional<fs::path> log_file_path();     // ~/Library/Logs/velocinta.log
std::optional<fs::path> app_support_dir();   // ~/Library/Application Support/velocinta
std::optional<fs::path> caches_dir();        // ~/Library/Caches/velocinta

// The temporary directory: $TMPDIR when set (and absolute), else a per-user
// folder under /tmp created with mode 0700. A folder that is a symbolic link
// or owned by another user is refused (an ERROR line; the caller's feature
// stays off). Resolved once per process.
std::optional<fs::path> temp_dir();

struct TempDirVerdict {
  std::optional<fs::path> dir;
  const char* refusal = nullptr;  // why it was refused, for the log line
};
// The rule behind temp_dir(), for tests: `tmpdir_env` is $TMPDIR (may be
// null), `uid` the caller's user, `shared_base` normally "/tmp".
TempDirVerdict resolve_temp_dir(const char* tmpdir_env, uid_t uid, const fs::path& shared_base);

}  // namespace vel
