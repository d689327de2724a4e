#include <cstring>
#include <mutex>

#include "hostsdk/effect_suite.h"
#include "suites/layer_ref.h"
#include "suites/suites.h"

namespace sim {
namespace {

AEGP_EffectRefH effect_handle(uint64_t id) { return make_handle<AEGP_EffectRefH>(HandleTag::effect, static_cast<uint32_t>(id)); }

// Installed effects, keyed from 1 in the order they are first asked about.
class InstalledEffects {
 public:
  AEGP_InstalledEffectKey key_of(const std::string& match_name) {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = 0; i < names_.size(); ++i) {
      if (names_[i] == match_name) return static_cast<AEGP_InstalledEffectKey>(i + 1);
    }
    names_.push_back(match_name);
    return static_cast<AEGP_InstalledEffectKey>(names_.size());
  }
  bool name_of(AEGP_InstalledEffectKey key, std::string& out) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (key < 1 || static_cast<size_t>(key) > names_.size()) return false;
    out = names_[static_cast<size_t>(key) - 1];
    return true;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> names_;
};

InstalledEffects& installed() {
  static InstalledEffects& e = *new InstalledEffects;
  return e;
}

// The effect behind a live reference, while its layer still has it.
const Effect* resolve_effect(AEGP_EffectRefH handle, LayerRef& ref) {
  auto id = handle_id(handle, HandleTag::effect);
  if (!id) return nullptr;
  auto rec = host().effects.find(*id);
  if (!rec) return nullptr;
  ref = resolve_layer_at(rec->layer);
  if (!ref.layer || static_cast<size_t>(rec->index) >= ref.layer->effects.size()) return nullptr;
  return &ref.layer->effects[static_cast<size_t>(rec->index)];
}

A_Err GetLayerNumEffects(AEGP_LayerH layer, A_long* num) {
  SIM_FAULT_POINT();
  if (!num) return A_Err_PARAMETER;
  LayerRef ref = resolve_layer(layer);
  if (!ref.layer) return A_Err_PARAMETER;
  *num = static_cast<A_long>(ref.layer->effects.size());
  return A_Err_NONE;
}

A_Err GetLayerEffectByIndex(AEGP_PluginID, AEGP_LayerH layer, A_long index, AEGP_EffectRefH* effect) {
  SIM_FAULT_POINT();
  if (!effect) return A_Err_PARAMETER;
  *effect = nullptr;
  LayerRef ref = resolve_layer(layer);
  if (!ref.layer || index < 0 || static_cast<size_t>(index) >= ref.layer->effects.size()) return A_Err_PARAMETER;
  *effect = effect_handle(host().effects.issue(EffectRec{ref.address, index}));
  return A_Err_NONE;
}

A_Err GetInstalledKeyFromLayerEffect(AEGP_EffectRefH effect, AEGP_InstalledEffectKey* key) {
  SIM_FAULT_POINT();
  if (!key) return A_Err_PARAMETER;
  LayerRef ref;
  const Effect* e = resolve_effect(effect, ref);
  if (!e) return A_Err_PARAMETER;
  *key = installed().key_of(e->match_name);
  return A_Err_NONE;
}

A_Err GetEffectFlags(AEGP_EffectRefH effect, AEGP_EffectFlags* flags) {
  SIM_FAULT_POINT();
  if (!flags) return A_Err_PARAMETER;
  LayerRef ref;
  const Effect* e = resolve_effect(effect, ref);
  if (!e) return A_Err_PARAMETER;
  *flags = e->active ? AEGP_EffectFlags_ACTIVE : 0;
  return A_Err_NONE;
}

A_Err DisposeEffect(AEGP_EffectRefH effect) {
  SIM_FAULT_POINT();
  auto id = handle_id(effect, HandleTag::effect);
  if (!id) return A_Err_PARAMETER;
  return host().effects.release(*id) ? A_Err_NONE : A_Err_PARAMETER;
}

// Never writes past the buffer; a name too long for it is cut, keeping its zero.
A_Err GetEffectMatchName(AEGP_InstalledEffectKey key, A_char* match_name) {
  SIM_FAULT_POINT();
  if (!match_name) return A_Err_PARAMETER;
  std::string name;
  if (!installed().name_of(key, name)) return A_Err_PARAMETER;
  const size_t n = std::min<size_t>(name.size(), AEGP_MAX_EFFECT_MATCH_NAME_SIZE - 1);
  std::memcpy(match_name, name.data(), n);
  match_name[n] = '\0';
  return A_Err_NONE;
}

const AEGP_EffectSuite4 kSuite = {GetLayerNumEffects, GetLayerEffectByIndex, GetInstalledKeyFromLayerEffect,
                                  GetEffectFlags,     DisposeEffect,         GetEffectMatchName};

}  // namespace

void publish_effect_suite(SuiteRegistry& r) { r.publish(kAEGPEffectSuite, kAEGPEffectSuiteVersion4, &kSuite); }

}  // namespace sim
