// The host's opaque handles and plain values as the rest of the plug-in
// holds them, without bringing in the host's declarations. The handle types
// are the host's own (same incomplete struct tags), checked in
// handles_check.cpp.
#pragma once

#include <cstdint>

struct _AEGP_Project;
struct _AEGP_Item;
struct _AEGP_Comp;
struct _AEGP_Layer;
struct _AEGP_Footage;
struct _AEGP_World;
struct _AEGP_Panel;
struct _AEGP_MemHandle;
struct _AEGP_EffectRef;
struct _AEGP_StreamRef;
struct AEGP_PanelFunctions1;

namespace vel {

using PluginId = int32_t;
using ProjectH = ::_AEGP_Project*;
using ItemH = ::_AEGP_Item*;
using CompH = ::_AEGP_Comp*;
using LayerH = ::_AEGP_Layer*;
using FootageH = ::_AEGP_Footage*;
using WorldH = ::_AEGP_World*;
using PanelH = ::_AEGP_Panel*;
using MemHandle = ::_AEGP_MemHandle*;
using EffectRefH = ::_AEGP_EffectRef*;
using StreamRefH = ::_AEGP_StreamRef*;
using CommandId = int32_t;

// The host's time: value / scale seconds.
struct HostTime {
  int32_t value = 0;
  uint32_t scale = 0;
  friend bool operator==(const HostTime&, const HostTime&) = default;
};

enum class ItemType : int32_t { None = 0, Folder = 1, Comp = 2, SolidDefunct = 3, Footage = 4 };

struct Dimensions {
  int32_t width = 0;
  int32_t height = 0;
  friend bool operator==(const Dimensions&, const Dimensions&) = default;
};

// Straight colour, 0..1 per channel, in the host's order.
struct ColorArgb {
  double alpha = 0, red = 0, green = 0, blue = 0;
  friend bool operator==(const ColorArgb&, const ColorArgb&) = default;
};

}  // namespace vel
