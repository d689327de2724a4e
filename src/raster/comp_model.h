// The composition as plain data, as the raster renderer and the comp dump see
// it. Built once from the host, never changed afterwards, read without locks;
// nothing in it refers to the host. Whatever the host failed to report, or
// the raster path does not model, is a short text in an `unsupported` list,
// and the field keeps a fixed default: the model never guesses.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vel {

struct Vec2 {
  double x = 0;
  double y = 0;
  friend bool operator==(const Vec2&, const Vec2&) = default;
};

enum class Interpolation : uint8_t { Linear, Bezier, Hold };

// Speed in value units per second and influence in percent, as the host
// reports them (not clamped here).
struct TemporalEase {
  double speed = 0;
  double influence = 0;
  friend bool operator==(const TemporalEase&, const TemporalEase&) = default;
};

// The host's interpolation on each side of a key: how the segment ending at
// the key arrives and how the one starting there leaves. One summary kind
// cannot say both: a key that arrives held and leaves linearly moves on.
struct KeySides {
  Interpolation in = Interpolation::Linear;
  Interpolation out = Interpolation::Linear;
  friend bool operator==(const KeySides&, const KeySides&) = default;
};

template <class T>
struct Keyframe {
  double t = 0;  // composition time, seconds
  T v{};
  Interpolation interp = Interpolation::Linear;  // the key's summary kind, as dumped
  // Both present or both absent; present only on keys with a bezier side.
  std::optional<TemporalEase> ease_in;
  std::optional<TemporalEase> ease_out;
  // Absent when the host did not report both sides (or the key was made by
  // hand): both sides are then `interp`.
  std::optional<KeySides> sides;
  friend bool operator==(const Keyframe&, const Keyframe&) = default;
};

template <class T>
Interpolation in_side(const Keyframe<T>& k) {
  return k.sides ? k.sides->in : k.interp;
}
template <class T>
Interpolation out_side(const Keyframe<T>& k) {
  return k.sides ? k.sides->out : k.interp;
}

// Either one static value, or the keys in the host's order (possibly none,
// when every key failed to read).
template <class T>
struct AnimatedValue {
  struct Static {
    T value{};
    friend bool operator==(const Static&, const Static&) = default;
  };
  using Keys = std::vector<Keyframe<T>>;
  std::variant<Static, Keys> v{Static{}};

  static AnimatedValue constant(T value) { return AnimatedValue{Static{value}}; }
  static AnimatedValue keyed(Keys keys) { return AnimatedValue{std::move(keys)}; }
  const Static* as_static() const { return std::get_if<Static>(&v); }
  const Keys* as_keys() const { return std::get_if<Keys>(&v); }
  friend bool operator==(const AnimatedValue&, const AnimatedValue&) = default;
};

using AnimatedScalar = AnimatedValue<double>;
using AnimatedVec2 = AnimatedValue<Vec2>;

enum class LayerKind : uint8_t { Av, Camera, Light, Shape, Text, Adjustment, Null, Unknown };
const char* layer_kind_name(LayerKind kind);

using Rgb = std::array<float, 3>;

struct FootageSource {
  std::string path;  // the item's name: the file path is not captured
  friend bool operator==(const FootageSource&, const FootageSource&) = default;
};
struct CompSource {
  std::string comp_name;
  friend bool operator==(const CompSource&, const CompSource&) = default;
};
struct SolidSource {
  Rgb color{};
  uint32_t width = 0;
  uint32_t height = 0;
  friend bool operator==(const SolidSource&, const SolidSource&) = default;
};
struct UnsupportedSource {
  std::string desc;  // "item_type(<n>): <item name>"
  friend bool operator==(const UnsupportedSource&, const UnsupportedSource&) = default;
};
using LayerSource = std::variant<FootageSource, CompSource, SolidSource, UnsupportedSource>;

// A text in the debug form: quoted, with \" \\ \n \r \t and \u{hex} escapes.
std::string debug_text(const std::string& s);

// The debug form used in rejection texts:
// Solid { color: [1.0, 0.0, 0.0], width: 1920, height: 1080 }.
std::string layer_source_debug(const LayerSource& source);

enum class TrackMatteMode : uint8_t { Alpha, AlphaInverted, Luma, LumaInverted };
const char* track_matte_name(TrackMatteMode mode);

struct TrackMatte {
  TrackMatteMode mode = TrackMatteMode::Alpha;
  uint32_t layer_index = 0;
  friend bool operator==(const TrackMatte&, const TrackMatte&) = default;
};

enum class MaskMode : uint8_t { None, Add, Subtract, Intersect, Lighten, Darken, Difference };
const char* mask_mode_name(MaskMode mode);

struct MaskModel {
  std::string name;
  MaskMode mode = MaskMode::None;
  bool inverted = false;
  AnimatedScalar opacity;
  AnimatedVec2 feather;
  AnimatedScalar expansion;
  bool path_captured = false;
  friend bool operator==(const MaskModel&, const MaskModel&) = default;
};

struct EffectModel {
  std::string match_name;  // or "<match_name: <error>>"
  bool enabled = false;    // the host reported the active bit
  bool params_captured = false;
  friend bool operator==(const EffectModel&, const EffectModel&) = default;
};

struct LayerTransform {
  AnimatedVec2 anchor;    // pixels, layer space
  AnimatedVec2 position;  // pixels, composition space
  AnimatedVec2 scale;     // percent per axis
  AnimatedScalar rotation;  // degrees
  AnimatedScalar opacity;   // percent
  friend bool operator==(const LayerTransform&, const LayerTransform&) = default;
};

struct LayerModel {
  uint32_t index = 0;  // 0-based position + 1, as the host shows it
  std::string name;
  LayerKind kind = LayerKind::Unknown;
  std::optional<LayerSource> source;
  double in_point = 0;
  double out_point = 0;
  double start_time = 0;
  bool enabled = false;
  bool three_d = false;
  std::string blend_mode;
  std::optional<TrackMatte> track_matte;
  LayerTransform transform;
  std::vector<MaskModel> masks;
  std::vector<EffectModel> effects;
  std::vector<std::string> unsupported;
  friend bool operator==(const LayerModel&, const LayerModel&) = default;
};

struct CompModel {
  std::string name;
  uint32_t width = 0;
  uint32_t height = 0;
  double frame_rate = 0;
  double duration = 0;
  Rgb bg_color{};
  std::vector<LayerModel> layers;  // host order, top layer first
  std::vector<std::string> unsupported;
  friend bool operator==(const CompModel&, const CompModel&) = default;
};

// The host's transfer mode by number: one of 39 names, or "xfer_<n>".
std::string blend_mode_name(int32_t mode);
const char* interpolation_name(Interpolation interp);

}  // namespace vel
