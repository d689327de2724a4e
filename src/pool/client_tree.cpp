#include "pool/client_tree.h"

#include <algorithm>

#include "pool/engine_match.h"
#include "pool/pid_index.h"

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
  bool engine_found = false;
  for (uint32_t i = 0; i < rows.size(); ++i) {
    if (rows[i].uid != uid) continue;
    const auto named = engine_client_pid(listing.args_of(rows[i]));
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
