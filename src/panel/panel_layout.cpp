#include "panel/panel_layout.h"

#include <algorithm>
#include <cmath>

namespace vel {
namespace {

constexpr double kBottomBar = 38.0;
constexpr double kWideEnough = 540.0;

double snap(double v, double s) { return std::round(v * s) / s; }

uint32_t device_pixels(double v, double s) {
  const double px = std::round(v * s);
  if (!(px > 0.0)) return 0;
  return px >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(px);
}

}  // namespace

double usable_aspect(double aspect) { return std::isfinite(aspect) && aspect > 0.0 ? aspect : kDefaultAspect; }

PanelFrames compute_panel_layout(const LayoutInputs& in) {
  PanelFrames f;
  const double W = in.width;
  const double H = in.height;
  const double s = in.scale;
  const double wr = std::max(W, 1.0);
  const double hr = std::max(H - kBottomBar, 1.0);
  const double a = usable_aspect(in.aspect);

  double w = wr;
  double h = wr / a;
  if (hr < wr / a) {
    h = hr;
    w = std::max(std::min(hr * a, wr), 1.0);
  }
  if (in.mode == kLayoutModeNative && s > 0.0 && in.native_width / s < w) {
    w = std::max(in.native_width / s, 1.0);
    h = w / a;
  }
  double x = (wr - w) / 2.0;
  double y = kBottomBar + std::max((hr - h) / 2.0, 0.0);
  if (s > 0.0) {
    x = snap(x, s);
    y = snap(y, s);
    w = std::max(snap(w, s), 1.0 / s);
    h = std::max(snap(h, s), 1.0 / s);
    f.picture_px = {device_pixels(w, s), device_pixels(h, s)};
  }
  f.picture = {x, y, w, h};
  f.strip = {0.0, 26.0, wr, 12.0};
  const double label_w = std::max(w - 12.0, 10.0);
  const double status_y = y + h + 18.0 + 2.0 <= H ? y + h + 2.0 : std::max(y + h - 22.0, kBottomBar);
  f.status = {x + 6.0, status_y, label_w, 18.0};
  f.detail = {x + 6.0, 40.0, label_w, 16.0};

  f.play = {6.0, 2.0, 36.0, 22.0};
  const double c = wr >= kWideEnough ? 104.0 : std::clamp((wr - 54.0 - 36.0 - 24.0) / 3.0, 48.0, 104.0);
  f.popup_width = c;
  f.size_label_hidden = wr < kWideEnough;
  f.speed_label_hidden = in.single_speed || wr < kWideEnough;
  f.speed_popup_hidden = in.single_speed;
  double next_x = 0.0;
  if (wr >= kWideEnough) {
    f.size_label = {50.0, 2.0, 46.0, 20.0};
    f.size_popup = {98.0, 2.0, c, 22.0};
    f.speed_label = {c + 110.0, 2.0, 40.0, 20.0};
    next_x = c + 152.0;
  } else {
    f.size_popup = {50.0, 2.0, c, 22.0};
    next_x = c + 58.0;
  }
  f.speed_popup = {next_x, 2.0, c, 22.0};
  f.autosave = {next_x + c + 8.0, 2.0, c, 22.0};
  f.update = {0.0, H - 22.0, wr, 22.0};
  return f;
}

}  // namespace vel
