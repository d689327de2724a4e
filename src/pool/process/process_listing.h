// Process listings of the monitor: who runs, under which user, with how much
// resident memory and CPU time. They are read from /proc (exact arguments);
// the parsers of `ps` listings read the same facts from text. One line that
// does not parse is skipped, never the whole listing: a single process with
// odd bytes in its arguments must not blind the monitor. A pid listed twice
// does make the listing unusable: the snapshot was not consistent.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/hasher.h"

namespace vel {

struct ProcessRow {
  uint32_t pid = 0;
  uint32_t ppid = 0;
  uint32_t uid = 0;
  uint64_t rss_bytes = 0;
  uint32_t args_at = 0;  // the arguments, in the listing's `args` text
  uint32_t args_size = 0;
};

// Bytes left unset when the block grows: a listing parsed whole writes each
// command where it lay in its text, and the bytes between are never read,
// so clearing them first would only cost a pass over the text.
template <class T>
struct UnsetOnGrowth : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UnsetOnGrowth<U>;
  };
  UnsetOnGrowth() = default;
  template <class U>
  UnsetOnGrowth(const UnsetOnGrowth<U>&) {}
  template <class U>
  void construct(U* at) {
    ::new (static_cast<void*>(at)) U;
  }
  template <class U, class... A>
  void construct(U* at, A&&... a) {
    std::allocator_traits<std::allocator<T>>::construct(*static_cast<std::allocator<T>*>(this), at,
                                                        std::forward<A>(a)...);
  }
};

// The rows and, in one text, their arguments separated by NUL bytes (exact
// from /proc; split at blanks from ps): one allocation for the listing, not
// one per argument.
struct MemoryListing {
  std::vector<ProcessRow> rows;
  std::vector<char, UnsetOnGrowth<char>> args;
  bool usable = false;

  std::string_view args_of(const ProcessRow& row) const { return {args.data() + row.args_at, row.args_size}; }
  // Appends a row; false when the arguments are empty or the text is full.
  bool add(uint32_t pid, uint32_t ppid, uint32_t uid, uint64_t rss_bytes, std::string_view nul_joined_args);
};

// One line of "ps -ww -axo pid=,ppid=,uid=,rss=,command=" appended to
// `listing`: false for a blank line or one that does not parse (rss in KiB,
// below 2^54), which leaves the listing as it was.
bool parse_memory_listing_line(std::string_view line, MemoryListing& listing);
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
