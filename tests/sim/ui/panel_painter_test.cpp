#include "ui/panel_painter.h"

#include <cairo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/appkit_controls.h"
#include "platform/appkit_image.h"
#include "scenario/scenario.h"
#include "ui/screenshot_writer.h"
#include "support/scratch_dir.h"

namespace sim {
namespace {

struct Rgb {
  int r, g, b;
};

// The pixel at (x, y) from the top left of a PNG, in device pixels.
Rgb pixel_at(const std::string& path, int x, int y) {
  cairo_surface_t* s = cairo_image_surface_create_from_png(path.c_str());
  EXPECT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
  const unsigned char* data = cairo_image_surface_get_data(s);
  const uint32_t px = *reinterpret_cast<const uint32_t*>(data + y * cairo_image_surface_get_stride(s) + x * 4);
  cairo_surface_destroy(s);
  return {static_cast<int>((px >> 16) & 255), static_cast<int>((px >> 8) & 255), static_cast<int>(px & 255)};
}

std::shared_ptr<platform::NSImage> solid_image(unsigned char r, unsigned char g, unsigned char b) {
  auto rep = platform::NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 2, 2, 8, 4, true, false,
                                                                   platform::NSDeviceRGBColorSpace, 8, 32);
  unsigned char* p = rep->bitmapData();
  for (int i = 0; i < 4; ++i) {
    p[i * 4] = r;
    p[i * 4 + 1] = g;
    p[i * 4 + 2] = b;
    p[i * 4 + 3] = 255;
  }
  auto image = platform::NSImage::initWithSize({2, 2});
  image->addRepresentation(rep);
  return image;
}

TEST(PanelPainterTest, DrawsVisibleImageViewsScaledAtTheirFramesAndLeavesHiddenOnesOut) {
  vel::testing::ScratchDir dir("vel-paint");
  ASSERT_TRUE(dir.ok());
  auto window = platform::NSWindow::initWithContentRect({0, 0, 200, 100});
  window->setBackingScaleFactor(2);
  auto red = platform::NSImageView::initWithFrame({10, 10, 80, 40});  // bottom-left origin
  red->setImageScaling(platform::NSImageScaleAxesIndependently);
  red->setImage(solid_image(255, 0, 0));
  auto hidden = platform::NSImageView::initWithFrame({110, 10, 80, 40});
  hidden->setImage(solid_image(0, 0, 255));
  hidden->setHidden(true);
  auto label = platform::NSTextField::initWithFrame({10, 70, 180, 20});
  label->setDrawsBackground(false);
  label->setTextColor(platform::NSColor::whiteColor());
  label->setStringValue("Scrub anywhere");
  for (auto v : std::initializer_list<std::shared_ptr<platform::NSView>>{red, hidden, label}) {
    window->contentView()->addSubview(v);
  }
  const std::string path = (dir.path() / "w.png").string();
  ASSERT_TRUE(paint_window_png(*window, path).ok());

  // (50, 30) from the bottom left at scale 2: x 100, y (100 − 30) × 2 = 140.
  const Rgb in_red = pixel_at(path, 100, 140);
  EXPECT_EQ(in_red.r, 255);
  EXPECT_EQ(in_red.g, 0);
  const Rgb where_hidden = pixel_at(path, 300, 140);
  EXPECT_LT(where_hidden.b, 100) << "a hidden view was drawn";
  // Some text pixel is lit in the label's box.
  int lit = 0;
  for (int x = 20; x < 200; ++x) {
    for (int y = 22; y < 58; ++y) lit += pixel_at(path, x, y).r > 200;
  }
  EXPECT_GT(lit, 20);
  release_painter_caches();
}

TEST(PanelPainterTest, RefusesAWindowTooLargeToDraw) {
  auto window = platform::NSWindow::initWithContentRect({0, 0, 5000, 100});
  window->setBackingScaleFactor(2);
  EXPECT_FALSE(paint_window_png(*window, "/nonexistent/x.png").ok());
}

std::shared_ptr<platform::NSWindow> solid_window(unsigned char r, unsigned char g, unsigned char b) {
  auto window = platform::NSWindow::initWithContentRect({0, 0, 40, 20});
  auto picture = platform::NSImageView::initWithFrame({0, 0, 40, 20});
  picture->setImageScaling(platform::NSImageScaleAxesIndependently);
  picture->setImage(solid_image(r, g, b));
  window->contentView()->addSubview(picture);
  return window;
}

PaintedWindowPtr painted(const platform::NSWindow& w) {
  Result<PaintedWindowPtr> p = paint_window(w);
  EXPECT_TRUE(p.ok());
  return p.ok() ? std::move(p).value() : nullptr;
}

// The host's main loop hands the picture over and goes on: a path nobody
// reads yet (a FIFO) holds the writer, not the caller.
TEST(ScreenshotWriterTest, TheCallerDoesNotWaitForTheFileToBeWritten) {
  vel::testing::ScratchDir dir("vel-shot");
  ASSERT_TRUE(dir.ok());
  const std::string fifo = (dir.path() / "shot.png").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ScreenshotWriter shots;
  shots.write_later(painted(*solid_window(255, 0, 0)), fifo);
  // Reached only when the call above came back with nobody reading.
  const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::string bytes;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<size_t>(n));
  ::close(fd);
  EXPECT_TRUE(shots.finish().empty());
  ASSERT_GE(bytes.size(), 8u);
  EXPECT_EQ(bytes.substr(1, 3), "PNG");
}

TEST(ScreenshotWriterTest, WritesInTheOrderTakenAndReportsWhatCouldNotBeWritten) {
  vel::testing::ScratchDir dir("vel-shot");
  ASSERT_TRUE(dir.ok());
  const std::string same = (dir.path() / "panel.png").string();
  const std::string nowhere = (dir.path() / "missing" / "x.png").string();
  ScreenshotWriter shots;
  shots.write_later(painted(*solid_window(255, 0, 0)), same);
  shots.write_later(painted(*solid_window(0, 0, 255)), nowhere);
  shots.write_later(painted(*solid_window(0, 0, 255)), same);
  const std::vector<ScreenshotWriter::Failed> failed = shots.finish();
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].path, nowhere);
  EXPECT_EQ(failed[0].error, "screenshot: cannot write " + nowhere);
  const Rgb last = pixel_at(same, 20, 10);
  EXPECT_EQ(last.b, 255) << "an earlier picture overwrote a later one";
  EXPECT_EQ(last.r, 0);
  // Finished twice, or with nothing handed over, is nothing to do.
  EXPECT_TRUE(shots.finish().empty());
  release_painter_caches();
}

TEST(PanelEventsScenarioTest, PanelEventsKeepTheirFieldsAndRefuseBadTypes) {
  using nlohmann::json;
  auto ok = scenario_from_json(json::parse(R"({"events": [
    {"at_ms": 5, "action": "drag", "x": 1, "y": 2, "to_x": 30, "to_y": 2, "shift": true},
    {"at_ms": 9, "action": "screenshot", "path": "a.png"}]})"));
  ASSERT_TRUE(ok.ok()) << ok.error();
  ASSERT_EQ(ok.value().events.size(), 2u);
  EXPECT_EQ(ok.value().events[0].kind, EventKind::drag);
  EXPECT_TRUE(is_panel_event(EventKind::drag));
  EXPECT_FALSE(is_panel_event(EventKind::save));
  EXPECT_EQ(ok.value().events[0].value["to_x"], 30);
  for (const char* bad : {R"({"at_ms": 0, "action": "click", "x": "left"})",
                          R"({"at_ms": 0, "action": "drag", "shift": 1})",
                          R"({"at_ms": 0, "action": "key", "chars": 7})",
                          R"({"at_ms": 0, "action": "open_panel", "width": 1e9})"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(scenario_from_json(json::parse(std::string(R"({"events": [)") + bad + "]}")).ok());
  }
}

}  // namespace
}  // namespace sim
