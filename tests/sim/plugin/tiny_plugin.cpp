// A tiny general plug-in for the stand-in host's end-to-end tests. It
// registers an idle hook and a few commands and writes what it saw to the
// file named by TINY_OUT when the host calls its death hook.
//   TINY_MAX_SLEEP  max-sleep it asks for, in ms (default 15)
//   TINY_WAKER_MS   when set, a thread asks for early idle calls this often
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "hostsdk/command_suite.h"
#include "hostsdk/entry.h"
#include "hostsdk/item_suite.h"
#include "hostsdk/register_suite.h"
#include "hostsdk/render.h"
#include "hostsdk/utility_suite.h"

namespace {

SPBasicSuite* g_basic = nullptr;
AEGP_PluginID g_id = 0;
const AEGP_UtilitySuite13* g_utility = nullptr;
AEGP_Command g_ping = 0, g_render = 0, g_disabled = 0;
A_long g_max_sleep = 15;

std::atomic<bool> g_dying{false};
std::atomic<long> g_idle{0}, g_idle_modal{0}, g_ping_calls{0};
std::atomic<long> g_async_done{0}, g_async_cancelled{0}, g_async_with_world{0};
long g_sync_w = -1, g_sync_h = -1, g_sync_rowbytes = -1, g_sync_first_argb = -1;
long g_update_menu = 0;

template <class S>
const S* acquire(const char* name, A_long version) {
  const void* s = nullptr;
  if (g_basic->AcquireSuite(name, version, &s) != 0) return nullptr;
  return static_cast<const S*>(s);
}

A_Err idle_hook(AEGP_GlobalRefcon, AEGP_IdleRefcon, A_long* max_sleep) {
  ++g_idle;
  if (g_utility) {
    A_Boolean modal = 0;
    g_utility->IsModalWindowShown(&modal);
    if (modal) ++g_idle_modal;
  }
  *max_sleep = g_max_sleep;
  return A_Err_NONE;
}

A_Err async_done(void*, AEGP_AsyncRequestId, A_Boolean cancelled, A_Err, AEGP_WorldH world) {
  if (cancelled) ++g_async_cancelled;
  if (world) ++g_async_with_world;
  ++g_async_done;
  return A_Err_NONE;
}

// Renders the active composition's first frame synchronously, then asks for
// two asynchronous renders and cancels the second at once.
void render_active() {
  auto items = acquire<AEGP_ItemSuite14>(kAEGPItemSuite, kAEGPItemSuiteVersion14);
  auto opts = acquire<AEGP_RenderOptionsSuite4>(kAEGPRenderOptionsSuite, kAEGPRenderOptionsSuiteVersion4);
  auto render = acquire<AEGP_RenderSuite8>(kAEGPRenderSuite, kAEGPRenderSuiteVersion8);
  auto worlds = acquire<AEGP_WorldSuite3>(kAEGPWorldSuite, kAEGPWorldSuiteVersion3);
  auto async = acquire<AEGP_RenderAsyncManagerSuite1>(kAEGPRenderAsyncManagerSuite,
                                                      kAEGPRenderAsyncManagerSuiteVersion1);
  AEGP_ItemH item = nullptr;
  AEGP_RenderOptionsH o = nullptr;
  if (items && opts && render && worlds && async && items->GetActiveItem(&item) == 0 && item &&
      opts->AEGP_NewFromItem(g_id, item, &o) == 0) {
    opts->AEGP_SetDownsampleFactor(o, 2, 2);
    AEGP_FrameReceiptH receipt = nullptr;
    if (render->AEGP_RenderAndCheckoutFrame(o, &receipt) == 0) {
      AEGP_WorldH w = nullptr;
      render->AEGP_GetReceiptWorld(receipt, &w);
      A_long width = 0, height = 0;
      A_u_long rb = 0;
      void* base = nullptr;
      worlds->AEGP_GetSize(w, &width, &height);
      worlds->AEGP_GetRowBytes(w, &rb);
      worlds->AEGP_GetBaseAddr(w, &base);
      g_sync_w = width;
      g_sync_h = height;
      g_sync_rowbytes = static_cast<long>(rb);
      const unsigned char* p = static_cast<const unsigned char*>(base);
      g_sync_first_argb = (long(p[0]) << 24) | (long(p[1]) << 16) | (long(p[2]) << 8) | long(p[3]);
      render->AEGP_CheckinFrame(receipt);
    }
    AEGP_AsyncRequestId a = 0, b = 0;
    async->AEGP_SubmitFrameRequest(g_id, o, async_done, nullptr, &a);
    async->AEGP_SubmitFrameRequest(g_id, o, async_done, nullptr, &b);
    async->AEGP_CancelRequest(b);
    opts->AEGP_Dispose(o);
  }
  if (items) g_basic->ReleaseSuite(kAEGPItemSuite, kAEGPItemSuiteVersion14);
  if (opts) g_basic->ReleaseSuite(kAEGPRenderOptionsSuite, kAEGPRenderOptionsSuiteVersion4);
  if (render) g_basic->ReleaseSuite(kAEGPRenderSuite, kAEGPRenderSuiteVersion8);
  if (worlds) g_basic->ReleaseSuite(kAEGPWorldSuite, kAEGPWorldSuiteVersion3);
  if (async) g_basic->ReleaseSuite(kAEGPRenderAsyncManagerSuite, kAEGPRenderAsyncManagerSuiteVersion1);
}

A_Err command_hook(AEGP_GlobalRefcon, AEGP_CommandRefcon, AEGP_Command command, AEGP_HookPriority, A_Boolean,
                   A_Boolean* handled) {
  if (command == g_ping) {
    ++g_ping_calls;
    *handled = 1;
  } else if (command == g_render) {
    render_active();
    *handled = 1;
  }
  return A_Err_NONE;
}

A_Err update_menu_hook(AEGP_GlobalRefcon, AEGP_UpdateMenuRefcon, AEGP_WindowType) {
  ++g_update_menu;
  auto cmd = acquire<AEGP_CommandSuite1>(kAEGPCommandSuite, kAEGPCommandSuiteVersion1);
  if (cmd) {
    cmd->DisableCommand(g_disabled);
    g_basic->ReleaseSuite(kAEGPCommandSuite, kAEGPCommandSuiteVersion1);
  }
  return A_Err_NONE;
}

A_Err death_hook(AEGP_GlobalRefcon, AEGP_DeathRefcon) {
  g_dying = true;
  if (g_utility) g_basic->ReleaseSuite(kAEGPUtilitySuite, kAEGPUtilitySuiteVersion13);
  // Asynchronous completions may still be on their way; give them a moment.
  for (int i = 0; i < 200 && g_async_done.load() < 2 && g_sync_w >= 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (const char* out = std::getenv("TINY_OUT")) {
    if (FILE* f = std::fopen(out, "w")) {
      std::fprintf(f,
                   "{\"idle\": %ld, \"idle_modal\": %ld, \"ping\": %ld, \"update_menu\": %ld, \"utility\": %s, "
                   "\"sync_w\": %ld, \"sync_h\": %ld, \"sync_rowbytes\": %ld, \"sync_first_argb\": %ld, "
                   "\"async_done\": %ld, \"async_cancelled\": %ld, \"async_with_world\": %ld}\n",
                   g_idle.load(), g_idle_modal.load(), g_ping_calls.load(), g_update_menu,
                   g_utility ? "true" : "false", g_sync_w, g_sync_h, g_sync_rowbytes, g_sync_first_argb,
                   g_async_done.load(), g_async_cancelled.load(), g_async_with_world.load());
      std::fclose(f);
    }
  }
  return A_Err_NONE;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) A_Err EntryPointFunc(SPBasicSuite* basic, A_long, A_long,
                                                                       AEGP_PluginID id,
                                                                       AEGP_GlobalRefcon* refcon) {
  g_basic = basic;
  g_id = id;
  *refcon = nullptr;
  if (const char* s = std::getenv("TINY_MAX_SLEEP")) g_max_sleep = std::atol(s);
  g_utility = acquire<AEGP_UtilitySuite13>(kAEGPUtilitySuite, kAEGPUtilitySuiteVersion13);
  auto reg = acquire<AEGP_RegisterSuite6>(kAEGPRegisterSuite, kAEGPRegisterSuiteVersion6);
  auto cmd = acquire<AEGP_CommandSuite1>(kAEGPCommandSuite, kAEGPCommandSuiteVersion1);
  if (!reg || !cmd) return A_Err_MISSING_SUITE;
  cmd->GetUniqueCommand(&g_ping);
  cmd->GetUniqueCommand(&g_render);
  cmd->GetUniqueCommand(&g_disabled);
  cmd->InsertMenuCommand(g_ping, "tiny: ping", AEGP_Menu_WINDOW, AEGP_MENU_INSERT_SORTED);
  cmd->InsertMenuCommand(g_render, "tiny: render", AEGP_Menu_WINDOW, AEGP_MENU_INSERT_SORTED);
  cmd->InsertMenuCommand(g_disabled, "tiny: disabled", AEGP_Menu_PURGE, AEGP_MENU_INSERT_AT_BOTTOM);
  for (AEGP_Command c : {g_ping, g_render, g_disabled}) reg->RegisterCommandHook(id, AEGP_HP_BeforeAE, c, command_hook, nullptr);
  reg->RegisterIdleHook(id, idle_hook, nullptr);
  reg->RegisterUpdateMenuHook(id, update_menu_hook, nullptr);
  reg->RegisterDeathHook(id, death_hook, nullptr);
  basic->ReleaseSuite(kAEGPRegisterSuite, kAEGPRegisterSuiteVersion6);
  basic->ReleaseSuite(kAEGPCommandSuite, kAEGPCommandSuiteVersion1);

  if (const char* s = std::getenv("TINY_WAKER_MS"); s && g_utility) {
    long period = std::atol(s);
    std::thread([period] {
      while (!g_dying) {
        std::this_thread::sleep_for(std::chrono::milliseconds(period));
        g_utility->CauseIdleRoutinesToBeCalled();
      }
    }).detach();
  }
  return A_Err_NONE;
}
