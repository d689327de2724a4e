#include "worker_switch.h"

#include <charconv>
#include <filesystem>

namespace sim {

std::string worker_folder_of(const std::string& output_path) {
  return std::filesystem::path(output_path).parent_path().filename().string();
}

std::optional<std::string> worker_switch_text(const std::optional<std::string>& value, const std::string& folder) {
  if (folder.empty() || !value || value->compare(0, folder.size(), folder) != 0) return std::nullopt;
  const std::string rest = value->substr(folder.size());
  if (rest.empty()) return rest;
  if (rest[0] != ':') return std::nullopt;  // "w10" is not a switch for "w1"
  return rest.substr(1);
}

std::optional<int64_t> worker_switch_number(const std::optional<std::string>& value, const std::string& folder) {
  const std::optional<std::string> text = worker_switch_text(value, folder);
  if (!text) return std::nullopt;
  if (text->empty()) return value->size() == folder.size() ? std::optional<int64_t>(0) : std::nullopt;
  int64_t n = 0;
  const char* end = text->data() + text->size();
  const auto [p, ec] = std::from_chars(text->data(), end, n);
  if (ec != std::errc() || p != end) return std::nullopt;
  return n;
}

}  // namespace sim
