#include "hostsdk/render.h"
#include "simhost/host.h"
#include "suites/suites.h"

namespace sim {
namespace {

// A world may be read only while the host lends it: checked out, or inside
// its asynchronous completion.
const World* find(AEGP_WorldH world) {
  return host().worlds.contains(world) ? reinterpret_cast<const World*>(world) : nullptr;
}

A_Err GetType(AEGP_WorldH world, AEGP_WorldType* type) {
  const World* w = find(world);
  if (!w || !type) return A_Err_PARAMETER;
  *type = w->type;
  return A_Err_NONE;
}

A_Err GetSize(AEGP_WorldH world, A_long* width, A_long* height) {
  const World* w = find(world);
  if (!w || !width || !height) return A_Err_PARAMETER;
  *width = w->width;
  *height = w->height;
  return A_Err_NONE;
}

A_Err GetRowBytes(AEGP_WorldH world, A_u_long* row_bytes) {
  const World* w = find(world);
  if (!w || !row_bytes) return A_Err_PARAMETER;
  *row_bytes = w->row_bytes;
  return A_Err_NONE;
}

A_Err GetBaseAddr(AEGP_WorldH world, void** base) {
  const World* w = find(world);
  if (!w || !base) return A_Err_PARAMETER;
  *base = const_cast<uint8_t*>(w->bytes.data());
  return A_Err_NONE;
}

A_Err GetAlphaKind(AEGP_WorldH world, AEGP_AlphaKind* kind) {
  const World* w = find(world);
  if (!w || !kind) return A_Err_PARAMETER;
  *kind = w->alpha;
  return A_Err_NONE;
}

const AEGP_WorldSuite3 kSuite = {GetType, GetSize, GetRowBytes, GetBaseAddr, GetAlphaKind};

}  // namespace

void publish_world_suite(SuiteRegistry& r) { r.publish(kAEGPWorldSuite, kAEGPWorldSuiteVersion3, &kSuite); }

}  // namespace sim
