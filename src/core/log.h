// The plug-in's log: one file, ~/Library/Logs/velocinta.log, shared by the
// host process and its render workers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vel {

enum class LogRole {
  Host,    // rotates the file to "velocinta.log.old" past 8 MiB
  Worker,  // appends only: a worker never moves the host's file under it
};

inline constexpr uint64_t kLogRotateBytes = 8ull * 1024 * 1024;

// Opens the log once per process; later calls do nothing and answer whether
// a file is open. Creates the folder when needed. Never fails the caller.
bool open_log_file(LogRole role = LogRole::Host);

// Appends "[<unix ms>] <level>: <message>\n" under the log mutex. Does
// nothing while no file is open; never fails; callable from any thread.
void log_line(std::string_view level, std::string_view message);

// A PERF record, written only while VELOCINTA_PERF is "1".
void perf_log(std::string_view record);

// The system log (syslog here), used by the host access layer beside the file.
void system_log(std::string_view level, std::string_view message);

// The formatted line, for tests.
std::string format_log_line(uint64_t unix_ms, std::string_view level, std::string_view message);

// Opens an explicit file (tests); replaces whatever was open.
bool open_log_file_at(const std::filesystem::path& path, LogRole role, uint64_t rotate_bytes = kLogRotateBytes);
void close_log_file();
bool log_file_open();

}  // namespace vel
