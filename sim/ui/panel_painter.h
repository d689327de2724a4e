// Draws a window the way the windowing system composites it, into a PNG:
// every visible view at its frame (hidden ones and their subviews left out),
// image views with their image scaled as the view says, text fields and
// button titles as real text, pop-up buttons with their selected item. A
// plain view draws nothing of its own. The one place pictures are drawn for
// people; cairo writes the PNG and renders the DejaVu fonts.
#pragma once

#include <string>

#include "platform/appkit_view.h"
#include "simhost/result.h"

namespace sim {

// The window at its backing scale (device pixels), written to `path`.
Status paint_window_png(const platform::NSWindow& window, const std::string& path);

// Lets go of the font and drawing caches that painting fills (once no more
// painting happens: at the end of a run).
void release_painter_caches();

}  // namespace sim
