#include "pool/process_listing.h"

#include <charconv>
#include <limits>

#include "pool/pid_index.h"
#include "pool/proc_facts.h"

namespace vel {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && (is_blank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (is_blank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string_view take_word(std::string_view& rest) {
  while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
  size_t n = 0;
  while (n < rest.size() && !is_blank(rest[n])) ++n;
  std::string_view w = rest.substr(0, n);
  rest.remove_prefix(n);
  return w;
}

template <class T>
std::optional<T> decimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  T v{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

bool checked_mul_add(uint64_t& acc, uint64_t mul, uint64_t add) {
  if (acc > (std::numeric_limits<uint64_t>::max() - add) / mul) return false;
  acc = acc * mul + add;
  return true;
}

// Calls `each` with every line (a trailing carriage return removed).
template <class F>
void for_each_line(std::string_view text, F&& each) {
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    each(trim(text.substr(0, nl)));
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
}

bool no_repeated_pid(const MemoryListing& listing) {
  PidIndex index(listing.rows.size());
  for (uint32_t i = 0; i < listing.rows.size(); ++i) {
    if (!index.insert(listing.rows[i].pid, i, listing.rows)) return false;
  }
  return true;
}

}  // namespace

bool MemoryListing::add(uint32_t pid, uint32_t ppid, uint32_t uid, uint64_t rss_bytes, std::string_view joined) {
  if (joined.empty() || args.size() + joined.size() > std::numeric_limits<uint32_t>::max()) return false;
  rows.push_back({pid, ppid, uid, rss_bytes, static_cast<uint32_t>(args.size()), static_cast<uint32_t>(joined.size())});
  args.append(joined);
  return true;
}

bool parse_memory_listing_line(std::string_view line, MemoryListing& listing) {
  line = trim(line);
  const auto pid = decimal<uint32_t>(take_word(line));
  const auto ppid = decimal<uint32_t>(take_word(line));
  const auto uid = decimal<uint32_t>(take_word(line));
  const auto rss_kib = decimal<uint64_t>(take_word(line));
  if (!pid || !ppid || !uid || !rss_kib || *rss_kib >= (uint64_t{1} << 54)) return false;
  while (!line.empty() && is_blank(line.front())) line.remove_prefix(1);
  if (line.empty() || listing.args.size() + line.size() > std::numeric_limits<uint32_t>::max()) return false;
  // The command is copied once, each run of blanks becoming one NUL.
  const size_t at = listing.args.size();
  listing.args.resize(at + line.size());
  char* out = listing.args.data() + at;
  bool gap = false;
  for (char c : line) {
    if (is_blank(c)) {
      gap = true;
      continue;
    }
    if (gap) *out++ = '\0';
    gap = false;
    *out++ = c;
  }
  const size_t size = static_cast<size_t>(out - (listing.args.data() + at));
  listing.args.resize(at + size);
  listing.rows.push_back({*pid, *ppid, *uid, *rss_kib * 1024, static_cast<uint32_t>(at), static_cast<uint32_t>(size)});
  return true;
}

MemoryListing parse_memory_listing(std::string_view text) {
  MemoryListing listing;
  listing.rows.reserve(text.size() / 64 + 1);
  listing.args.reserve(text.size());
  for_each_line(text, [&](std::string_view line) { parse_memory_listing_line(line, listing); });
  listing.usable = no_repeated_pid(listing);
  return listing;
}

std::optional<CpuListingLine> parse_cpu_listing_line(std::string_view line) {
  line = trim(line);
  const auto pid = decimal<uint32_t>(take_word(line));
  const auto cpu = parse_ps_cpu_time(take_word(line));
  if (!pid || !cpu) return std::nullopt;
  std::string start;
  for (int i = 0; i < 5; ++i) {
    const std::string_view w = take_word(line);
    if (w.empty()) return std::nullopt;
    if (i > 0) start += ' ';
    start += w;
  }
  if (!take_word(line).empty()) return std::nullopt;
  return CpuListingLine{*pid, {*cpu, std::move(start)}};
}

std::optional<CpuListing> parse_cpu_listing(std::string_view text) {
  CpuListing listing;
  bool duplicate = false;
  for_each_line(text, [&](std::string_view line) {
    auto parsed = parse_cpu_listing_line(line);
    if (parsed) duplicate = duplicate || !listing.emplace(parsed->pid, std::move(parsed->times)).second;
  });
  if (duplicate || listing.empty()) return std::nullopt;
  return listing;
}

std::optional<uint64_t> parse_ps_cpu_time(std::string_view text) {
  uint64_t days = 0;
  bool has_days = false;
  if (const size_t dash = text.find('-'); dash != std::string_view::npos) {
    const auto d = decimal<uint64_t>(text.substr(0, dash));
    if (!d) return std::nullopt;
    days = *d;
    has_days = true;
    text.remove_prefix(dash + 1);
  }
  std::string_view pieces[3];
  size_t count = 0;
  for (;;) {
    const size_t colon = text.rfind(':');
    if (count == 3) return std::nullopt;
    pieces[count++] = colon == std::string_view::npos ? text : text.substr(colon + 1);
    if (colon == std::string_view::npos) break;
    text = text.substr(0, colon);
  }
  if (count < 2) return std::nullopt;
  // pieces[0] seconds, pieces[1] minutes, pieces[2] hours
  const auto minutes = decimal<uint64_t>(pieces[1]);
  if (!minutes) return std::nullopt;
  uint64_t hours = 0;
  if (count == 3) {
    const auto h = decimal<uint64_t>(pieces[2]);
    if (!h || *minutes > 59 || (has_days && *h > 23)) return std::nullopt;
    hours = *h;
  } else if (has_days) {
    return std::nullopt;
  }
  std::string_view secs = pieces[0];
  uint64_t fraction_ns = 0;
  if (const size_t dot = secs.find('.'); dot != std::string_view::npos) {
    const std::string_view frac = secs.substr(dot + 1);
    const auto f = decimal<uint64_t>(frac);
    if (!f || frac.size() > 9) return std::nullopt;
    fraction_ns = *f;
    for (size_t i = frac.size(); i < 9; ++i) fraction_ns *= 10;
    secs = secs.substr(0, dot);
  }
  const auto seconds = decimal<uint64_t>(secs);
  if (!seconds || *seconds > 59) return std::nullopt;
  uint64_t total = days;
  if (!checked_mul_add(total, 24, hours) || !checked_mul_add(total, 60, *minutes) ||
      !checked_mul_add(total, 60, *seconds) || !checked_mul_add(total, 1'000'000'000, fraction_ns)) {
    return std::nullopt;
  }
  return total;
}

MemoryListing read_memory_listing() {
  MemoryListing listing;
  for (pid_t pid : list_process_ids()) {
    auto facts = read_process_facts(pid, FactsWanted::WithMemory);
    // A process that ended meanwhile, a kernel thread (no arguments) or one
    // whose memory cannot be read is left out, as a line that does not parse.
    if (!facts || facts->args.empty() || !facts->rss_bytes) continue;
    if (!listing.add(static_cast<uint32_t>(pid), static_cast<uint32_t>(facts->stat.ppid), facts->uid,
                     *facts->rss_bytes, join_arguments(facts->args))) {
      continue;
    }
  }
  listing.usable = !listing.rows.empty() && no_repeated_pid(listing);
  return listing;
}

std::optional<CpuListing> read_cpu_listing() {
  CpuListing listing;
  for (pid_t pid : list_process_ids()) {
    const auto text = read_small_file("/proc/" + std::to_string(pid) + "/stat", 4096);
    const auto stat = text ? parse_proc_stat(*text) : std::nullopt;
    if (!stat || stat->pid != pid) continue;
    listing.emplace(static_cast<uint32_t>(pid), CpuTimes{ticks_to_ns(stat->cpu_ticks), std::to_string(stat->start_ticks)});
  }
  if (listing.empty()) return std::nullopt;
  return listing;
}

}  // namespace vel
