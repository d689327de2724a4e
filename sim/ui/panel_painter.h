// Draws a window the way the windowing system composites it, into a PNG:
// every visible view at its frame (hidden ones and their subviews left out),
// image views with their image scaled as the view says, text fields and
// button titles as real text, pop-up buttons with their selected item. A
// plain view draws nothing of its own. The one place pictures are drawn for
// people; cairo writes the PNG and renders the DejaVu fonts.
#pragma once

#include <memory>
#include <string>

#include "platform/appkit_view.h"
#include "simhost/result.h"

namespace sim {

// A window painted at its backing scale (device pixels), not yet encoded.
struct PaintedWindow;
struct PaintedWindowDeleter {
  void operator()(PaintedWindow* p) const;
};
using PaintedWindowPtr = std::unique_ptr<PaintedWindow, PaintedWindowDeleter>;

// Paints what the window shows now; main thread (it reads the views).
Result<PaintedWindowPtr> paint_window(const platform::NSWindow& window);
// Encodes a painted window into a PNG at `path`; any thread.
Status write_png(const PaintedWindow& painted, const std::string& path);
// Both at once.
Status paint_window_png(const platform::NSWindow& window, const std::string& path);

// Lets go of the font and drawing caches that painting fills (once no more
// painting happens: at the end of a run).
void release_painter_caches();

}  // namespace sim
