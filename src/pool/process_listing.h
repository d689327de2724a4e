// Process listings of the monitor: who runs, under which user, with how much
// resident memory and CPU time. They are read from /proc (exact arguments);
// the parsers of `ps` listings read the same facts from text. One line that
// does not parse is skipped, never the whole listing: a single process with
// odd bytes in its arguments must not blind the monitor. A pid listed twice
// does make the listing unusable: the snapshot was not consistent.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/hasher.h"

namespace vel {

struct ProcessRow {
  uint32_t pid = 0;
  uint32_t ppid = 0;
  uint32_t uid = 0;
  uint64_t rss_bytes = 0;
  std::vector<std::string> args;  // exact from /proc; split at blanks from ps
};

struct MemoryListing {
  std::vector<ProcessRow> rows;
  bool usable = false;
};

// One line of "ps -ww -axo pid=,ppid=,uid=,rss=,command=": nothing for a
// blank line or one that does not parse (rss in KiB, below 2^54).
std::optional<ProcessRow> parse_memory_listing_line(std::string_view line);
MemoryListing parse_memory_listing(std::string_view text);

struct CpuTimes {
  uint64_t cpu_ns = 0;
  std::string start_text;
};
using CpuListing = std::unordered_map<uint32_t, CpuTimes, IntKeyHasher<>>;

struct CpuListingLine {
  uint32_t pid = 0;
  CpuTimes times;
};
// One line of "ps -ww -axo pid=,time=,lstart=": the start time must be five
// words, joined with single blanks.
std::optional<CpuListingLine> parse_cpu_listing_line(std::string_view line);
// Nothing when a pid repeats or no line parsed.
std::optional<CpuListing> parse_cpu_listing(std::string_view text);

// The TIME column of ps: [[DD-]HH:]MM:SS[.fraction]; nothing when malformed
// or when it overflows 64 bits of nanoseconds.
std::optional<uint64_t> parse_ps_cpu_time(std::string_view text);

// The same listings from /proc. CPU time comes from the clock ticks of
// /proc/PID/stat (ps rounds it to whole seconds) and the start-time text is
// the start tick count, which tells a reused pid apart exactly.
MemoryListing read_memory_listing();
std::optional<CpuListing> read_cpu_listing();

}  // namespace vel
