// Bringing the preview back to idle: nothing pending in either panel, both
// panels blank, the render pool stopped, the caches and background requests
// reset, and the panel's request words taken as already applied. The panels
// themselves stay built. Main thread only.
#pragma once

#include <functional>
#include <string_view>

namespace vel {

struct PreviewState;

// Told the name of each step once it has run, in order (tests watch the
// order through it).
using ResetObserver = std::function<void(std::string_view step)>;

void reset_preview_state(PreviewState& state, double time, const ResetObserver& observe = {});

// The cache reset: every set-aside composition is dropped with the archive,
// then the preview is reset.
void reset_cache_and_preview(PreviewState& state);

}  // namespace vel
