#include "raster/introspect_comp.h"

#include <algorithm>

#include "host/comp_calls.h"
#include "host/item_calls.h"
#include "host/layer_calls.h"
#include "host/suite_hold.h"
#include "raster/layer_stream.h"

namespace vel {

Result<CompModel> introspect_comp(PluginId plugin_id, ItemH item) {
  auto items = SuiteHold::acquire(HostSuite::Item);
  if (!items) return err("suite Item: " + to_string(items.error()));
  auto comps = SuiteHold::acquire(HostSuite::Comp);
  if (!comps) return err("suite Comp: " + to_string(comps.error()));
  auto layers = SuiteHold::acquire(HostSuite::Layer);
  if (!layers) return err("suite Layer: " + to_string(layers.error()));

  if (!item) return err("l'item n'est pas une comp (ou type inconnu)");
  auto type = item_type(item);
  if (!type || type.value() != ItemType::Comp) return err("l'item n'est pas une comp (ou type inconnu)");
  auto comp_or_none = comp_from_item(item);
  if (!comp_or_none) return err("comp_from_item: " + to_string(comp_or_none.error()));
  if (!comp_or_none.value()) return err("comp_from_item: None");
  const CompH comp = *comp_or_none.value();

  CompModel model;
  model.unsupported = {"markers", "motion_blur_settings"};
  if (auto name = item_name(item, plugin_id)) {
    model.name = std::move(name).value();
  } else {
    model.name = "<item_name: " + to_string(name.error()) + ">";
  }
  auto dims = item_dimensions(item);
  if (!dims) return err("item_dimensions: " + to_string(dims.error()));
  auto duration = item_duration(item);
  if (!duration) return err("item_duration: " + to_string(duration.error()));
  auto fps = comp_framerate(comp);
  if (!fps) return err("comp_framerate: " + to_string(fps.error()));
  // A negative side is not a size; the model's sizes are unsigned.
  model.width = static_cast<uint32_t>(std::max(dims->width, 0));
  model.height = static_cast<uint32_t>(std::max(dims->height, 0));
  model.duration = host_seconds(duration.value());
  model.frame_rate = fps.value();

  if (auto bg = comp_bg_color(comp)) {
    model.bg_color = {static_cast<float>(bg->red), static_cast<float>(bg->green), static_cast<float>(bg->blue)};
  } else {
    model.unsupported.push_back(field_error("bg_color: " + to_string(bg.error())));
  }

  auto count = comp_num_layers(comp);
  if (!count) return err("comp_num_layers: " + to_string(count.error()));
  // The host never reports a negative count; one would simply read no layer.
  for (int32_t i = 0; i < count.value(); ++i) {
    auto layer = comp_layer_by_index(comp, i);
    if (!layer) {
      model.unsupported.push_back(field_error("layer[" + std::to_string(i) + "]: " + to_string(layer.error())));
      continue;
    }
    model.layers.push_back(introspect_layer(plugin_id, layer.value(), static_cast<uint32_t>(i)));
  }

  auto any_layer = [&](auto pred) {
    return std::any_of(model.layers.begin(), model.layers.end(), [&](const LayerModel& l) {
      return std::any_of(l.unsupported.begin(), l.unsupported.end(), pred);
    });
  };
  if (any_layer([](const std::string& s) { return s == "solo"; })) model.unsupported.push_back("solo_visibility");
  if (any_layer([](const std::string& s) { return s.rfind("field_error(flags:", 0) == 0; })) {
    model.unsupported.push_back("unknown_layer_visibility");
  }
  return model;
}

}  // namespace vel
