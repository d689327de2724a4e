// What the preview tells the render pool and asks of it. The preview knows
// nothing of the pool itself: the plug-in installs these hooks when it
// builds its state, and a hook left empty does nothing (a controller in a
// test, or before the state is complete). Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

namespace vel {

// An inclusive range of frame indexes.
using PoolFrameRange = std::pair<int64_t, int64_t>;

struct PoolLink {
  // An in-process render of the pinned composition took `render_ms`; the
  // reason is "rendu async" for an asynchronous result and "grab" for a
  // synchronous render. A very long render of a 3D composition means the
  // pool's engines starve the host's own renderer.
  std::function<void(std::string_view reason, double render_ms)> render_timed;
  // The ranges the pool still claims when the asynchronous renderer plans at
  // `downsample`; the pool first gives up the claims that in-process
  // rendering would beat. The asynchronous renderer leaves these frames to
  // the pool.
  std::function<std::vector<PoolFrameRange>(uint32_t downsample)> claimed_ranges;
};

// The 3D verification's claims on the pool: while `hold_ranges` is set the
// pool starts no new range and takes no snapshot; `handoff` asks the pool to
// hand the composition back to in-process rendering (a witness render is
// verified against the pool's frames).
struct WitnessClaims {
  bool hold_ranges = false;
  bool handoff = false;
};

// Whether `frame` lies in one of `ranges`.
bool frame_in_ranges(const std::vector<PoolFrameRange>& ranges, int64_t frame);

}  // namespace vel
