#include "pool/process_listing.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pool/pid_index.h"
#include "pool/proc_facts.h"

namespace vel {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Inlined, as next_decimal: called for every line, their calls alone cost a
// tenth of a listing's parse.
[[gnu::always_inline]] inline std::string_view trim(std::string_view s) {
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
  // ps and /proc list processes by rising pid: then one comparison a row
  // proves it, and only a listing out of order pays for the index.
  const auto not_rising = [](const ProcessRow& a, const ProcessRow& b) { return a.pid >= b.pid; };
  if (std::adjacent_find(listing.rows.begin(), listing.rows.end(), not_rising) == listing.rows.end()) return true;
  PidIndex index(listing.rows.size());
  for (uint32_t i = 0; i < listing.rows.size(); ++i) {
    if (!index.insert(listing.rows[i].pid, i, listing.rows)) return false;
  }
  return true;
}

// The next blank-separated field of [p, end) as a decimal, consumed; false
// when it is empty, holds anything but digits or overflows 64 bits.
[[gnu::always_inline]] inline bool next_decimal(const char*& p, const char* end, uint64_t& out) {
  while (p < end && is_blank(*p)) ++p;
  const char* const first = p;
  uint64_t v = 0;
  // Up to 19 digits cannot overflow; only a longer field pays for the check.
  const char* const quick_end = end - p > 19 ? p + 19 : end;
  for (; p < quick_end; ++p) {
    const unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (digit > 9) break;
    v = v * 10 + digit;
  }
  for (; p < end; ++p) {
    const unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (digit > 9) break;
    if (__builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, digit, &v)) return false;
  }
  if (p == first || (p < end && !is_blank(*p))) return false;
  out = v;
  return true;
}

// Copies `n` bytes of a command with each blank made NUL, as long as no two
// blanks touch; answers how many bytes it did, sixteen at a time: this copy
// is most of a listing's work. Elsewhere the byte-wise copy does it all.
#if defined(__SSE2__)
size_t copy_single_blanks(const char* in, char* out, size_t n) {
  const __m128i space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t');
  size_t i = 0;
  unsigned carry = 0;  // 1 when the byte before `i` was a blank
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i blanks = _mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(blanks));
    if ((mask & ((mask << 1) | carry)) != 0) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_andnot_si128(blanks, v));
    carry = mask >> 15;
  }
  return i;
}
#else
size_t copy_single_blanks(const char*, char*, size_t) { return 0; }
#endif

// Writes `command` to `out` (not overlapping it) with each run of blanks as
// one NUL; answers the length written. Commands almost never hold two blanks
// in a row, so the byte-wise copy is left for the rest of a line with a run.
size_t blanks_to_separators(char* out, std::string_view command) {
  const char* in = command.data();
  const size_t n = command.size();
  size_t i = copy_single_blanks(in, out, n);
  size_t o = i;
  bool after_blank = i > 0 && is_blank(in[i - 1]);
  for (; i < n; ++i) {
    const char c = in[i];
    if (is_blank(c)) {
      if (!after_blank) out[o++] = '\0';
      after_blank = true;
      continue;
    }
    after_blank = false;
    out[o++] = c;
  }
  return o;
}

}  // namespace

bool MemoryListing::add(uint32_t pid, uint32_t ppid, uint32_t uid, uint64_t rss_bytes, std::string_view joined) {
  if (joined.empty() || args.size() + joined.size() > std::numeric_limits<uint32_t>::max()) return false;
  rows.push_back({pid, ppid, uid, rss_bytes, static_cast<uint32_t>(args.size()), static_cast<uint32_t>(joined.size())});
  args.append(joined);
  return true;
}

namespace {

// A line already trimmed; see parse_memory_listing_line.
bool parse_trimmed_memory_line(std::string_view line, MemoryListing& listing) {
  const char* p = line.data();
  const char* const end = p + line.size();
  uint64_t field[4] = {};
  for (uint64_t& f : field) {
    if (!next_decimal(p, end, f)) return false;
  }
  while (p < end && is_blank(*p)) ++p;
  const auto [pid, ppid, uid, rss_kib] = field;
  if (pid > UINT32_MAX || ppid > UINT32_MAX || uid > UINT32_MAX || rss_kib >= (uint64_t{1} << 54)) return false;
  const std::string_view command(p, static_cast<size_t>(end - p));
  if (command.empty() || listing.args.size() + command.size() > std::numeric_limits<uint32_t>::max()) return false;
  const size_t at = listing.args.size();
  listing.args.append(command);
  const size_t size = blanks_to_separators(listing.args.data() + at, command);
  listing.args.resize(at + size);
  // Written field by field in place: a row built aside and copied in whole
  // stalls on reading back what was just stored in smaller pieces.
  ProcessRow& row = listing.rows.emplace_back();
  row.pid = static_cast<uint32_t>(pid);
  row.ppid = static_cast<uint32_t>(ppid);
  row.uid = static_cast<uint32_t>(uid);
  row.rss_bytes = rss_kib * 1024;
  row.args_at = static_cast<uint32_t>(at);
  row.args_size = static_cast<uint32_t>(size);
  return true;
}

}  // namespace

bool parse_memory_listing_line(std::string_view line, MemoryListing& listing) {
  return parse_trimmed_memory_line(trim(line), listing);
}

MemoryListing parse_memory_listing(std::string_view text) {
  MemoryListing listing;
  listing.rows.reserve(text.size() / 64 + 1);
  listing.args.reserve(text.size());
  for_each_line(text, [&](std::string_view line) { parse_trimmed_memory_line(line, listing); });
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
  ProcFileReader reader;
  for (pid_t pid : list_process_ids()) {
    // A process that ended meanwhile, a kernel thread (no arguments) or one
    // whose memory cannot be read is left out, as a line that does not parse.
    const auto stat_text = reader.read(pid, "stat", 4096);
    const auto stat = stat_text ? parse_proc_stat(*stat_text) : std::nullopt;
    if (!stat || stat->pid != pid) continue;
    const auto status = reader.read(pid, "status", 16384);
    const auto uid = status ? parse_status_uid(*status) : std::nullopt;
    if (!uid) continue;
    const auto statm = reader.read(pid, "statm", 256);
    const auto rss = statm ? statm_resident_bytes(*statm) : std::nullopt;
    if (!rss) continue;
    // Last, as the text the row keeps is copied straight from the buffer.
    const auto cmdline = reader.read(pid, "cmdline", kCmdlineLimit);
    if (!cmdline) continue;
    listing.add(static_cast<uint32_t>(pid), static_cast<uint32_t>(stat->ppid), *uid, *rss, cmdline_joined(*cmdline));
  }
  listing.usable = !listing.rows.empty() && no_repeated_pid(listing);
  return listing;
}

std::optional<CpuListing> read_cpu_listing() {
  CpuListing listing;
  ProcFileReader reader;
  for (pid_t pid : list_process_ids()) {
    const auto text = reader.read(pid, "stat", 4096);
    const auto stat = text ? parse_proc_stat(*text) : std::nullopt;
    if (!stat || stat->pid != pid) continue;
    listing.emplace(static_cast<uint32_t>(pid), CpuTimes{ticks_to_ns(stat->cpu_ticks), std::to_string(stat->start_ticks)});
  }
  if (listing.empty()) return std::nullopt;
  return listing;
}

}  // namespace vel
