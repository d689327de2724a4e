#include "host/effect_calls.h"

#include <cstring>

#include "host/suite_access.h"
#include "host/utf_text.h"

namespace vel {

Result<int32_t, AeError> layer_num_effects(LayerH layer) {
  VEL_TRY_SUITE(effects, AEGP_EffectSuite4);
  A_long n = 0;
  if (auto st = check_ae(effects->GetLayerNumEffects(layer, &n)); !st) return Err{st.error()};
  return n;
}

Result<EffectRefH, AeError> layer_effect_by_index(PluginId plugin_id, LayerH layer, int32_t index) {
  VEL_TRY_SUITE(effects, AEGP_EffectSuite4);
  AEGP_EffectRefH ref = nullptr;
  if (auto st = check_ae(effects->GetLayerEffectByIndex(plugin_id, layer, index, &ref)); !st) {
    // A reference handed out beside an error is still ours to give back.
    if (ref) effects->DisposeEffect(ref);
    return Err{st.error()};
  }
  if (!ref) return Err{AeError::internal("GetLayerEffectByIndex: null effect")};
  return ref;
}

Status<AeError> dispose_effect(EffectRefH effect) {
  VEL_TRY_SUITE(effects, AEGP_EffectSuite4);
  return check_ae(effects->DisposeEffect(effect));
}

Result<int32_t, AeError> effect_installed_key(EffectRefH effect) {
  VEL_TRY_SUITE(effects, AEGP_EffectSuite4);
  AEGP_InstalledEffectKey key = 0;
  if (auto st = check_ae(effects->GetInstalledKeyFromLayerEffect(effect, &key)); !st) return Err{st.error()};
  return key;
}

Result<int32_t, AeError> effect_flags(EffectRefH effect) {
  VEL_TRY_SUITE(effects, AEGP_EffectSuite4);
  AEGP_EffectFlags flags = 0;
  if (auto st = check_ae(effects->GetEffectFlags(effect, &flags)); !st) return Err{st.error()};
  return flags;
}

Result<std::string, AeError> effect_match_name(int32_t installed_key) {
  VEL_TRY_SUITE(effects, AEGP_EffectSuite4);
  char buf[AEGP_MAX_EFFECT_MATCH_NAME_SIZE] = {};
  if (auto st = check_ae(effects->GetEffectMatchName(installed_key, buf)); !st) return Err{st.error()};
  const void* nul = std::memchr(buf, 0, sizeof buf);
  if (!nul) return Err{AeError(AeErrorKind::InvalidParms)};
  return utf8_lossy(std::string_view(buf, static_cast<size_t>(static_cast<const char*>(nul) - buf)));
}

}  // namespace vel
