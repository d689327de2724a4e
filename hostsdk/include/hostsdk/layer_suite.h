/* "AEGP Layer Suite" 13 and 15: layers of a composition. Version 15 has
 * every call of 13 in the same places, then the object type. */
#ifndef HOSTSDK_LAYER_SUITE_H
#define HOSTSDK_LAYER_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPLayerSuite "AEGP Layer Suite"
#define kAEGPLayerSuiteVersion13 13
#define kAEGPLayerSuiteVersion15 15

/* The 22 defined layer switches; the host may set no other bit. */
typedef A_long AEGP_LayerFlags;
#define AEGP_LayerFlag_VIDEO_ACTIVE 0x00000001
#define AEGP_LayerFlag_AUDIO_ACTIVE 0x00000002
#define AEGP_LayerFlag_EFFECTS_ACTIVE 0x00000004
#define AEGP_LayerFlag_MOTION_BLUR 0x00000008
#define AEGP_LayerFlag_FRAME_BLENDING 0x00000010
#define AEGP_LayerFlag_LOCKED 0x00000020
#define AEGP_LayerFlag_SHY 0x00000040
#define AEGP_LayerFlag_COLLAPSE 0x00000080
#define AEGP_LayerFlag_AUTO_ORIENT_ROTATION 0x00000100
#define AEGP_LayerFlag_ADJUSTMENT_LAYER 0x00000200
#define AEGP_LayerFlag_TIME_REMAPPING 0x00000400
#define AEGP_LayerFlag_LAYER_IS_3D 0x00000800
#define AEGP_LayerFlag_LOOK_AT_CAMERA 0x00001000
#define AEGP_LayerFlag_LOOK_AT_POI 0x00002000
#define AEGP_LayerFlag_SOLO 0x00004000
#define AEGP_LayerFlag_MARKERS_LOCKED 0x00008000
#define AEGP_LayerFlag_NULL_LAYER 0x00010000
#define AEGP_LayerFlag_HIDE_LOCKED_MASKS 0x00020000
#define AEGP_LayerFlag_GUIDE_LAYER 0x00040000
#define AEGP_LayerFlag_ADVANCED_FRAME_BLENDING 0x00080000
#define AEGP_LayerFlag_SUBLAYERS_RENDER_SEPARATELY 0x00100000
#define AEGP_LayerFlag_ENVIRONMENT_LAYER 0x00200000

/* How a layer composites: its transfer mode number (0..38 known), flags
 * (non-zero changes how alpha is kept) and the track matte it uses
 * (0 none, 1 alpha, 2 alpha inverted, 3 luma, 4 luma inverted). */
typedef A_long AEGP_TransferFlags;
typedef A_long AEGP_TrackMatte;
#define AEGP_TrackMatte_NO_TRACK_MATTE 0
#define AEGP_TrackMatte_ALPHA 1
#define AEGP_TrackMatte_NOT_ALPHA 2
#define AEGP_TrackMatte_LUMA 3
#define AEGP_TrackMatte_NOT_LUMA 4
typedef struct AEGP_LayerTransferMode {
  A_long mode;
  AEGP_TransferFlags flags;
  AEGP_TrackMatte track_matte;
} AEGP_LayerTransferMode;

typedef A_long AEGP_ObjectType;
#define AEGP_ObjectType_NONE (-1)
#define AEGP_ObjectType_AV 0
#define AEGP_ObjectType_LIGHT 1
#define AEGP_ObjectType_CAMERA 2
#define AEGP_ObjectType_TEXT 3
#define AEGP_ObjectType_VECTOR 4
#define AEGP_ObjectType_3D_MODEL 5

#define AEGP_LAYER_SUITE_13_CALLS                                                             \
  /* Number of layers, top to bottom. */                                                      \
  A_Err (*GetCompNumLayers)(AEGP_CompH comp, A_long* num_layers);                             \
  /* Layer at 0-based `index` from the top; an index past the count is an error. */          \
  A_Err (*GetCompLayerByIndex)(AEGP_CompH comp, A_long index, AEGP_LayerH* layer);            \
  A_Err (*GetLayerFlags)(AEGP_LayerH layer, AEGP_LayerFlags* flags);                          \
  /* The item the layer shows; null for layers without a source (text, camera, light). */    \
  A_Err (*GetLayerSourceItem)(AEGP_LayerH layer, AEGP_ItemH* source_item);                  \
  /* Two new memory handles of NUL-terminated UTF-16: the layer's own name (empty when     \
   * it has none) and its source's name; the caller frees both. Either out-pointer may   \
   * be null. */                                                                          \
  A_Err (*GetLayerName)(AEGP_PluginID plugin_id, AEGP_LayerH layer, AEGP_MemHandle* layer_name, \
                        AEGP_MemHandle* source_name);                                     \
  /* The layer's parent; null when it has none. */                                        \
  A_Err (*GetLayerParent)(AEGP_LayerH layer, AEGP_LayerH* parent);                          \
  A_Err (*GetLayerInPoint)(AEGP_LayerH layer, A_long time_mode, A_Time* in_point);          \
  A_Err (*GetLayerDuration)(AEGP_LayerH layer, A_long time_mode, A_Time* duration);         \
  /* Where the layer's time 0 sits in the composition. */                                 \
  A_Err (*GetLayerOffset)(AEGP_LayerH layer, A_Time* offset);                               \
  A_Err (*GetLayerTransferMode)(AEGP_LayerH layer, AEGP_LayerTransferMode* mode);

typedef struct AEGP_LayerSuite13 {
  AEGP_LAYER_SUITE_13_CALLS
} AEGP_LayerSuite13;

typedef struct AEGP_LayerSuite15 {
  AEGP_LAYER_SUITE_13_CALLS
  A_Err (*GetLayerObjectType)(AEGP_LayerH layer, AEGP_ObjectType* type);
} AEGP_LayerSuite15;

#undef AEGP_LAYER_SUITE_13_CALLS

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_LAYER_SUITE_H */
