// Failures that come back on every idle call (a suite the host lacks, a full
// worker registry) would otherwise write the same line dozens of times a
// second into the log and the system log. Under a key naming the condition,
// the first failure is logged, its repeats are only counted, and one summary
// line with the count comes when the condition changes (another message
// under the same key), ends (the caller saw the operation succeed) or is
// still on when the plug-in quits.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

// Where a line goes: the log file only, or the system log as well.
enum class LogReach { File, FileAndSystem };

struct LogOutput {
  std::string level;
  std::string message;
  LogReach reach = LogReach::File;
  friend bool operator==(const LogOutput&, const LogOutput&) = default;
};

// Decides which lines to write; writes nothing itself. Safe from any thread.
class RepeatSuppressor {
 public:
  // A failure under `key`. Answers the lines to write now, in order: none
  // for a repeat of the key's current message; the line itself for a new
  // condition; for a changed one, the summary of the old one first.
  std::vector<LogOutput> failed(std::string_view key, std::string_view level, std::string_view message,
                                LogReach reach);
  // The condition under `key` ended: its summary when repeats were counted.
  // Cheap when no condition is active, so it can follow every success.
  std::vector<LogOutput> ended(std::string_view key);
  // Closes every condition when the plug-in quits, in key order.
  std::vector<LogOutput> end_all();
  // Drops every condition without a summary.
  void forget();

 private:
  struct Condition {
    std::string level;
    std::string message;
    LogReach reach;
    uint64_t repeats = 0;
  };
  enum class Close { Changed, Ended, Quit };
  static void summarise(const Condition& c, Close how, std::vector<LogOutput>& out);

  std::mutex mutex_;
  std::map<std::string, Condition, std::less<>> active_;
  std::atomic<size_t> active_count_{0};
};

// The process-wide suppressor, writing through log_line / system_log.
void log_repeatable(std::string_view key, std::string_view level, std::string_view message,
                    LogReach reach = LogReach::File);
void log_repeat_ended(std::string_view key);
void log_all_repeats_ended();
// Forgets every condition without a summary (a test's fresh log).
void forget_repeated_failures();

}  // namespace vel
