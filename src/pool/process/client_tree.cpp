#include "pool/process/client_tree.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "pool/process/engine_match.h"
#include "pool/process/pid_index.h"

namespace vel {

std::optional<std::vector<size_t>> client_process_tree(const MemoryListing& listing, uint32_t client_pid,
                                                       uint32_t host_pid) {
  const std::vector<ProcessRow>& rows = listing.rows;
  if (rows.size() >= kNoRow) return std::nullopt;
  PidIndex index(rows.size());
  for (uint32_t i = 0; i < rows.size(); ++i) index.insert(rows[i].pid, i, rows);
  const uint32_t host = index.find(host_pid, rows);
  const uint32_t client = index.find(client_pid, rows);
  if (host == kNoRow || client == kNoRow) return std::nullopt;
  const uint32_t uid = rows[host].uid;
  if (rows[client].uid != uid || rows[client].rss_bytes == 0) return std::nullopt;

  // Children as linked lists: first child and next sibling per row.
  std::vector<uint32_t> first_child(rows.size(), kNoRow), next_sibling(rows.size(), kNoRow);
  for (uint32_t i = static_cast<uint32_t>(rows.size()); i-- > 0;) {
    const uint32_t parent = index.find(rows[i].ppid, rows);
    if (parent == kNoRow || parent == i) continue;
    next_sibling[i] = first_child[parent];
    first_child[parent] = i;
  }

  std::vector<uint8_t> visited(rows.size(), 0);
  std::vector<uint32_t> stack;
  std::vector<size_t> tree;
  const auto visit = [&](uint32_t i) {
    if (visited[i]) return;
    visited[i] = 1;
    stack.push_back(i);
    tree.push_back(i);
  };
  visit(client);
  // An engine of this client ends with a NUL and the client's pid in its
  // one decimal form: that cheap test comes first, the whole rule after it.
  char pid_text[12];
  pid_text[0] = '\0';
  const auto [pid_end, pid_ec] = std::to_chars(pid_text + 1, pid_text + sizeof pid_text, client_pid);
  const std::string_view engine_suffix(pid_text, pid_ec == std::errc() ? static_cast<size_t>(pid_end - pid_text) : 0);
  bool engine_found = false;
  for (uint32_t i = 0; i < rows.size(); ++i) {
    if (rows[i].uid != uid) continue;
    const std::string_view args = listing.args_of(rows[i]);
    if (engine_suffix.empty() || !args.ends_with(engine_suffix)) continue;
    const auto named = engine_client_pid(args);
    if (named && static_cast<uint32_t>(*named) == client_pid) {
      engine_found = true;
      visit(i);
    }
  }
  if (!engine_found) return std::nullopt;
  while (!stack.empty()) {
    const uint32_t i = stack.back();
    stack.pop_back();
    for (uint32_t c = first_child[i]; c != kNoRow; c = next_sibling[c]) {
      if (rows[c].uid != uid) return std::nullopt;
      visit(c);
    }
  }
  std::sort(tree.begin(), tree.end());
  return tree;
}

}  // namespace vel
