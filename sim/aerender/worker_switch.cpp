#include "worker_switch.h"

#include <charconv>
#include <filesystem>

namespace sim {

namespace {

// Whether an item's name (before any ":") names `scope`: the whole scope,
// or, for a name without a job, the worker folder at its end.
bool names(std::string_view name, std::string_view scope) {
  if (name.empty() || scope.empty()) return false;
  if (name == scope) return true;
  if (name.find('/') != std::string_view::npos) return false;
  const size_t slash = scope.rfind('/');
  return slash != std::string_view::npos && scope.substr(slash + 1) == name;
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

struct ScopedItem {
  bool has_text = false;  // "w<N>:…" rather than a bare "w<N>"
  std::string text;
};

// The first item of the list that names `scope`.
std::optional<ScopedItem> find_item(const std::optional<std::string>& value, const std::string& scope) {
  if (!value) return std::nullopt;
  std::string_view rest = *value;
  for (;;) {
    const size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    const size_t colon = item.find(':');
    if (names(item.substr(0, colon), scope)) {
      if (colon == std::string_view::npos) return ScopedItem{};
      return ScopedItem{true, std::string(item.substr(colon + 1))};
    }
    if (comma == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(comma + 1);
  }
}

}  // namespace

std::string worker_folder_of(const std::string& output_path) {
  return std::filesystem::path(output_path).parent_path().filename().string();
}

std::string worker_scope_of(const std::string& output_path) {
  const std::filesystem::path folder = std::filesystem::path(output_path).parent_path();
  const std::string worker = folder.filename().string();
  const std::string job = folder.parent_path().filename().string();
  const size_t underscore = job.rfind('_');
  if (worker.empty() || underscore == std::string::npos || !all_digits(std::string_view(job).substr(underscore + 1)))
    return worker;
  return job.substr(underscore + 1) + "/" + worker;
}

std::optional<std::string> worker_switch_text(const std::optional<std::string>& value, const std::string& scope) {
  const std::optional<ScopedItem> item = find_item(value, scope);
  if (!item) return std::nullopt;
  return item->text;
}

std::optional<int64_t> worker_switch_number(const std::optional<std::string>& value, const std::string& scope) {
  const std::optional<ScopedItem> item = find_item(value, scope);
  if (!item) return std::nullopt;
  if (!item->has_text) return 0;
  int64_t n = 0;
  const char* end = item->text.data() + item->text.size();
  const auto [p, ec] = std::from_chars(item->text.data(), end, n);
  if (ec != std::errc() || p != end) return std::nullopt;
  return n;
}

}  // namespace sim
