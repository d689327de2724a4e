// The frames in a run's disk store (every frame the cache took goes there)
// held against the stand-in host's own render of the same frame at their
// size, for the pool's end-to-end tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "project/project_json.h"
#include "render/renderer.h"
#include "store/frame_file.h"
#include "support/child_process.h"

namespace vel::testing {

struct StoredFrameCheck {
  std::string name;     // the file's name in the store
  bool sized = false;   // of the host's render's size (a downsample of the composition)
  size_t off = 0;       // pixels with a channel more than 2 away from the host's render
  size_t invalid = 0;   // pixels that are no premultiplied colour (a colour above its alpha)
  size_t pixels = 0;
};

// Every frame in the store (aliases and frames still being written left
// out) against the host's render of it at its size.
inline std::vector<StoredFrameCheck> check_stored_frames(const std::filesystem::path& store,
                                                         const nlohmann::json& project) {
  namespace fs = std::filesystem;
  std::vector<StoredFrameCheck> out;
  auto parsed = sim::parse_project_text(project.dump());
  if (!parsed.ok()) return {{"unreadable project"}};
  const sim::Composition& comp = parsed.value().comps[0];
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(store, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (ec) break;
    if (it->path().extension() != ".vnf") continue;
    const std::string bytes = read_text(it->path());
    auto frame = parse_frame_file(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    if (!frame) continue;
    StoredFrameCheck check{it->path().filename().string()};
    const int32_t ds = frame->width == 0 ? 0 : static_cast<int32_t>(comp.width / frame->width);
    sim::RenderRequest req;
    req.time = {static_cast<int32_t>(frame->key.value), frame->key.scale};
    req.downsample_x = req.downsample_y = std::max(ds, 1);
    auto host = sim::render_composition(comp, req);
    check.pixels = static_cast<size_t>(frame->width) * frame->height;
    check.sized = host.ok() && host.value().width == static_cast<int32_t>(frame->width) &&
                  host.value().height == static_cast<int32_t>(frame->height) &&
                  frame->pixels.size() == check.pixels * 4;
    if (check.sized) {
      const uint8_t* px = frame->pixels.data();
      for (size_t p = 0; p < check.pixels; ++p) {
        bool differs = false;
        for (size_t ch = 0; ch < 4; ++ch) {
          const int ours = px[p * 4 + ch];
          differs = differs || std::abs(ours - int(sim::to_8bit(host.value().rgba[p * 4 + ch]))) > 2;
        }
        check.off += differs;
        check.invalid += px[p * 4] > px[p * 4 + 3] || px[p * 4 + 1] > px[p * 4 + 3] || px[p * 4 + 2] > px[p * 4 + 3];
      }
    }
    out.push_back(check);
  }
  return out;
}

// The stored frames that are not the host's render: a channel more than 2
// away from it in more than 1 % of the pixels (the reader's reduction
// samples a block's corner, the renderer its centre, so edges may differ),
// or any pixel that is no premultiplied colour. Frames of a size no
// downsample gives count too. Also answers how many frames it looked at.
inline std::pair<std::vector<std::string>, size_t> foreign_frames_in_store(const std::filesystem::path& store,
                                                                          const nlohmann::json& project) {
  const std::vector<StoredFrameCheck> checks = check_stored_frames(store, project);
  std::vector<std::string> foreign;
  for (const StoredFrameCheck& c : checks) {
    if (!c.sized) {
      foreign.push_back(c.name + " (size)");
    } else if (c.off * 100 > c.pixels || c.invalid > 0) {
      foreign.push_back(c.name + " (" + std::to_string(c.off) + " off, " + std::to_string(c.invalid) +
                        " not premultiplied)");
    }
  }
  return {foreign, checks.size()};
}

}  // namespace vel::testing
