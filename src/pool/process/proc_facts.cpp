#include "pool/process/hold_points.h"
#include "pool/process/proc_facts.h"

#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <limits>

namespace vel {

namespace {

template <class T>
std::optional<T> parse_unsigned(std::string_view text) {
  if (text.empty()) return std::nullopt;
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The next blank-separated field of `rest`, consumed.
std::string_view next_field(std::string_view& rest) {
  size_t b = rest.find_first_not_of(" \t\n");
  if (b == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(b);
  size_t e = rest.find_first_of(" \t\n");
  std::string_view field = rest.substr(0, e);
  rest.remove_prefix(e == std::string_view::npos ? rest.size() : e);
  return field;
}

}  // namespace

std::optional<pid_t> parse_pid_text(std::string_view text) {
  // Ten digits cannot overflow 64 bits: no library call, no overflow check
  // on the way (every process of a listing passes here).
  if (text.empty() || text.size() > 10 || text[0] == '0') return std::nullopt;
  uint64_t v = 0;
  for (const char c : text) {
    const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
    if (digit > 9) return std::nullopt;
    v = v * 10 + digit;
  }
  if (v > static_cast<uint64_t>(std::numeric_limits<pid_t>::max())) return std::nullopt;
  return static_cast<pid_t>(v);
}

std::optional<ProcStat> parse_proc_stat(std::string_view text) {
  const size_t open = text.find('(');
  const size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return std::nullopt;
  ProcStat s;
  const auto pid = parse_pid_text(text.substr(0, open - (open > 0 && text[open - 1] == ' ' ? 1 : 0)));
  if (!pid) return std::nullopt;
  s.pid = *pid;
  s.comm = std::string(text.substr(open + 1, close - open - 1));
  std::string_view rest = text.substr(close + 1);
  // Fields from 3 on (1-based, as proc(5) numbers them).
  std::string_view f[20];
  for (auto& field : f) {
    field = next_field(rest);
    if (field.empty()) return std::nullopt;
  }
  if (f[0].size() != 1) return std::nullopt;
  s.state = f[0][0];
  const auto ppid = parse_unsigned<uint32_t>(f[1]);    // field 4
  const auto pgrp = parse_unsigned<uint32_t>(f[2]);    // field 5
  const auto utime = parse_unsigned<uint64_t>(f[11]);  // field 14
  const auto stime = parse_unsigned<uint64_t>(f[12]);  // field 15
  const auto start = parse_unsigned<uint64_t>(f[19]);  // field 22
  if (!ppid || !pgrp || !utime || !stime || !start) return std::nullopt;
  if (*ppid > static_cast<uint32_t>(std::numeric_limits<pid_t>::max()) ||
      *pgrp > static_cast<uint32_t>(std::numeric_limits<pid_t>::max())) {
    return std::nullopt;
  }
  if (*utime > std::numeric_limits<uint64_t>::max() - *stime) return std::nullopt;
  s.ppid = static_cast<pid_t>(*ppid);
  s.pgrp = static_cast<pid_t>(*pgrp);
  s.cpu_ticks = *utime + *stime;
  s.start_ticks = *start;
  return s;
}

std::optional<uint64_t> parse_proc_stat_env_end(std::string_view text) {
  const size_t close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(close + 1);
  std::string_view field;
  for (int n = 3; n <= 51; ++n) {  // proc(5)'s numbering: the state is field 3
    field = next_field(rest);
    if (field.empty()) return std::nullopt;
  }
  return parse_unsigned<uint64_t>(field);
}

std::vector<std::string> parse_cmdline(std::string_view bytes) {
  std::vector<std::string> args;
  while (!bytes.empty()) {
    const size_t nul = bytes.find('\0');
    args.emplace_back(bytes.substr(0, nul));
    if (nul == std::string_view::npos) break;
    bytes.remove_prefix(nul + 1);
  }
  return args;
}

std::string join_arguments(const std::vector<std::string>& args) {
  std::string joined;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) joined += '\0';
    joined += args[i];
  }
  return joined;
}

std::optional<uid_t> parse_status_uid(std::string_view status) {
  size_t at = 0;
  while (at < status.size()) {
    size_t end = status.find('\n', at);
    if (end == std::string_view::npos) end = status.size();
    std::string_view line = status.substr(at, end - at);
    if (line.substr(0, 4) == "Uid:") {
      std::string_view rest = line.substr(4);
      next_field(rest);  // real
      const auto effective = parse_unsigned<uint32_t>(next_field(rest));
      if (!effective) return std::nullopt;
      return static_cast<uid_t>(*effective);
    }
    at = end + 1;
  }
  return std::nullopt;
}

std::optional<uint64_t> parse_statm_resident(std::string_view statm) {
  if (next_field(statm).empty()) return std::nullopt;
  return parse_unsigned<uint64_t>(next_field(statm));
}

std::optional<std::string> read_small_file(const std::string& path, size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buf[4096];
  while (out.size() < limit) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n) < limit - out.size() ? static_cast<size_t>(n) : limit - out.size());
  }
  ::close(fd);
  return out;
}

std::optional<std::string_view> ProcFileReader::read(pid_t pid, std::string_view name, size_t limit) {
  char path[64] = "/proc/";
  char* at = path + 6;
  const auto [after_pid, ec] = std::to_chars(at, path + sizeof path, pid);
  if (ec != std::errc() || name.size() + 2 > static_cast<size_t>(path + sizeof path - after_pid)) return std::nullopt;
  *after_pid = '/';
  name.copy(after_pid + 1, name.size());
  after_pid[1 + name.size()] = '\0';
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  if (buffer_.empty()) buffer_.resize(4096);
  size_t size = 0;
  while (size < limit) {
    if (size == buffer_.size()) buffer_.resize(std::min(buffer_.size() * 2, limit));
    const ssize_t n = ::read(fd, buffer_.data() + size, std::min(buffer_.size(), limit) - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  ::close(fd);
  return std::string_view(buffer_.data(), size);
}

std::string_view cmdline_joined(std::string_view bytes) {
  // parse_cmdline ends at the last NUL: it drops exactly one trailing NUL.
  if (!bytes.empty() && bytes.back() == '\0') bytes.remove_suffix(1);
  return bytes;
}

std::optional<uint64_t> statm_resident_bytes(std::string_view statm) {
  const auto pages = parse_statm_resident(statm);
  static const long page = sysconf(_SC_PAGESIZE);
  if (!pages || page <= 0 || *pages > std::numeric_limits<uint64_t>::max() / static_cast<uint64_t>(page)) {
    return std::nullopt;
  }
  return *pages * static_cast<uint64_t>(page);
}

std::optional<ProcessFacts> read_process_facts(pid_t pid, FactsWanted wanted) {
  ProcFileReader reader;
  const auto stat_text = reader.read(pid, "stat", 4096);
  if (!stat_text) return std::nullopt;
  auto stat = parse_proc_stat(*stat_text);
  if (!stat || stat->pid != pid) return std::nullopt;
  const auto status = reader.read(pid, "status", 16384);
  const auto uid = status ? parse_status_uid(*status) : std::nullopt;
  if (!uid) return std::nullopt;
  const auto cmdline = reader.read(pid, "cmdline", kCmdlineLimit);
  if (!cmdline) return std::nullopt;
  ProcessFacts facts{*stat, *uid, parse_cmdline(*cmdline), std::nullopt};
  if (wanted == FactsWanted::WithMemory) {
    if (const auto statm = reader.read(pid, "statm", 256)) facts.rss_bytes = statm_resident_bytes(*statm);
  }
  return facts;
}

std::vector<pid_t> list_process_ids() {
  hold_at(HoldPoint::ProcessListing);
  std::vector<pid_t> pids;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return pids;
  while (const dirent* e = ::readdir(dir)) {
    if (const auto pid = parse_pid_text(e->d_name)) pids.push_back(*pid);
  }
  ::closedir(dir);
  return pids;
}

uint64_t boot_time_ns() {
  timespec ts{};
  if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0 || ts.tv_sec < 0) return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t ticks_to_ns(uint64_t ticks) {
  static const uint64_t per_second = [] {
    const long hz = sysconf(_SC_CLK_TCK);
    return hz > 0 ? static_cast<uint64_t>(hz) : 100u;
  }();
  const uint64_t ns_per_tick = 1'000'000'000ull / per_second;
  if (ticks > std::numeric_limits<uint64_t>::max() / ns_per_tick) return std::numeric_limits<uint64_t>::max();
  return ticks * ns_per_tick;
}

}  // namespace vel
