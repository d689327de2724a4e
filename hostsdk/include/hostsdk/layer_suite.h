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

typedef A_long AEGP_LayerFlags;
#define AEGP_LayerFlag_VIDEO_ACTIVE 0x00000001
#define AEGP_LayerFlag_ADJUSTMENT_LAYER 0x00000200
#define AEGP_LayerFlag_TIME_REMAPPING 0x00000400
#define AEGP_LayerFlag_LAYER_IS_3D 0x00000800
#define AEGP_LayerFlag_NULL_LAYER 0x00010000

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
  A_Err (*GetLayerSourceItem)(AEGP_LayerH layer, AEGP_ItemH* source_item);

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
