// What the kernel says about a process, read from /proc. Pids are reused and
// anything here may change between two reads: callers that act on a process
// read its facts again through a pidfd before they signal it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

// The fields of /proc/PID/stat the pool uses.
struct ProcStat {
  pid_t pid = 0;
  pid_t ppid = 0;
  pid_t pgrp = 0;
  char state = '?';
  std::string comm;          // the 15-byte process name, as the kernel keeps it
  uint64_t cpu_ticks = 0;    // user + system, in clock ticks
  uint64_t start_ticks = 0;  // start time, clock ticks since boot
};

// Parses one /proc/PID/stat text. The name sits in parentheses and may itself
// hold blanks and ")", so the fields are read after the last ")".
std::optional<ProcStat> parse_proc_stat(std::string_view text);

// The end of the environment in a /proc/PID/stat text (field 51). The
// kernel sets it once an exec has put the new program's arguments and
// environment in place: 0 while an exec is under way (and for a process
// without memory), nothing when the text is shorter.
std::optional<uint64_t> parse_proc_stat_env_end(std::string_view text);

// The arguments of /proc/PID/cmdline: NUL-separated, exact bytes. Empty for a
// kernel thread or a zombie.
std::vector<std::string> parse_cmdline(std::string_view bytes);

// The arguments joined with NUL bytes, as /proc/PID/cmdline holds them
// (without the last NUL).
std::string join_arguments(const std::vector<std::string>& args);

// The effective user id of the "Uid:" line of /proc/PID/status.
std::optional<uid_t> parse_status_uid(std::string_view status);

// Resident pages, the second field of /proc/PID/statm.
std::optional<uint64_t> parse_statm_resident(std::string_view statm);

// Resident bytes of a /proc/PID/statm text: its pages times the page size;
// nothing when it does not parse or overflows.
std::optional<uint64_t> statm_resident_bytes(std::string_view statm);

// A /proc/PID/cmdline read is bounded like ARG_MAX; a longer one is cut,
// which no exact match accepts.
inline constexpr size_t kCmdlineLimit = 256 * 1024;

// A strict decimal pid: digits only, no sign, no leading zero, 1 … 2^31-1.
std::optional<pid_t> parse_pid_text(std::string_view text);

// One process as the pool sees it.
struct ProcessFacts {
  ProcStat stat;
  uid_t uid = 0;
  std::vector<std::string> args;
  std::optional<uint64_t> rss_bytes;  // only when asked for
};

enum class FactsWanted { Identity, WithMemory };

// Reads /proc/PID/{stat,status,cmdline} (and statm when asked). Nothing when
// the process is gone or a file does not parse.
std::optional<ProcessFacts> read_process_facts(pid_t pid, FactsWanted wanted = FactsWanted::Identity);

// Every numeric entry of /proc, in the order the kernel lists them.
std::vector<pid_t> list_process_ids();

// Whole file read with a bound; nothing when it cannot be opened.
std::optional<std::string> read_small_file(const std::string& path, size_t limit);

// Reads the /proc files of one process after another into one buffer that
// grows to the largest file and is then reused: a walk over every process
// makes no allocation per file, and the path is built without one.
class ProcFileReader {
 public:
  // /proc/PID/NAME, at most `limit` bytes; valid until the next read.
  // Nothing when the file cannot be opened or read (the process is gone).
  std::optional<std::string_view> read(pid_t pid, std::string_view name, size_t limit);

 private:
  std::vector<char> buffer_;
};

// The arguments of /proc/PID/cmdline joined with NUL bytes, as
// join_arguments(parse_cmdline(bytes)) gives them, without building either.
std::string_view cmdline_joined(std::string_view bytes);

// CLOCK_BOOTTIME in nanoseconds, the clock of /proc start times.
uint64_t boot_time_ns();

// Clock ticks (sysconf(_SC_CLK_TCK)) to nanoseconds, saturating.
uint64_t ticks_to_ns(uint64_t ticks);

}  // namespace vel
