// The monitor reads process facts written by other processes: ps listings,
// the TIME column, and /proc's stat and cmdline files. Any bytes must be
// refused or read without a crash, and what is read must hold together.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "pool/process/engine_match.h"
#include "pool/process/proc_facts.h"
#include "pool/process/process_listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const vel::MemoryListing memory = vel::parse_memory_listing(text);
  for (const vel::ProcessRow& row : memory.rows) {
    if (row.args_size == 0 || row.rss_bytes % 1024 != 0) std::abort();
    (void)vel::engine_client_pid(memory.args_of(row));
  }
  // The whole listing is read by quicker means than a single line: both
  // readings must agree row for row.
  vel::MemoryListing by_line;
  for (std::string_view rest = text; !rest.empty();) {
    const size_t newline = rest.find('\n');
    vel::parse_memory_listing_line(rest.substr(0, newline), by_line);
    rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
  }
  if (by_line.rows.size() != memory.rows.size()) std::abort();
  for (size_t i = 0; i < memory.rows.size(); ++i) {
    const vel::ProcessRow &a = memory.rows[i], &b = by_line.rows[i];
    if (a.pid != b.pid || a.ppid != b.ppid || a.uid != b.uid || a.rss_bytes != b.rss_bytes ||
        memory.args_of(a) != by_line.args_of(b)) {
      std::abort();
    }
  }
  if (auto cpu = vel::parse_cpu_listing(text)) {
    if (cpu->empty()) std::abort();
  }
  (void)vel::parse_ps_cpu_time(text.substr(0, 64));

  if (auto stat = vel::parse_proc_stat(text)) {
    if (stat->pid < 1 || stat->ppid < 0 || stat->pgrp < 0) std::abort();
  }
  const auto args = vel::parse_cmdline(text);
  if (vel::cmdline_joined(text) != vel::join_arguments(args)) std::abort();
  // The rule reads the same whether given the arguments or the bytes as
  // the kernel joins them (a cmdline file's one trailing NUL dropped, as
  // the scan does before asking).
  const auto client = vel::engine_client_pid(args);
  if (client != vel::engine_client_pid(vel::cmdline_joined(text))) std::abort();
  if (client && (*client < 1 || args.size() < 3 || args[args.size() - 2] != "-aerenderpid")) std::abort();
  (void)vel::parse_status_uid(text);
  (void)vel::parse_statm_resident(text);
  return 0;
}
