#include "ui/panel_painter.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/appkit_controls.h"
#include "platform/appkit_image.h"
#include "platform/metal.h"

namespace sim {
namespace {

using platform::NSColor;

constexpr double kMaxSide = 8192.0;
constexpr const char* kFontFamily = "DejaVu Sans";

void set_colour(cairo_t* cr, const NSColor& c) { cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha); }

bool dark(const platform::NSView& v) {
  return v.appearance() && v.appearance()->name() == platform::NSAppearanceNameDarkAqua;
}

void rounded_rect(cairo_t* cr, double x, double y, double w, double h, double r) {
  r = std::min({r, w / 2.0, h / 2.0});
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
  cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
  cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
  cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

// Text in the box (top-left origin), vertically centred; `align` 0 left,
// 1 right, 2 centre.
void draw_text(cairo_t* cr, const std::string& text, const platform::NSFont& font, const NSColor& colour, double x,
               double y, double w, double h, int align) {
  if (text.empty()) return;
  cairo_save(cr);
  cairo_rectangle(cr, x, y, w, h);
  cairo_clip(cr);
  cairo_select_font_face(cr, kFontFamily, CAIRO_FONT_SLANT_NORMAL,
                         font.bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, font.pointSize);
  cairo_text_extents_t ext;
  cairo_text_extents(cr, text.c_str(), &ext);
  cairo_font_extents_t fe;
  cairo_font_extents(cr, &fe);
  double tx = x + 2.0;
  if (align == 1) tx = x + w - ext.x_advance - 2.0;
  if (align == 2) tx = x + (w - ext.x_advance) / 2.0;
  const double baseline = y + (h + fe.ascent - fe.descent) / 2.0;
  set_colour(cr, colour);
  cairo_move_to(cr, tx, baseline);
  cairo_show_text(cr, text.c_str());
  cairo_restore(cr);
}

// The first bitmap of the view's image as a cairo surface (premultiplied
// RGBA bytes to native-endian premultiplied ARGB words).
cairo_surface_t* image_surface(const platform::NSImageView& v) {
  const auto& image = v.image();
  if (!image || image->representations().empty()) return nullptr;
  const platform::NSBitmapImageRep& rep = *image->representations().front();
  const int64_t w = rep.pixelsWide(), h = rep.pixelsHigh();
  if (w <= 0 || h <= 0 || w > 16384 || h > 16384 || rep.samplesPerPixel() != 4) return nullptr;
  if (rep.pixels().size() < static_cast<size_t>(rep.bytesPerRow() * h)) return nullptr;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(w), static_cast<int>(h));
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return nullptr;
  }
  cairo_surface_flush(s);
  unsigned char* dst = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  for (int64_t y = 0; y < h; ++y) {
    const unsigned char* src = rep.pixels().data() + y * rep.bytesPerRow();
    auto* row = reinterpret_cast<uint32_t*>(dst + y * stride);
    for (int64_t x = 0; x < w; ++x) {
      const unsigned char* p = src + x * 4;
      row[x] = (uint32_t{p[3]} << 24) | (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
    }
  }
  cairo_surface_mark_dirty(s);
  return s;
}

void draw_image_view(cairo_t* cr, const platform::NSImageView& v, double w, double h) {
  cairo_surface_t* s = image_surface(v);
  if (s == nullptr) return;
  const double iw = cairo_image_surface_get_width(s);
  const double ih = cairo_image_surface_get_height(s);
  // The image's size in points is its NSImage size.
  const platform::NSSize size = v.image()->size();
  double pw = size.width > 0 ? size.width : iw, ph = size.height > 0 ? size.height : ih;
  double dw = pw, dh = ph;
  switch (v.imageScaling()) {
    case platform::NSImageScaleAxesIndependently: dw = w; dh = h; break;
    case platform::NSImageScaleProportionallyDown:
      if (pw > w || ph > h) {
        const double k = std::min(w / pw, h / ph);
        dw = pw * k;
        dh = ph * k;
      }
      break;
    case platform::NSImageScaleProportionallyUpOrDown: {
      const double k = std::min(w / pw, h / ph);
      dw = pw * k;
      dh = ph * k;
      break;
    }
    case platform::NSImageScaleNone: break;
  }
  cairo_save(cr);
  cairo_rectangle(cr, 0, 0, w, h);
  cairo_clip(cr);
  cairo_translate(cr, (w - dw) / 2.0, (h - dh) / 2.0);
  cairo_scale(cr, dw / iw, dh / ih);
  cairo_set_source_surface(cr, s, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
  cairo_paint(cr);
  cairo_restore(cr);
  cairo_surface_destroy(s);
}

void draw_text_field(cairo_t* cr, const platform::NSTextField& t, double w, double h) {
  if (t.drawsBackground()) {
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_rectangle(cr, 0, 0, w, h);
    cairo_fill(cr);
  }
  const int align = t.alignment() == platform::NSTextAlignment::Right    ? 1
                    : t.alignment() == platform::NSTextAlignment::Center ? 2
                                                                         : 0;
  draw_text(cr, t.stringValue(), t.font(), t.textColor(), 0, 0, w, h, align);
}

void draw_button(cairo_t* cr, const platform::NSButton& b, double w, double h) {
  const NSColor text = dark(b) ? NSColor::whiteColor() : NSColor{0.1, 0.1, 0.1, 1.0};
  if (b.isCheckbox()) {
    const double box = std::min(12.0, h - 4.0);
    const double by = (h - box) / 2.0;
    rounded_rect(cr, 1, by, box, box, 3);
    if (b.state() == 1) {
      cairo_set_source_rgb(cr, 0.11, 0.45, 1.0);
      cairo_fill(cr);
      cairo_set_source_rgb(cr, 1, 1, 1);
      cairo_set_line_width(cr, 1.6);
      cairo_move_to(cr, 1 + box * 0.22, by + box * 0.52);
      cairo_line_to(cr, 1 + box * 0.42, by + box * 0.74);
      cairo_line_to(cr, 1 + box * 0.80, by + box * 0.28);
      cairo_stroke(cr);
    } else {
      cairo_set_source_rgb(cr, 0.45, 0.45, 0.48);
      cairo_set_line_width(cr, 1.0);
      cairo_stroke(cr);
    }
    draw_text(cr, b.title(), b.font(), text, box + 4, 0, w - box - 4, h, 0);
    return;
  }
  if (b.isBordered()) {
    rounded_rect(cr, 1, 1, w - 2, h - 2, 5);
    if (b.bezelColor()) {
      set_colour(cr, *b.bezelColor());
    } else {
      cairo_set_source_rgb(cr, 0.33, 0.33, 0.36);
    }
    cairo_fill(cr);
  }
  draw_text(cr, b.title(), b.font(), text, 0, 0, w, h, 2);
}

void draw_popup(cairo_t* cr, const platform::NSPopUpButton& p, double w, double h) {
  rounded_rect(cr, 1, 1, w - 2, h - 2, 5);
  cairo_set_source_rgb(cr, 0.27, 0.27, 0.30);
  cairo_fill(cr);
  const NSColor text = dark(p) ? NSColor::whiteColor() : NSColor{0.1, 0.1, 0.1, 1.0};
  draw_text(cr, p.titleOfSelectedItem(), p.font(), text, 6, 0, w - 24, h, 0);
  // The pop-up's double chevron.
  const double cx = w - 11, cy = h / 2.0;
  set_colour(cr, text);
  cairo_set_line_width(cr, 1.2);
  cairo_move_to(cr, cx - 3, cy - 1.5);
  cairo_line_to(cr, cx, cy - 4.5);
  cairo_line_to(cr, cx + 3, cy - 1.5);
  cairo_move_to(cr, cx - 3, cy + 1.5);
  cairo_line_to(cr, cx, cy + 4.5);
  cairo_line_to(cr, cx + 3, cy + 1.5);
  cairo_stroke(cr);
}

// A layer-hosting view shows its layer's on-screen contents scaled into the
// view's frame, as the window server composites it. The contents are opaque
// BGRA8: on this little-endian machine the bytes of CAIRO_FORMAT_RGB24.
void draw_layer(cairo_t* cr, const platform::CAMetalLayer& layer, double w, double h) {
  platform::LayerContents shown = layer.contents();
  if (shown.width == 0 || shown.height == 0 || shown.width > 16384 || shown.height > 16384 ||
      shown.bgra.size() != shown.width * shown.height * 4) {
    return;
  }
  const int iw = static_cast<int>(shown.width), ih = static_cast<int>(shown.height);
  if (cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, iw) != iw * 4) return;
  cairo_surface_t* s = cairo_image_surface_create_for_data(shown.bgra.data(), CAIRO_FORMAT_RGB24, iw, ih, iw * 4);
  if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
    cairo_save(cr);
    cairo_rectangle(cr, 0, 0, w, h);
    cairo_clip(cr);
    cairo_scale(cr, w / iw, h / ih);
    cairo_set_source_surface(cr, s, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
    cairo_paint(cr);
    cairo_restore(cr);
  }
  cairo_surface_destroy(s);
}

// Draws `v` with its subviews; (0, 0) is the top left of its superview.
void draw_view(cairo_t* cr, const platform::NSView& v, double parent_height) {
  if (v.isHidden()) return;
  const platform::NSRect f = v.frame();
  if (!(f.width > 0 && f.height > 0)) return;
  cairo_save(cr);
  cairo_translate(cr, f.x, parent_height - f.y - f.height);
  if (auto* image = dynamic_cast<const platform::NSImageView*>(&v)) {
    draw_image_view(cr, *image, f.width, f.height);
  } else if (auto* text = dynamic_cast<const platform::NSTextField*>(&v)) {
    draw_text_field(cr, *text, f.width, f.height);
  } else if (auto* popup = dynamic_cast<const platform::NSPopUpButton*>(&v)) {
    draw_popup(cr, *popup, f.width, f.height);
  } else if (auto* button = dynamic_cast<const platform::NSButton*>(&v)) {
    draw_button(cr, *button, f.width, f.height);
  }
  if (v.layer()) draw_layer(cr, *v.layer(), f.width, f.height);
  for (const auto& sub : v.subviews()) draw_view(cr, *sub, f.height);
  cairo_restore(cr);
}

}  // namespace

struct PaintedWindow {
  cairo_surface_t* surface;
};

void PaintedWindowDeleter::operator()(PaintedWindow* p) const {
  cairo_surface_destroy(p->surface);
  delete p;
}

Result<PaintedWindowPtr> paint_window(const platform::NSWindow& window) {
  const auto& content = window.contentView();
  if (!content) return fail("screenshot: the window has no content view");
  const double scale = window.backingScaleFactor() > 0 ? window.backingScaleFactor() : 1.0;
  const double w = content->frame().width, h = content->frame().height;
  if (!(w >= 1 && h >= 1 && w * scale <= kMaxSide && h * scale <= kMaxSide)) {
    return fail("screenshot: window size out of range");
  }
  PaintedWindowPtr painted(new PaintedWindow{cairo_image_surface_create(
      CAIRO_FORMAT_ARGB32, static_cast<int>(std::lround(w * scale)), static_cast<int>(std::lround(h * scale)))});
  cairo_surface_t* surface = painted->surface;
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) return fail("screenshot: cannot make the surface");
  cairo_t* cr = cairo_create(surface);
  cairo_scale(cr, scale, scale);
  cairo_set_source_rgb(cr, 0.13, 0.13, 0.14);  // the window's background
  cairo_paint(cr);
  // The content view fills the window whatever its own frame's origin.
  for (const auto& sub : content->subviews()) draw_view(cr, *sub, h);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  return painted;
}

// The same pixels cairo's own writer gives (straight RGBA, each colour
// unpremultiplied with rounding), compressed at the fastest level and
// unfiltered: the runs that read the picture take a screenshot at each step,
// and cairo's default compression took most of the writer's time.
Status write_png(const PaintedWindow& painted, const std::string& path) {
  cairo_surface_t* surface = painted.surface;
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  if (!data || width <= 0 || height <= 0) return fail("screenshot: cannot write " + path);
  std::vector<png_byte> rgba(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
  for (int y = 0; y < height; ++y) {
    const unsigned char* row = data + static_cast<size_t>(y) * static_cast<size_t>(stride);
    png_byte* out = rgba.data() + static_cast<size_t>(y) * static_cast<size_t>(width) * 4;
    for (int x = 0; x < width; ++x, out += 4) {
      uint32_t px;
      std::memcpy(&px, row + static_cast<size_t>(x) * 4, 4);
      const uint32_t a = px >> 24;
      const auto straight = [a](uint32_t c) { return static_cast<png_byte>(a == 0 ? 0 : (c * 255 + a / 2) / a); };
      out[0] = straight((px >> 16) & 0xFF);
      out[1] = straight((px >> 8) & 0xFF);
      out[2] = straight(px & 0xFF);
      out[3] = static_cast<png_byte>(a);
    }
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return fail("screenshot: cannot write " + path);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return fail("screenshot: cannot write " + path);
  }
  png_init_io(png, file);
  png_set_compression_level(png, 1);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) png_write_row(png, rgba.data() + static_cast<size_t>(y) * static_cast<size_t>(width) * 4);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fclose(file) != 0) return fail("screenshot: cannot write " + path);
  return done();
}

Status paint_window_png(const platform::NSWindow& window, const std::string& path) {
  Result<PaintedWindowPtr> painted = paint_window(window);
  if (!painted) return fail(painted.error());
  return write_png(*painted.value(), path);
}

void release_painter_caches() {
  cairo_debug_reset_static_data();
  FcFini();
}

}  // namespace sim
