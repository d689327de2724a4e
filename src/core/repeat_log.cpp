#include "core/repeat_log.h"

#include "core/log.h"

namespace vel {

void RepeatSuppressor::summarise(const Condition& c, Close how, std::vector<LogOutput>& out) {
  if (c.repeats == 0) return;  // a single failure needs no second line
  const char* tail = how == Close::Changed ? ", then changed)" : how == Close::Ended ? ", then stopped)" : ", until quit)";
  std::string line = c.message + " (repeated " + std::to_string(c.repeats) +
                     (c.repeats == 1 ? " more time" : " more times") + tail;
  // An ended condition is news, not a failure; one still on at quit stays one.
  out.push_back(LogOutput{how == Close::Ended ? std::string("INFO") : c.level, std::move(line), c.reach});
}

std::vector<LogOutput> RepeatSuppressor::failed(std::string_view key, std::string_view level,
                                                std::string_view message, LogReach reach) {
  std::vector<LogOutput> out;
  std::lock_guard lock(mutex_);
  auto it = active_.find(key);
  if (it != active_.end()) {
    Condition& c = it->second;
    if (c.message == message && c.level == level) {
      if (c.repeats != UINT64_MAX) ++c.repeats;
      return out;
    }
    summarise(c, Close::Changed, out);
    c = Condition{std::string(level), std::string(message), reach, 0};
  } else {
    active_.emplace(std::string(key), Condition{std::string(level), std::string(message), reach, 0});
    active_count_.store(active_.size(), std::memory_order_relaxed);
  }
  out.push_back(LogOutput{std::string(level), std::string(message), reach});
  return out;
}

std::vector<LogOutput> RepeatSuppressor::ended(std::string_view key) {
  std::vector<LogOutput> out;
  if (active_count_.load(std::memory_order_relaxed) == 0) return out;
  std::lock_guard lock(mutex_);
  auto it = active_.find(key);
  if (it == active_.end()) return out;
  summarise(it->second, Close::Ended, out);
  active_.erase(it);
  active_count_.store(active_.size(), std::memory_order_relaxed);
  return out;
}

std::vector<LogOutput> RepeatSuppressor::end_all() {
  std::vector<LogOutput> out;
  std::lock_guard lock(mutex_);
  for (const auto& [key, c] : active_) summarise(c, Close::Quit, out);
  active_.clear();
  active_count_.store(0, std::memory_order_relaxed);
  return out;
}

void RepeatSuppressor::forget() {
  std::lock_guard lock(mutex_);
  active_.clear();
  active_count_.store(0, std::memory_order_relaxed);
}

namespace {
// Never destroyed: threads may still log while the process exits.
RepeatSuppressor& process_suppressor() {
  static RepeatSuppressor& s = *new RepeatSuppressor();
  return s;
}

void write(const std::vector<LogOutput>& lines) {
  for (const LogOutput& l : lines) {
    log_line(l.level, l.message);
    if (l.reach == LogReach::FileAndSystem) system_log(l.level, l.message);
  }
}
}  // namespace

void log_repeatable(std::string_view key, std::string_view level, std::string_view message, LogReach reach) {
  try {
    write(process_suppressor().failed(key, level, message, reach));
  } catch (...) {
    // Logging never fails towards the caller.
  }
}

void log_repeat_ended(std::string_view key) {
  try {
    write(process_suppressor().ended(key));
  } catch (...) {
  }
}

void log_all_repeats_ended() {
  try {
    write(process_suppressor().end_all());
  } catch (...) {
  }
}

void forget_repeated_failures() { process_suppressor().forget(); }

}  // namespace vel
