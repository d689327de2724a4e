#include "host/render_calls.h"

#include <exception>
#include <new>

#include "core/ffi_boundary.h"
#include "core/log.h"
#include "host/suite_access.h"
#include "hostsdk/render.h"

namespace vel {

VEL_DECLARE_SUITE(AEGP_RenderSuite8, kAEGPRenderSuite, kAEGPRenderSuiteVersion8);
VEL_DECLARE_SUITE(AEGP_RenderOptionsSuite4, kAEGPRenderOptionsSuite, kAEGPRenderOptionsSuiteVersion4);
VEL_DECLARE_SUITE(AEGP_WorldSuite3, kAEGPWorldSuite, kAEGPWorldSuiteVersion3);
VEL_DECLARE_SUITE(AEGP_RenderAsyncManagerSuite1, kAEGPRenderAsyncManagerSuite, kAEGPRenderAsyncManagerSuiteVersion1);

namespace {

// The kept tables; a call before keep_render_suites() succeeded is an
// internal error, never an acquisition off the main thread.
template <class S>
Result<const S*, AeError> kept() {
  if (const S* s = kept_suite_slot<S>().load(std::memory_order_acquire)) return s;
  return Err{AeError::internal(std::string("render suites not kept: ") + SuiteTraits<S>::id.struct_name)};
}

#define VEL_KEPT(var, Suite)                                \
  auto var##_k = kept<Suite>();                             \
  if (!var##_k) return ::vel::Err{var##_k.error()};         \
  const Suite* var = var##_k.value()

struct AsyncThunk {
  AsyncCompletionFn fn;
  void* refcon;
};

A_Err async_trampoline(void* refcon, AEGP_AsyncRequestId id, A_Boolean cancelled, A_Err render_err, AEGP_WorldH world) {
  auto* thunk = static_cast<AsyncThunk*>(refcon);
  if (thunk == nullptr) return A_Err_NONE;
  // An entry from the host like any hook: what escapes is logged at the boundary.
  ffi_boundary("async render completion", 0, [&] {
    std::optional<AeError> error;
    if (render_err != A_Err_NONE) error = map_ae_error(render_err);
    std::optional<WorldView> view;
    if (!cancelled && world != nullptr && render_err == A_Err_NONE) {
      auto v = world_view(world);
      if (v) {
        view = v.value();
      } else {
        error = v.error();
      }
    }
    thunk->fn(thunk->refcon, id, cancelled != 0, error, view ? &*view : nullptr);
    return 0;
  });
  delete thunk;
  return A_Err_NONE;
}

}  // namespace

Status<AeError> keep_render_suites() {
  auto r = keep_suite<AEGP_RenderSuite8>();
  auto o = keep_suite<AEGP_RenderOptionsSuite4>();
  auto w = keep_suite<AEGP_WorldSuite3>();
  if (!kept_suite_slot<AEGP_RenderAsyncManagerSuite1>().load(std::memory_order_acquire)) {
    (void)keep_suite<AEGP_RenderAsyncManagerSuite1>();  // optional: the sync path does without
  }
  if (!r) return Err{r.error()};
  if (!o) return Err{o.error()};
  if (!w) return Err{w.error()};
  return ok_unit();
}

bool async_render_manager_available() {
  return kept_suite_slot<AEGP_RenderAsyncManagerSuite1>().load(std::memory_order_acquire) != nullptr;
}

Result<ProjectTimestamp, AeError> current_timestamp() {
  VEL_KEPT(rs, AEGP_RenderSuite8);
  AEGP_TimeStamp stamp{};
  if (auto st = check_ae(rs->AEGP_GetCurrentTimestamp(&stamp)); !st) return Err{st.error()};
  return ProjectTimestamp{stamp.a[0], stamp.a[1], stamp.a[2], stamp.a[3]};
}

Result<WorldView, AeError> world_view(WorldH world) {
  VEL_KEPT(ws, AEGP_WorldSuite3);
  if (world == nullptr) return Err{AeError::internal("render: null world")};
  AEGP_WorldType type = AEGP_WorldType_NONE;
  A_long w = 0, h = 0;
  A_u_long row_bytes = 0;
  void* base = nullptr;
  AEGP_AlphaKind alpha = AEGP_Alpha_STRAIGHT;
  if (auto st = check_ae(ws->AEGP_GetType(world, &type)); !st) return Err{st.error()};
  if (auto st = check_ae(ws->AEGP_GetSize(world, &w, &h)); !st) return Err{st.error()};
  if (auto st = check_ae(ws->AEGP_GetRowBytes(world, &row_bytes)); !st) return Err{st.error()};
  if (auto st = check_ae(ws->AEGP_GetBaseAddr(world, &base)); !st) return Err{st.error()};
  if (auto st = check_ae(ws->AEGP_GetAlphaKind(world, &alpha)); !st) return Err{st.error()};
  WorldView v;
  switch (type) {
    case AEGP_WorldType_8:
      v.bits_per_channel = 8;
      break;
    case AEGP_WorldType_16:
      v.bits_per_channel = 16;
      break;
    case AEGP_WorldType_32:
      v.bits_per_channel = 32;
      break;
    default:
      return Err{AeError::internal("render: unknown world type " + std::to_string(type))};
  }
  if (w < 0 || h < 0) return Err{AeError::internal("render: negative world size")};
  v.base = static_cast<const uint8_t*>(base);
  v.width = static_cast<uint32_t>(w);
  v.height = static_cast<uint32_t>(h);
  v.row_bytes = row_bytes;
  v.premultiplied = alpha == AEGP_Alpha_PREMULTIPLIED;
  return v;
}

Result<RenderOptions, AeError> RenderOptions::for_item(ItemH item, PluginId plugin_id) {
  VEL_KEPT(os, AEGP_RenderOptionsSuite4);
  AEGP_RenderOptionsH h = nullptr;
  if (auto st = check_ae(os->AEGP_NewFromItem(plugin_id, item, &h)); !st) return Err{st.error()};
  if (h == nullptr) return Err{AeError::internal("render: host gave no render options")};
  return RenderOptions(h);
}

RenderOptions& RenderOptions::operator=(RenderOptions&& o) noexcept {
  if (this != &o) {
    RenderOptions gone(std::move(*this));
    h_ = std::exchange(o.h_, nullptr);
  }
  return *this;
}

RenderOptions::~RenderOptions() {
  if (h_ == nullptr) return;
  if (auto os = kept<AEGP_RenderOptionsSuite4>()) os.value()->AEGP_Dispose(h_);
}

Status<AeError> RenderOptions::set_time(int32_t value, uint32_t scale) {
  VEL_KEPT(os, AEGP_RenderOptionsSuite4);
  if (scale == 0) return Err{AeError(AeErrorKind::Parameter)};
  return check_ae(os->AEGP_SetTime(h_, A_Time{value, scale}));
}

Status<AeError> RenderOptions::set_downsample(uint32_t factor) {
  VEL_KEPT(os, AEGP_RenderOptionsSuite4);
  if (factor < 1 || factor > 16) return Err{AeError(AeErrorKind::Parameter)};
  const auto f = static_cast<A_short>(factor);
  return check_ae(os->AEGP_SetDownsampleFactor(h_, f, f));
}

Status<AeError> RenderOptions::set_depth(uint32_t bits_per_channel) {
  VEL_KEPT(os, AEGP_RenderOptionsSuite4);
  AEGP_WorldType t = bits_per_channel == 8    ? AEGP_WorldType_8
                     : bits_per_channel == 16 ? AEGP_WorldType_16
                     : bits_per_channel == 32 ? AEGP_WorldType_32
                                              : AEGP_WorldType_NONE;
  if (t == AEGP_WorldType_NONE) return Err{AeError(AeErrorKind::Parameter)};
  return check_ae(os->AEGP_SetWorldType(h_, t));
}

CheckedOutFrame& CheckedOutFrame::operator=(CheckedOutFrame&& o) noexcept {
  if (this != &o) {
    CheckedOutFrame gone(std::move(*this));
    r_ = std::exchange(o.r_, nullptr);
  }
  return *this;
}

CheckedOutFrame::~CheckedOutFrame() {
  if (r_ == nullptr) return;
  if (auto rs = kept<AEGP_RenderSuite8>()) {
    if (A_Err e = rs.value()->AEGP_CheckinFrame(r_); e != A_Err_NONE) {
      log_line("ERROR", "render: checkin failed: " + to_string(map_ae_error(e)));
    }
  }
}

Result<WorldView, AeError> CheckedOutFrame::world() const {
  VEL_KEPT(rs, AEGP_RenderSuite8);
  AEGP_WorldH w = nullptr;
  if (auto st = check_ae(rs->AEGP_GetReceiptWorld(r_, &w)); !st) return Err{st.error()};
  return world_view(w);
}

Result<CheckedOutFrame, AeError> render_and_checkout_frame(const RenderOptions& options) {
  VEL_KEPT(rs, AEGP_RenderSuite8);
  AEGP_FrameReceiptH r = nullptr;
  if (auto st = check_ae(rs->AEGP_RenderAndCheckoutFrame(options.handle(), &r)); !st) return Err{st.error()};
  if (r == nullptr) return Err{AeError::internal("render: host gave no frame receipt")};
  return CheckedOutFrame(r);
}

Result<uint64_t, AeError> submit_async_render(PluginId plugin_id, const RenderOptions& options, AsyncCompletionFn fn,
                                              void* refcon) {
  VEL_KEPT(am, AEGP_RenderAsyncManagerSuite1);
  auto* thunk = new (std::nothrow) AsyncThunk{fn, refcon};
  if (thunk == nullptr) return Err{AeError(AeErrorKind::OutOfMemory)};
  AEGP_AsyncRequestId id = 0;
  A_Err e = am->AEGP_SubmitFrameRequest(plugin_id, options.handle(), &async_trampoline, thunk, &id);
  if (e != A_Err_NONE) {
    delete thunk;  // the host will never call back for a refused request
    return Err{map_ae_error(e)};
  }
  return static_cast<uint64_t>(id);
}

Status<AeError> cancel_async_render(uint64_t request_id) {
  VEL_KEPT(am, AEGP_RenderAsyncManagerSuite1);
  return check_ae(am->AEGP_CancelRequest(request_id));
}

}  // namespace vel
