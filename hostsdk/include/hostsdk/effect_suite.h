/* "AEGP Effect Suite" 4: effects applied to layers. */
#ifndef HOSTSDK_EFFECT_SUITE_H
#define HOSTSDK_EFFECT_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPEffectSuite "AEGP Effect Suite"
#define kAEGPEffectSuiteVersion4 4

/* Size of a match-name buffer, terminating zero included. */
#define AEGP_MAX_EFFECT_MATCH_NAME_SIZE 48

typedef A_long AEGP_EffectFlags;
#define AEGP_EffectFlags_ACTIVE 0x1

typedef struct AEGP_EffectSuite4 {
  A_Err (*GetLayerNumEffects)(AEGP_LayerH layer, A_long* num_effects);
  /* A new effect reference; the caller disposes it with DisposeEffect. */
  A_Err (*GetLayerEffectByIndex)(AEGP_PluginID plugin_id, AEGP_LayerH layer, A_long index, AEGP_EffectRefH* effect);
  A_Err (*GetInstalledKeyFromLayerEffect)(AEGP_EffectRefH effect, AEGP_InstalledEffectKey* key);
  A_Err (*GetEffectFlags)(AEGP_EffectRefH effect, AEGP_EffectFlags* flags);
  A_Err (*DisposeEffect)(AEGP_EffectRefH effect);
  /* Writes the NUL-terminated match name into a buffer of
   * AEGP_MAX_EFFECT_MATCH_NAME_SIZE bytes; never writes past it. */
  A_Err (*GetEffectMatchName)(AEGP_InstalledEffectKey key, A_char* match_name);
} AEGP_EffectSuite4;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_EFFECT_SUITE_H */
