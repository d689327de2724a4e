#include "pool/client_tree.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "core/hasher.h"
#include "pool/engine_match.h"

namespace vel {

std::optional<std::vector<size_t>> client_process_tree(std::span<const ProcessRow> rows, uint32_t client_pid,
                                                       uint32_t host_pid) {
  const ProcessRow* host = nullptr;
  const ProcessRow* client = nullptr;
  std::unordered_map<uint32_t, std::vector<size_t>, IntKeyHasher<>> children;
  children.reserve(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].pid == host_pid) host = &rows[i];
    if (rows[i].pid == client_pid) client = &rows[i];
    children[rows[i].ppid].push_back(i);
  }
  if (host == nullptr || client == nullptr || client->uid != host->uid || client->rss_bytes == 0) return std::nullopt;
  const uint32_t uid = host->uid;

  std::vector<size_t> stack;
  std::unordered_set<uint32_t, IntKeyHasher<>> visited;
  std::vector<size_t> tree;
  const auto visit = [&](size_t i) {
    if (visited.insert(rows[i].pid).second) {
      stack.push_back(i);
      tree.push_back(i);
    }
  };
  visit(static_cast<size_t>(client - rows.data()));
  bool engine_found = false;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].uid != uid) continue;
    const auto named = engine_client_pid(rows[i].args);
    if (named && static_cast<uint32_t>(*named) == client_pid) {
      engine_found = true;
      visit(i);
    }
  }
  if (!engine_found) return std::nullopt;
  while (!stack.empty()) {
    const size_t i = stack.back();
    stack.pop_back();
    const auto it = children.find(rows[i].pid);
    if (it == children.end()) continue;
    for (size_t child : it->second) {
      if (rows[child].uid != uid) return std::nullopt;
      visit(child);
    }
  }
  std::sort(tree.begin(), tree.end());
  return tree;
}

}  // namespace vel
