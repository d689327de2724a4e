// A PNG the stand-in host painted, read back as cairo's ARGB32 words, for
// the end-to-end tests that compare the pictures of two runs.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace vel::testing {

struct Png {
  int width = 0, height = 0;
  std::vector<uint32_t> px;  // cairo's ARGB32 words, rows top down
  uint32_t at(int x, int y) const { return px[static_cast<size_t>(y) * width + x]; }
};

// Empty (no pixels) when the file is not a PNG cairo can read.
inline Png read_png(const std::filesystem::path& path) {
  Png out;
  cairo_surface_t* s = cairo_image_surface_create_from_png(path.c_str());
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> keep(s, &cairo_surface_destroy);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) return out;
  out.width = cairo_image_surface_get_width(s);
  out.height = cairo_image_surface_get_height(s);
  const int stride = cairo_image_surface_get_stride(s);
  const unsigned char* data = cairo_image_surface_get_data(s);
  out.px.resize(static_cast<size_t>(out.width) * out.height);
  for (int y = 0; y < out.height; ++y) {
    std::memcpy(&out.px[static_cast<size_t>(y) * out.width], data + static_cast<size_t>(y) * stride,
                static_cast<size_t>(out.width) * 4);
  }
  return out;
}

}  // namespace vel::testing
