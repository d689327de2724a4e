#include "raster/blend_kernels.h"

#include <algorithm>
#include <cmath>

namespace vel {
namespace {

double normal(double, double s) { return s; }
double multiply(double b, double s) { return b * s; }
double screen(double b, double s) { return 1.0 - (1.0 - b) * (1.0 - s); }
double overlay(double b, double s) { return b < 0.5 ? 2.0 * b * s : 1.0 - 2.0 * (1.0 - b) * (1.0 - s); }
// IEEE 754 minNum and maxNum: a NaN yields the other operand, and of two
// zeros -0 is the smaller, which std::fmin/fmax do not promise.
double darken(double b, double s) {
  if (std::isnan(b)) return s;
  if (std::isnan(s)) return b;
  if (b == s) return std::signbit(b) ? b : s;
  return b < s ? b : s;
}
double lighten(double b, double s) {
  if (std::isnan(b)) return s;
  if (std::isnan(s)) return b;
  if (b == s) return std::signbit(b) ? s : b;
  return b > s ? b : s;
}
double difference(double b, double s) { return std::fabs(b - s); }
double add(double b, double s) { return std::min(b + s, 1.0); }

struct NamedKernel {
  std::string_view name;
  BlendKernel kernel;
  BlendKind kind;
};

constexpr NamedKernel kKernels[] = {
    {"normal", normal, BlendKind::Normal},
    {"multiply", multiply, BlendKind::Multiply},
    {"screen", screen, BlendKind::Screen},
    {"overlay", overlay, BlendKind::Overlay},
    {"darken", darken, BlendKind::Darken},
    {"lighten", lighten, BlendKind::Lighten},
    {"difference", difference, BlendKind::Difference},
    {"add", add, BlendKind::Add},
    {"linear_dodge", add, BlendKind::Add},
};

}  // namespace

BlendKernel blend_for_name(std::string_view name) {
  for (const NamedKernel& k : kKernels) {
    if (k.name == name) return k.kernel;
  }
  return nullptr;
}

std::optional<BlendKind> blend_kind_of(BlendKernel kernel) {
  if (!kernel) return BlendKind::Normal;
  for (const NamedKernel& k : kKernels) {
    if (k.kernel == kernel) return k.kind;
  }
  return std::nullopt;
}

}  // namespace vel
