// The stand-in host's project: compositions of solid layers with animated
// transforms. A loaded project is immutable; an edit builds a new one, so the
// render thread can keep drawing from the snapshot it started with.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// A time as the host keeps it: value over scale, in seconds.
struct HostTime {
  int32_t value = 0;
  uint32_t scale = 1;
  double seconds() const { return scale == 0 ? 0.0 : static_cast<double>(value) / scale; }
  bool operator==(const HostTime&) const = default;
};

using Vec3 = std::array<double, 3>;

enum class Interp : uint8_t { linear, bezier, hold };

// The host's temporal ease of one side of a keyframe: speed in value units per
// second, influence in percent.
struct Ease {
  double speed = 0.0;
  double influence = 0.0;
  bool operator==(const Ease&) const = default;
};

struct Keyframe {
  HostTime time;
  Vec3 value{};
  Interp in_interp = Interp::linear;   // how the segment ending here arrives
  Interp out_interp = Interp::linear;  // how the segment starting here leaves
  std::optional<Ease> ease_in;
  std::optional<Ease> ease_out;
};

// One transform property. Anchor, position and scale carry three components
// (x, y, z) as the host stores them; rotation and opacity one.
struct Property {
  uint8_t dims = 1;
  Vec3 fixed{};                 // the value when there are no keyframes
  std::vector<Keyframe> keys;   // strictly increasing times
  // An expression is reported but never evaluated: the renderer draws the
  // value before expressions.
  std::string expression;
  bool expression_enabled = true;
  bool separated = false;  // dimensions separated (position only)
};

struct Transform {
  Property anchor{3, {0, 0, 0}, {}};
  Property position{3, {0, 0, 0}, {}};
  Property scale{3, {100, 100, 100}, {}};
  Property rotation{1, {0, 0, 0}, {}};
  Property opacity{1, {100, 0, 0}, {}};
};

struct Solid {
  std::string name;
  std::array<double, 3> color{};  // red, green, blue in 0..1
  int32_t width = 0;
  int32_t height = 0;
};

// The host's transfer modes, by number; the names are what project files use.
inline constexpr int32_t kTransferNormal = 2;
const char* transfer_mode_name(int32_t mode);             // nullptr when unknown
std::optional<int32_t> transfer_mode_from_name(const std::string& name);

// A footage item shown by a layer, known by its name and size only.
struct Footage {
  std::string name;
  int32_t width = 0;
  int32_t height = 0;
  bool missing = false;  // its file cannot be found
};

struct Effect {
  std::string match_name;
  bool active = true;
};

struct Layer {
  std::string name;  // may be empty: the layer then shows its source's name
  bool enabled = true;
  bool three_d = false;
  int32_t transfer_mode = kTransferNormal;
  HostTime in_point;    // composition time
  HostTime duration;
  HostTime offset;      // start time of the layer in the composition
  std::optional<Solid> solid;  // absent: a layer without source, never drawn
  Transform transform;

  // What only introspection reads; the renderer draws none of it. At most
  // one of solid, footage and source_comp is set.
  int32_t object_type = 0;          // the host's object type (0 audio/video)
  int32_t switches = 0;             // layer flags beyond enabled and three_d
  std::optional<uint32_t> parent;   // 0-based position of the parent layer
  int32_t transfer_flags = 0;
  int32_t track_matte = 0;          // 0 none, 1..4
  uint32_t mask_count = 0;
  std::vector<Effect> effects;
  std::optional<Footage> footage;
  std::optional<std::string> source_comp;  // a nested composition, by name (itself allowed)
  // Property groups reported as changed from their defaults; a name the
  // root group does not hold becomes one more child.
  std::vector<std::string> modified_groups;
};

struct Composition {
  uint32_t id = 0;  // the host's item id, kept across edits; not in the file
  std::string name;
  int32_t width = 0;
  int32_t height = 0;
  HostTime frame_duration{1, 24};
  HostTime duration{0, 24};
  HostTime work_area_start{0, 24};
  HostTime work_area_duration{0, 24};
  HostTime current_time{0, 24};  // the playhead
  std::array<double, 3> bg_color{};
  uint32_t render_cost_ms = 0;  // extra time every rendered frame takes
  std::vector<Layer> layers;    // top layer first, as the host numbers them
};

struct Project {
  std::vector<Composition> comps;
  std::optional<size_t> active_comp;  // index into comps
};

using ProjectSnapshot = std::shared_ptr<const Project>;

}  // namespace sim
