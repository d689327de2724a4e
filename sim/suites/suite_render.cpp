#include <cstdio>
#include <unistd.h>

#include "hostsdk/render.h"
#include "simhost/host.h"
#include "suites/suites.h"

namespace sim {
namespace {

A_Err RenderAndCheckoutFrame(AEGP_RenderOptionsH options, AEGP_FrameReceiptH* receipt) {
  SIM_FAULT_POINT();
  if (!receipt) return A_Err_PARAMETER;
  *receipt = nullptr;
  Host& h = host();
  if (!on_main_thread()) return A_Err_WRONG_THREAD;
  RenderOptionsRec* rec = h.render_options.find(options);
  if (!rec) return A_Err_PARAMETER;
  ProjectSnapshot snap = h.project.snapshot();
  RenderOutcome out = render_to_world(*snap, *rec, nullptr);
  if (out.err != A_Err_NONE || !out.world) {
    h.sync_renders.failed.fetch_add(1, std::memory_order_relaxed);
    std::fprintf(stderr, "simhost: render failed: %s\n", out.text.c_str());
    return out.err != A_Err_NONE ? out.err : A_Err_GENERIC;
  }
  auto r = std::make_unique<Receipt>();
  r->world = std::move(out.world);
  h.worlds.lend(r->world.get());
  *receipt = reinterpret_cast<AEGP_FrameReceiptH>(h.receipts.add(std::move(r)));
  h.sync_renders.completed.fetch_add(1, std::memory_order_relaxed);
  return A_Err_NONE;
}

A_Err CheckinFrame(AEGP_FrameReceiptH receipt) {
  Host& h = host();
  std::unique_ptr<Receipt> r = h.receipts.take(receipt);
  if (!r) return A_Err_PARAMETER;
  h.worlds.take_back(r->world.get());
  return A_Err_NONE;
}

A_Err GetReceiptWorld(AEGP_FrameReceiptH receipt, AEGP_WorldH* world) {
  if (!world) return A_Err_PARAMETER;
  *world = nullptr;
  Receipt* r = host().receipts.find(receipt);
  if (!r) return A_Err_PARAMETER;
  *world = reinterpret_cast<AEGP_WorldH>(r->world.get());
  return A_Err_NONE;
}

// Moves with every change of the project; the second pair of words tells
// this run of the host from another.
A_Err GetCurrentTimestamp(AEGP_TimeStamp* stamp) {
  if (!stamp) return A_Err_PARAMETER;
  if (!on_main_thread()) return A_Err_WRONG_THREAD;
  uint64_t n = host().project.change_count();
  static const uint64_t session = static_cast<uint64_t>(::getpid());
  stamp->a[0] = static_cast<A_u_long>(n);
  stamp->a[1] = static_cast<A_u_long>(n >> 32);
  stamp->a[2] = static_cast<A_u_long>(session);
  stamp->a[3] = static_cast<A_u_long>(session >> 32);
  return A_Err_NONE;
}

const AEGP_RenderSuite8 kSuite = {RenderAndCheckoutFrame, CheckinFrame, GetReceiptWorld, GetCurrentTimestamp};

}  // namespace

void publish_render_suite(SuiteRegistry& r) { r.publish(kAEGPRenderSuite, kAEGPRenderSuiteVersion8, &kSuite); }

}  // namespace sim
