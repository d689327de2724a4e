#include "scenario/scenario_waits.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/appkit_display_record.h"
#include "platform/metal_testing.h"
#include "ui/panel_events.h"
#include "update/update_world.h"

namespace sim {

namespace {

bool folder_has_entry(const std::string& folder, const std::string& prefix) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().filename().string().rfind(prefix, 0) == 0) return true;
  return false;
}

// At least `count` files under `folder`, at any depth, have names ending
// with `suffix` (a folder that cannot be read has none).
bool folder_has_files(const std::string& folder, const std::string& suffix, uint32_t count) {
  std::error_code ec;
  uint32_t found = 0;
  for (std::filesystem::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
        ++found >= count) {
      return true;
    }
  }
  return false;
}

}  // namespace

uint64_t ScenarioWaits::picture_frames() const {
  const platform::MetalPresentTotals metal = platform::metal_present_totals();
  uint64_t frames = metal.drawn + metal.blitted + metal.direct;
  std::shared_ptr<platform::NSWindow> w = panel_event_window(h_.panels);
  if (w && w->contentView()) {
    if (const platform::NSImageView* picture = largest_image_view(*w->contentView())) {
      if (auto shown = platform::shown_image(picture->viewId())) frames += shown->images_set;
    }
  }
  return frames;
}

void ScenarioWaits::note_input() {
  frames_at_input_ = picture_frames();
  frames_last_turn_ = UINT64_MAX;
}

// The presenter works beside the loop: a frame on screen may be followed by
// the one the plug-in handed over in the same idle call. The picture counts
// as presented once a whole idle round went by without another frame, and
// the stand-in GPU holds no command buffer (none being encoded or run).
bool ScenarioWaits::picture_presented() {
  const uint64_t now = picture_frames();
  const bool still = now == frames_last_turn_ && platform::metal_ledger().command_buffers == 0;
  frames_last_turn_ = now;
  return now > frames_at_input_ && still;
}

bool ScenarioWaits::passed_range_line(const ScenarioEvent& ev) {
  std::ifstream in(ev.when_path, std::ios::binary);
  if (!in) return false;
  in.seekg(static_cast<std::streamoff>(scanned_to_));
  if (!in) return false;
  const std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Whole lines only: a line still being written is read again next turn.
  size_t line_start = 0;
  for (size_t eol = chunk.find('\n'); eol != std::string::npos; line_start = eol + 1, eol = chunk.find('\n', line_start)) {
    const std::string line = chunk.substr(line_start, eol - line_start);
    const size_t at = line.find(ev.when_after);
    if (at == std::string::npos) continue;
    const size_t r = line.find("range=", at);
    long long first = 0, last = 0;
    if (r == std::string::npos || std::sscanf(line.c_str() + r, "range=%lld..%lld", &first, &last) != 2) continue;
    if (last < first || static_cast<unsigned long long>(last - first) + 1 < ev.when_range_frames) continue;
    scanned_to_ += eol + 1;
    return true;
  }
  scanned_to_ += line_start;
  return false;
}

bool ScenarioWaits::file_holds(const ScenarioEvent& ev) {
  const std::string& file = ev.when_path;
  const std::string& text = ev.when_text;
  const uint32_t count = ev.when_count;
  const std::string condition = file + '\n' + text + '\n' + ev.when_after + '\n' + std::to_string(ev.when_range_frames);
  if (condition != scanned_condition_) {
    scanned_condition_ = condition;
    scanned_to_ = 0;
    seen_ = 0;
    after_passed_ = ev.when_after.empty();
  }
  if (!after_passed_) {
    after_passed_ = passed_range_line(ev);
    if (!after_passed_) return false;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  in.seekg(static_cast<std::streamoff>(scanned_to_));
  if (!in) return false;
  std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Only whole matches are counted, and a match may straddle what was read
  // last turn and what came since: the search resumes after the last match
  // or at the last bytes that cannot hold one yet.
  size_t resume = chunk.size() >= text.size() ? chunk.size() - (text.size() - 1) : 0;
  for (size_t at = chunk.find(text); at != std::string::npos; at = chunk.find(text, at + text.size())) {
    resume = std::max(resume, at + text.size());
    if (++seen_ >= count) {
      // The next wait on the same text counts on from here: the match just
      // seen is not found again.
      scanned_to_ += at + text.size();
      return true;
    }
  }
  scanned_to_ += std::min(resume, chunk.size());
  return false;
}

bool ScenarioWaits::holds(const ScenarioEvent& ev) {
  switch (ev.when) {
    case WaitFor::nothing:
      return true;
    case WaitFor::picture_presented:
      return picture_presented();
    case WaitFor::text:
    case WaitFor::no_text: {
      // Without a window on screen there is nothing to read either way.
      std::shared_ptr<platform::NSWindow> w = panel_event_window(h_.panels);
      if (!w || !w->contentView()) return false;
      bool shown = false;
      for (const std::string& t : window_texts(*w->contentView())) {
        shown = shown || t.compare(0, ev.when_text.size(), ev.when_text) == 0;
      }
      return shown == (ev.when == WaitFor::text);
    }
    case WaitFor::file_text:
      return file_holds(ev);
    case WaitFor::frames:
      return picture_frames() - std::min(frames_at_input_, picture_frames()) >= ev.when_count;
    case WaitFor::frames_total:
      return picture_frames() >= ev.when_count;
    case WaitFor::after_ms: {
      const auto now = std::chrono::steady_clock::now();
      if (timed_ != &ev) {
        timed_ = &ev;
        timed_since_ = now;
      }
      return now - timed_since_ >= std::chrono::milliseconds(ev.when_count);
    }
    case WaitFor::idle_rounds:
      if (counted_ != &ev) {
        counted_ = &ev;
        counted_since_ = idle_rounds_;
      }
      return idle_rounds_ - counted_since_ >= ev.when_count;
    case WaitFor::no_entry:
      return !folder_has_entry(ev.when_path, ev.when_text);
    case WaitFor::files:
      return folder_has_files(ev.when_path, ev.when_text, ev.when_count);
    case WaitFor::link_opened: {
      if (opened_record_.empty()) return false;
      const std::vector<OpenedLink> links = read_opened_links(opened_record_);
      if (links.empty()) return false;
      // Reaped: no longer a child of this process in any state.
      for (const OpenedLink& l : links) {
        if (child_state(l.pid) != '\0') return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace sim
