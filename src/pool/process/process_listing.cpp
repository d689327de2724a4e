#include "pool/process/process_listing.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pool/process/pid_index.h"
#include "pool/process/proc_facts.h"

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

// Eight bytes from `p`, the first in the lowest byte.
[[gnu::always_inline]] inline uint64_t load8(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

constexpr uint64_t kEachByte = 0x0101010101010101;

// The next blank-separated field of [p, end) as a decimal, consumed; false
// when it is empty, holds anything but digits or overflows 64 bits.
[[gnu::always_inline]] inline bool next_decimal(const char*& p, const char* end, uint64_t& out) {
  while (p < end && is_blank(*p)) ++p;
  const char* const first = p;
  uint64_t v = 0;
  // Up to 19 digits cannot overflow; only a longer field pays for the check.
  const char* const quick_end = end - first > 19 ? first + 19 : end;
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
// blanks touch; answers how many bytes it did, sixteen at a time.
// Elsewhere the byte-wise copy does it all.
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

// Goes on from byte `i` of a command of `n` bytes (`out` written up to `i`
// alike) one byte at a time, each run of blanks made one NUL; answers the
// length written.
size_t separators_from(const char* in, char* out, size_t i, size_t n) {
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

// Writes `command` to `out` (not overlapping it) with each run of blanks as
// one NUL; answers the length written. Commands almost never hold two blanks
// in a row, so the byte-wise copy is left for the rest of a line with a run.
size_t blanks_to_separators(char* out, std::string_view command) {
  return separators_from(command.data(), out, copy_single_blanks(command.data(), out, command.size()), command.size());
}

}  // namespace

bool MemoryListing::add(uint32_t pid, uint32_t ppid, uint32_t uid, uint64_t rss_bytes, std::string_view joined) {
  if (joined.empty() || args.size() + joined.size() > std::numeric_limits<uint32_t>::max()) return false;
  rows.push_back({pid, ppid, uid, rss_bytes, static_cast<uint32_t>(args.size()), static_cast<uint32_t>(joined.size())});
  args.insert(args.end(), joined.begin(), joined.end());
  return true;
}

namespace {

// The value of the `digits` (1 to 8) decimal digits at the start of `word`.
[[gnu::always_inline]] inline uint64_t eight_digit_value(uint64_t word, unsigned digits) {
  // Each digit as its value, the last one in the top byte, then paired up.
  uint64_t d = (word - kEachByte * '0') << (64 - 8 * digits);
  d = ((d * 0x0a01) >> 8) & 0x00ff00ff00ff00ff;
  d = ((d * 0x00640001) >> 16) & 0x0000ffff0000ffff;
  return (d * 0x0000271000000001) >> 32;
}

#if defined(__SSE2__)
// The four numbers when the line's first 32 bytes hold them, each of at most
// eight digits, and 40 bytes of the line can be read: one mask of the digits and one of
// the blanks find the four fields together, and each is read whole. Reading
// them character by character was half of a listing's work. False when the
// line is not of that form; the caller then reads it the plain way, which
// also refuses what does not parse.
[[gnu::always_inline]] inline bool quick_line_head(const char* line, size_t readable, uint64_t (&field)[4], size_t& head_end) {
  if (readable < 40) return false;  // a field's eight bytes read from as far as byte 31
  const __m128i space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t');
  const __m128i zero = _mm_set1_epi8('0'), nine = _mm_set1_epi8(9);
  uint32_t digit = 0, blank = 0;
  for (int half = 0; half < 2; ++half) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 16 * half));
    const __m128i value = _mm_sub_epi8(v, zero);
    const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(value, nine), value);
    const __m128i is_blank = _mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab));
    digit |= static_cast<uint32_t>(_mm_movemask_epi8(is_digit)) << (16 * half);
    blank |= static_cast<uint32_t>(_mm_movemask_epi8(is_blank)) << (16 * half);
  }
  uint32_t starts = digit & ~(digit << 1);
  uint32_t ends = ~digit & (digit << 1);
  if (std::popcount(ends) < 4) return false;  // then as many starts, each before its end
  unsigned start[4], end[4];
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    start[k] = static_cast<unsigned>(std::countr_zero(starts));
    end[k] = static_cast<unsigned>(std::countr_zero(ends));
    starts &= starts - 1;
    ends &= ends - 1;
  }
  // Only blanks and digits up to the fourth field, a blank right after it.
  const uint32_t head = (uint32_t{1} << end[3]) - 1;
  if (((digit | blank) & head) != head || (blank >> end[3] & 1) == 0) return false;
  if (end[0] - start[0] > 8 || end[1] - start[1] > 8 || end[2] - start[2] > 8 || end[3] - start[3] > 8) return false;
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) field[k] = eight_digit_value(load8(line + start[k]), end[k] - start[k]);
  // Past the blanks after the fourth field, as far as the mask shows them.
  head_end = end[3] + static_cast<unsigned>(std::countr_zero(~(blank >> end[3])));
  return true;
}
#else
inline bool quick_line_head(const char*, size_t, uint64_t (&)[4], size_t&) { return false; }
#endif

// The four numbers of a trimmed line, checked, and where its command starts;
// false when the line does not parse.
[[gnu::always_inline]] inline bool parse_line_head(std::string_view line, ProcessRow& row, std::string_view& command) {
  const char* p = line.data();
  const char* const end = p + line.size();
  uint64_t field[4] = {};
  size_t head_end = 0;
  if (quick_line_head(p, line.size(), field, head_end)) {
    p += head_end;
  } else {
    for (uint64_t& f : field) {
      if (!next_decimal(p, end, f)) return false;
    }
  }
  while (p < end && is_blank(*p)) ++p;
  const auto [pid, ppid, uid, rss_kib] = field;
  if (pid > UINT32_MAX || ppid > UINT32_MAX || uid > UINT32_MAX || rss_kib >= (uint64_t{1} << 54) || p == end) {
    return false;
  }
  row.pid = static_cast<uint32_t>(pid);
  row.ppid = static_cast<uint32_t>(ppid);
  row.uid = static_cast<uint32_t>(uid);
  row.rss_bytes = rss_kib * 1024;
  command = std::string_view(p, static_cast<size_t>(end - p));
  return true;
}

// A line already trimmed, its command appended to the listing's text.
bool parse_trimmed_memory_line(std::string_view line, MemoryListing& listing) {
  ProcessRow row;
  std::string_view command;
  if (!parse_line_head(line, row, command)) return false;
  if (listing.args.size() + command.size() > std::numeric_limits<uint32_t>::max()) return false;
  const size_t at = listing.args.size();
  listing.args.resize(at + command.size());
  row.args_at = static_cast<uint32_t>(at);
  row.args_size = static_cast<uint32_t>(blanks_to_separators(listing.args.data() + at, command));
  listing.args.resize(at + row.args_size);
  listing.rows.push_back(row);
  return true;
}

}  // namespace

bool parse_memory_listing_line(std::string_view line, MemoryListing& listing) {
  return parse_trimmed_memory_line(trim(line), listing);
}

namespace {

struct LineEnd {
  size_t written;         // the command's bytes, blanks made separators
  const char* next_line;  // past the line's newline
};

// The command starting at `in` written to `out`, up to the end of its line
// less its trailing blanks and carriage returns; the text ends at
// `text_end`, and as many bytes may be written to `out`. The newline is found
// by the same sixteen-byte loads that copy the command: a search of its own
// for each line cost as much again.
LineEnd copy_command_of_line(const char* in, const char* text_end, char* out) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t'), newline = _mm_set1_epi8('\n');
  unsigned carry = 0;  // 1 when the byte before `i` was a blank
  for (; text_end - (in + i) >= 16; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i blanks = _mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(blanks));
    const unsigned newlines = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, newline)));
    if (newlines != 0) {
      const char* const line_end = in + i + static_cast<unsigned>(std::countr_zero(newlines));
      const char* command_end = line_end;
      while (command_end > in && (is_blank(command_end[-1]) || command_end[-1] == '\r')) --command_end;
      const size_t size = static_cast<size_t>(command_end - in);
      if (size > i) {
        mask &= (1u << (size - i)) - 1;
        if ((mask & ((mask << 1) | carry)) != 0) break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_andnot_si128(blanks, v));
      }
      return {size, line_end + 1};
    }
    if ((mask & ((mask << 1) | carry)) != 0) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_andnot_si128(blanks, v));
    carry = mask >> 15;
  }
#endif
  // A run of blanks, or the end of the text: the rest of the line byte-wise.
  const char* const newline_at = static_cast<const char*>(std::memchr(in + i, '\n', static_cast<size_t>(text_end - in) - i));
  const char* const line_end = newline_at != nullptr ? newline_at : text_end;
  const char* command_end = line_end;
  while (command_end > in && (is_blank(command_end[-1]) || command_end[-1] == '\r')) --command_end;
  const size_t size = static_cast<size_t>(command_end - in);
  const char* const next_line = newline_at != nullptr ? line_end + 1 : text_end;
  if (size <= i) return {size, next_line};
  return {separators_from(in, out, i, size), next_line};
}

}  // namespace

MemoryListing parse_memory_listing(std::string_view text) {
  MemoryListing listing;
  listing.rows.reserve(text.size() / 64 + 1);
  if (text.size() > std::numeric_limits<uint32_t>::max()) {
    for_each_line(text, [&](std::string_view line) { parse_trimmed_memory_line(line, listing); });
    listing.usable = no_repeated_pid(listing);
    return listing;
  }
  // The listing's text is as long as the input, each command written where
  // it lies in it: one block for the listing, and a row names its command by
  // its offset in the input.
  listing.args.resize(text.size());
  char* const out = listing.args.data();
  const char* p = text.data();
  const char* const text_end = p + text.size();
  while (p < text_end) {
    ProcessRow& row = listing.rows.emplace_back();
    uint64_t field[4];
    size_t head_end = 0;
    const size_t rest = static_cast<size_t>(text_end - p);
    if (quick_line_head(p, rest, field, head_end)) {
      const char* command = p + head_end;
      while (command < text_end && is_blank(*command)) ++command;
      const auto [written, next_line] = copy_command_of_line(command, text_end, out + (command - text.data()));
      row.pid = static_cast<uint32_t>(field[0]);
      row.ppid = static_cast<uint32_t>(field[1]);
      row.uid = static_cast<uint32_t>(field[2]);
      row.rss_bytes = field[3] * 1024;
      row.args_at = static_cast<uint32_t>(command - text.data());
      row.args_size = static_cast<uint32_t>(written);
      if (written == 0) listing.rows.pop_back();
      p = next_line;
      continue;
    }
    // Any other form of line, read the plain way.
    const char* const newline_at = static_cast<const char*>(std::memchr(p, '\n', rest));
    const char* const line_end = newline_at != nullptr ? newline_at : text_end;
    const std::string_view line = trim(std::string_view(p, static_cast<size_t>(line_end - p)));
    p = newline_at != nullptr ? line_end + 1 : text_end;
    std::string_view command;
    if (!parse_line_head(line, row, command)) {
      listing.rows.pop_back();
      continue;
    }
    const size_t at = static_cast<size_t>(command.data() - text.data());
    row.args_at = static_cast<uint32_t>(at);
    row.args_size = static_cast<uint32_t>(blanks_to_separators(out + at, command));
  }
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
