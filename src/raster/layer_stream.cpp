#include "raster/layer_stream.h"

#include "host/suite_hold.h"
#include "raster/number_text.h"

namespace vel {
namespace {

bool is_three_d(StreamKind k) { return k == StreamKind::ThreeD || k == StreamKind::ThreeDSpatial; }
bool is_two_d(StreamKind k) { return k == StreamKind::TwoD || k == StreamKind::TwoDSpatial; }

// Any inequality counts, NaN included.
bool differs(double z, double neutral) { return !(z == neutral); }


std::optional<Interpolation> known_interp(int32_t v) {
  switch (v) {
    case 1: return Interpolation::Linear;
    case 2: return Interpolation::Bezier;
    case 3: return Interpolation::Hold;
    default: return std::nullopt;
  }
}

// One key; false when it is to be skipped.
bool read_key(PluginId plugin_id, StreamRefH s, int32_t stream, int32_t i, const std::string& n,
              std::vector<std::string>& unsupported, RawKeyframe& key) {
  const std::string at = "[" + std::to_string(i) + "]";
  auto time = keyframe_time(s, i);
  if (!time) {
    unsupported.push_back(field_error(n + ": kf_time" + at + " " + to_string(time.error())));
    return false;
  }
  auto value = keyframe_value(plugin_id, s, i);
  if (!value) {
    unsupported.push_back(field_error(n + ": kf_value" + at + " " + to_string(value.error())));
    return false;
  }
  int32_t in = 0, out = 0;  // unknown unless the host says otherwise
  if (auto interp = keyframe_interpolation(s, i)) {
    in = interp->first;
    out = interp->second;
  } else {
    unsupported.push_back(field_error(n + ": kf_interp" + at));
  }
  if (!known_interp(in) || !known_interp(out)) unsupported.push_back(field_error(n + ": kf_interp" + at + " inconnu"));
  key.interp = key_interpolation(in, out);
  const auto known_in = known_interp(in), known_out = known_interp(out);
  if (known_in && known_out) key.sides = KeySides{*known_in, *known_out};
  // Either side may ease, whatever the summary kind says: a key that arrives
  // eased and leaves held still ends its incoming segment on its ease.
  if (key.interp == Interpolation::Bezier || known_in == Interpolation::Bezier ||
      known_out == Interpolation::Bezier) {
    if (stream == kStreamScale) unsupported.push_back("scale_per_dimension_ease");
    if (auto ease = keyframe_temporal_ease(s, i, 0)) {
      key.ease_in = TemporalEase{ease->first.speed, ease->first.influence};
      key.ease_out = TemporalEase{ease->second.speed, ease->second.influence};
    }
  }
  key.t = host_seconds(time.value());
  key.value = value.value();
  return true;
}

}  // namespace

Interpolation key_interpolation(int32_t in, int32_t out) {
  const auto i = known_interp(in), o = known_interp(out);
  if (o == Interpolation::Hold) return Interpolation::Hold;
  if (i == Interpolation::Bezier) return Interpolation::Bezier;
  if (i == Interpolation::Hold) return Interpolation::Hold;
  if (o == Interpolation::Bezier) return Interpolation::Bezier;
  return Interpolation::Linear;
}

StreamCapture read_layer_stream(PluginId plugin_id, LayerH layer, int32_t stream, const std::string& n,
                                std::vector<std::string>& unsupported) {
  auto stream_suite = SuiteHold::acquire(HostSuite::Stream);
  if (!stream_suite) {
    unsupported.push_back(field_error(n + ": suite Stream " + to_string(stream_suite.error())));
    return StreamFailed{};
  }
  auto key_suite = SuiteHold::acquire(HostSuite::Keyframe);
  if (!key_suite) {
    unsupported.push_back(field_error(n + ": suite Keyframe " + to_string(key_suite.error())));
    return StreamFailed{};
  }
  auto ref = new_layer_stream(plugin_id, layer, stream);
  if (!ref) {
    unsupported.push_back(field_error(n + ": new_layer_stream " + to_string(ref.error())));
    return StreamFailed{};
  }
  const StreamRefH s = ref->get();

  // The value before expressions is what the model keeps either way.
  if (auto expr = expression_enabled(plugin_id, s); !expr) {
    unsupported.push_back(field_error(n + ": expression_state: " + to_string(expr.error())));
  } else if (expr.value()) {
    unsupported.push_back("expression(" + n + ")");
  }

  {
    auto dyn = SuiteHold::acquire(HostSuite::DynamicStream);
    if (!dyn) {
      unsupported.push_back(field_error(n + ": separated_dimensions: " + to_string(dyn.error())));
      return StreamFailed{};
    }
    auto leader = is_separation_leader(s);
    Result<bool, AeError> separated = false;
    if (leader && leader.value()) separated = dimensions_separated(s);
    if (!leader || !separated) {
      const AeError& e = !leader ? leader.error() : separated.error();
      unsupported.push_back(field_error(n + ": separated_dimensions: " + to_string(e)));
      return StreamFailed{};
    }
    if (separated.value()) {
      unsupported.push_back("separated_dimensions(" + n + ")");
      return StreamFailed{};
    }
  }

  auto count = stream_num_keyframes(s);
  if (!count) {
    unsupported.push_back(field_error(n + ": keyframe_count: " + to_string(count.error())));
    return StreamFailed{};
  }
  if (count.value() <= 0) {
    auto value = stream_value_at_start(plugin_id, s);
    if (!value) {
      unsupported.push_back(field_error(n + ": stream_value " + to_string(value.error())));
      return StreamFailed{};
    }
    return value.value();
  }

  std::vector<RawKeyframe> keys;
  for (int32_t i = 0; i < count.value(); ++i) {
    RawKeyframe key;
    if (read_key(plugin_id, s, stream, i, n, unsupported, key)) keys.push_back(key);
  }
  if ((stream == kStreamAnchor || stream == kStreamPosition) && !keys.empty()) {
    unsupported.push_back(n + "_spatial_tangents");
  }
  return keys;
}

AnimatedScalar scalar_from_capture(const StreamCapture& capture, const std::string& n,
                                   std::vector<std::string>& unsupported) {
  if (const auto* v = std::get_if<StreamValue>(&capture)) {
    if (v->kind == StreamKind::OneD) return AnimatedScalar::constant(v->n[0]);
    unsupported.push_back(n + "_value_type");
    return AnimatedScalar::constant(0);
  }
  const auto* raw = std::get_if<std::vector<RawKeyframe>>(&capture);
  if (!raw) return AnimatedScalar::constant(0);
  AnimatedScalar::Keys keys;
  for (const RawKeyframe& k : *raw) {
    if (k.value.kind != StreamKind::OneD) {
      unsupported.push_back(n + "_kf_value_type");
      continue;
    }
    keys.push_back({k.t, k.value.n[0], k.interp, k.ease_in, k.ease_out, k.sides});
  }
  return AnimatedScalar::keyed(std::move(keys));
}

AnimatedVec2 vec2_from_capture(const StreamCapture& capture, const std::string& n, double neutral_z,
                               std::vector<std::string>& unsupported) {
  if (const auto* v = std::get_if<StreamValue>(&capture)) {
    if (is_three_d(v->kind)) {
      if (differs(v->n[2], neutral_z)) unsupported.push_back(n + "_z(" + display_real(v->n[2]) + ")");
      return AnimatedVec2::constant({v->n[0], v->n[1]});
    }
    if (is_two_d(v->kind)) return AnimatedVec2::constant({v->n[0], v->n[1]});
    unsupported.push_back(n + "_value_type");
    return AnimatedVec2::constant({0, 0});
  }
  const auto* raw = std::get_if<std::vector<RawKeyframe>>(&capture);
  if (!raw) return AnimatedVec2::constant({0, 0});
  AnimatedVec2::Keys keys;
  for (const RawKeyframe& k : *raw) {
    if (is_three_d(k.value.kind)) {
      if (differs(k.value.n[2], neutral_z)) unsupported.push_back(n + "_z_kf(" + display_real(k.value.n[2]) + ")");
    } else if (!is_two_d(k.value.kind)) {
      unsupported.push_back(n + "_kf_value_type");
      continue;
    }
    keys.push_back({k.t, Vec2{k.value.n[0], k.value.n[1]}, k.interp, k.ease_in, k.ease_out, k.sides});
  }
  return AnimatedVec2::keyed(std::move(keys));
}

AnimatedScalar capture_keyframed_scalar(PluginId plugin_id, LayerH layer, int32_t stream, const std::string& n,
                                        std::vector<std::string>& unsupported) {
  return scalar_from_capture(read_layer_stream(plugin_id, layer, stream, n, unsupported), n, unsupported);
}

AnimatedVec2 capture_keyframed_vec2(PluginId plugin_id, LayerH layer, int32_t stream, const std::string& n,
                                    double neutral_z, std::vector<std::string>& unsupported) {
  return vec2_from_capture(read_layer_stream(plugin_id, layer, stream, n, unsupported), n, neutral_z, unsupported);
}

}  // namespace vel
