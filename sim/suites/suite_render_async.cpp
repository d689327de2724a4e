#include "hostsdk/render.h"
#include "simhost/host.h"
#include "suites/suites.h"

namespace sim {
namespace {

A_Err SubmitFrameRequest(AEGP_PluginID plugin, AEGP_RenderOptionsH options, AEGP_AsyncFrameReadyCallback callback,
                         void* refcon, AEGP_AsyncRequestId* request_id) {
  if (!request_id) return A_Err_PARAMETER;
  *request_id = 0;
  Host& h = host();
  if (plugin != kPluginId || !callback) return A_Err_PARAMETER;
  if (!on_main_thread()) return A_Err_WRONG_THREAD;
  RenderOptionsRec* rec = h.render_options.find(options);
  if (!rec) return A_Err_PARAMETER;
  AEGP_AsyncRequestId id = h.async.submit(*rec, callback, refcon);
  if (id == 0) return A_Err_GENERIC;
  *request_id = id;
  return A_Err_NONE;
}

A_Err CancelRequest(AEGP_AsyncRequestId id) {
  if (!on_main_thread()) return A_Err_WRONG_THREAD;
  host().async.cancel(id);
  return A_Err_NONE;
}

const AEGP_RenderAsyncManagerSuite1 kSuite = {SubmitFrameRequest, CancelRequest};

}  // namespace

void publish_render_async_suite(SuiteRegistry& r) {
  r.publish(kAEGPRenderAsyncManagerSuite, kAEGPRenderAsyncManagerSuiteVersion1, &kSuite);
}

}  // namespace sim
