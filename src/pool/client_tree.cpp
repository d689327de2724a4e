#include "pool/client_tree.h"

#include <algorithm>
#include <bit>

#include "core/hasher.h"
#include "pool/engine_match.h"

namespace vel {

namespace {

constexpr uint32_t kNone = UINT32_MAX;

// pid → row index, open addressing over a power-of-two table: one
// allocation for the whole listing.
class PidIndex {
 public:
  explicit PidIndex(size_t rows) : mask_(std::bit_ceil(rows * 2 + 2) - 1), slots_(mask_ + 1, kNone) {}
  void insert(uint32_t pid, uint32_t row, const std::vector<ProcessRow>& rows) {
    for (size_t s = hash(pid);; s = (s + 1) & mask_) {
      if (slots_[s] == kNone) {
        slots_[s] = row;
        return;
      }
      if (rows[slots_[s]].pid == pid) return;  // the first row of a pid counts
    }
  }
  uint32_t find(uint32_t pid, const std::vector<ProcessRow>& rows) const {
    for (size_t s = hash(pid);; s = (s + 1) & mask_) {
      if (slots_[s] == kNone || rows[slots_[s]].pid == pid) return slots_[s];
    }
  }

 private:
  size_t hash(uint32_t pid) const { return IntKeyHasher<>{}(pid)&mask_; }
  size_t mask_;
  std::vector<uint32_t> slots_;
};

}  // namespace

std::optional<std::vector<size_t>> client_process_tree(const MemoryListing& listing, uint32_t client_pid,
                                                       uint32_t host_pid) {
  const std::vector<ProcessRow>& rows = listing.rows;
  if (rows.size() >= kNone) return std::nullopt;
  PidIndex index(rows.size());
  for (uint32_t i = 0; i < rows.size(); ++i) index.insert(rows[i].pid, i, rows);
  const uint32_t host = index.find(host_pid, rows);
  const uint32_t client = index.find(client_pid, rows);
  if (host == kNone || client == kNone) return std::nullopt;
  const uint32_t uid = rows[host].uid;
  if (rows[client].uid != uid || rows[client].rss_bytes == 0) return std::nullopt;

  // Children as linked lists: first child and next sibling per row.
  std::vector<uint32_t> first_child(rows.size(), kNone), next_sibling(rows.size(), kNone);
  for (uint32_t i = static_cast<uint32_t>(rows.size()); i-- > 0;) {
    const uint32_t parent = index.find(rows[i].ppid, rows);
    if (parent == kNone || parent == i) continue;
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
    for (uint32_t c = first_child[i]; c != kNone; c = next_sibling[c]) {
      if (rows[c].uid != uid) return std::nullopt;
      visit(c);
    }
  }
  std::sort(tree.begin(), tree.end());
  return tree;
}

}  // namespace vel
