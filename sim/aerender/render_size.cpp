#include "render_size.h"

#include <algorithm>
#include <charconv>

#include "worker_switch.h"

namespace sim {

namespace {

constexpr int32_t kMaxSide = 30000;
constexpr int32_t kMaxFactor = 16;

std::optional<int32_t> whole(std::string_view s, int32_t lo, int32_t hi) {
  int32_t v = 0;
  const char* end = s.data() + s.size();
  const auto [p, ec] = std::from_chars(s.data(), end, v);
  if (s.empty() || ec != std::errc() || p != end || v < lo || v > hi) return std::nullopt;
  return v;
}

int32_t clamp_side(int64_t side) { return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(side, 1), kMaxSide)); }

}  // namespace

std::optional<RenderSize> parse_render_size(const std::string& text) {
  const std::string_view t = text;
  if (!t.empty() && (t[0] == '*' || t[0] == '/')) {
    const std::optional<int32_t> n = whole(t.substr(1), 1, kMaxFactor);
    if (!n) return std::nullopt;
    RenderSize s;
    s.kind = t[0] == '*' ? RenderSize::Kind::Times : RenderSize::Kind::DividedBy;
    s.factor = *n;
    return s;
  }
  const size_t x = t.find('x');
  if (x == std::string_view::npos) return std::nullopt;
  const std::optional<int32_t> w = whole(t.substr(0, x), 1, kMaxSide), h = whole(t.substr(x + 1), 1, kMaxSide);
  if (!w || !h) return std::nullopt;
  RenderSize s;
  s.width = *w;
  s.height = *h;
  return s;
}

Result<std::optional<RenderSize>> read_render_size(const std::function<std::optional<std::string>(const char*)>& getenv,
                                                   const std::string& output_path) {
  const std::optional<std::string> value = getenv("SIM_AERENDER_SIZE");
  if (!value) return std::optional<RenderSize>();
  if (value->find('w') == std::string::npos) {
    std::optional<RenderSize> size = parse_render_size(*value);
    if (!size) return fail("SIM_AERENDER_SIZE: bad value " + *value);
    return size;
  }
  const std::optional<std::string> text = worker_switch_text(value, worker_scope_of(output_path));
  if (!text) return std::optional<RenderSize>();
  return parse_render_size(*text);
}

Composition resized_composition(const Composition& comp, const RenderSize& size) {
  Composition out = comp;
  switch (size.kind) {
    case RenderSize::Kind::Canvas:
      out.width = size.width;
      out.height = size.height;
      break;
    case RenderSize::Kind::Times:
      out.width = clamp_side(int64_t{comp.width} * size.factor);
      out.height = clamp_side(int64_t{comp.height} * size.factor);
      break;
    case RenderSize::Kind::DividedBy:
      out.width = clamp_side((int64_t{comp.width} + size.factor - 1) / size.factor);
      out.height = clamp_side((int64_t{comp.height} + size.factor - 1) / size.factor);
      break;
  }
  return out;
}

}  // namespace sim
