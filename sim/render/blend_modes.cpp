#include "render/blend_modes.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "project/project_model.h"

namespace sim {
namespace {

double normal(double, double s) { return s; }
double multiply(double b, double s) { return b * s; }
double screen(double b, double s) { return b + s - b * s; }
double hard_light(double b, double s) {
  return s <= 0.5 ? 2.0 * b * s : screen(b, 2.0 * s - 1.0);
}
double overlay(double b, double s) { return hard_light(s, b); }
double darken(double b, double s) { return std::fmin(b, s); }
double lighten(double b, double s) { return std::fmax(b, s); }
double difference(double b, double s) { return std::fabs(b - s); }
double add(double b, double s) { return std::min(b + s, 1.0); }
double exclusion(double b, double s) { return b + s - 2.0 * b * s; }
double subtract(double b, double s) { return std::max(b - s, 0.0); }
double linear_burn(double b, double s) { return std::max(b + s - 1.0, 0.0); }
double color_dodge(double b, double s) {
  if (b <= 0.0) return 0.0;
  if (s >= 1.0) return 1.0;
  return std::min(1.0, b / (1.0 - s));
}
double color_burn(double b, double s) {
  if (b >= 1.0) return 1.0;
  if (s <= 0.0) return 0.0;
  return 1.0 - std::min(1.0, (1.0 - b) / s);
}
double soft_light(double b, double s) {
  if (s <= 0.5) return b - (1.0 - 2.0 * s) * b * (1.0 - b);
  double d = b <= 0.25 ? ((16.0 * b - 12.0) * b + 4.0) * b : std::sqrt(b);
  return b + (2.0 * s - 1.0) * (d - b);
}
double divide(double b, double s) {
  if (s <= 0.0) return b > 0.0 ? 1.0 : 0.0;
  return std::min(1.0, b / s);
}

BlendFn lookup(int32_t mode) {
  const char* name = transfer_mode_name(mode);
  if (!name) return nullptr;
  struct Entry {
    const char* name;
    BlendFn fn;
  };
  static const Entry table[] = {
      {"normal", normal},           {"multiply", multiply},       {"screen", screen},
      {"overlay", overlay},         {"hard_light", hard_light},   {"soft_light", soft_light},
      {"darken", darken},           {"lighten", lighten},         {"difference", difference},
      {"add", add},                 {"linear_dodge", add},        {"exclusion", exclusion},
      {"subtract", subtract},       {"linear_burn", linear_burn}, {"color_dodge", color_dodge},
      {"color_burn", color_burn},   {"divide", divide},
  };
  for (const Entry& e : table) {
    if (std::string(name) == e.name) return e.fn;
  }
  return nullptr;
}

}  // namespace

BlendFn blend_for_mode(int32_t transfer_mode) {
  BlendFn fn = lookup(transfer_mode);
  return fn ? fn : normal;
}

bool blend_mode_modelled(int32_t transfer_mode) { return lookup(transfer_mode) != nullptr; }

}  // namespace sim
