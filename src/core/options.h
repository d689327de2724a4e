// Panel options: the live values the panel's controls set (process-wide
// atomics the render paths read from any thread) and their persisted form,
// "panel_options.json" under ~/Library/Application Support/velocinta.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vel {

struct PanelOptions {
  std::atomic<uint64_t> quality{1};  // Size popup index 0..3
  std::atomic<uint64_t> speed{0};    // Speed popup index 0..3
  std::atomic<bool> autosave{true};
  std::atomic<uint64_t> depth{8};    // bits per channel the preview asks for
};
// Never destroyed: present workers and pool threads read it during exit.
PanelOptions& panel_options();

struct PersistedOptions {
  uint64_t quality = 1;
  uint64_t speed = 0;
  bool autosave = true;
  uint64_t depth = 8;
  bool operator==(const PersistedOptions&) const = default;
};

// Compact JSON: {"quality":1,"speed":0,"autosave":true,"depth":8}.
std::string encode_persisted_options(const PersistedOptions& o);
// Missing keys keep their defaults; values out of range are clamped; text
// that is not a JSON object (or has a key of the wrong type) is refused.
std::optional<PersistedOptions> decode_persisted_options(std::string_view text);

// The options are a few dozen bytes; anything longer is not ours.
inline constexpr uint64_t kOptionsFileLimit = 4096;

std::optional<std::filesystem::path> options_file_path();
// A missing or bad file gives the defaults; a bad one (unreadable, over the
// limit, a FIFO, a device) is left in place and logged in one line.
// `max_speed_index` caps the saved speed (the machine's level − 1).
PersistedOptions load_persisted_options(const std::filesystem::path& file, uint64_t max_speed_index);
// Written through a temporary name in the same folder, then renamed.
bool save_persisted_options(const std::filesystem::path& file, const PersistedOptions& o);

PersistedOptions snapshot_panel_options();
void apply_persisted_options(const PersistedOptions& o);

}  // namespace vel
