// The stand-in host's process-wide state, reached by the suite functions
// (plain C entries without a context argument). Built once, never destroyed:
// the plug-in's threads may call into the host until the process ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hostsdk/basic_suite.h"
#include "project/project_store.h"
#include "render/async_renderer.h"
#include "render/render_service.h"
#include "scenario/idle_waker.h"
#include "script/script_host.h"
#include "simhost/call_faults.h"
#include "simhost/hook_table.h"
#include "suites/handles.h"
#include "suites/live_set.h"
#include "suites/ref_ledger.h"
#include "suites/suite_registry.h"
#include "ui/panel_host.h"

namespace sim {

// A block of host memory handed out by the Memory suite.
struct MemBlock {
  std::vector<uint8_t> bytes;
  std::atomic<int32_t> locks{0};
};

// An output the host made for its Output Module Templates dialog, while a
// user makes a template: the options handle the module installed on it.
struct OutSpecRec {
  void* options = nullptr;
};

// A checked-out synchronous render: owns its world until checked in.
struct Receipt {
  std::unique_ptr<World> world;
};

struct SyncRenderCounts {
  std::atomic<uint64_t> completed{0};
  std::atomic<uint64_t> failed{0};
};

// What a stream reference names: one of a layer's own streams (0..4), the
// layer's root property group, or one child of that group.
struct StreamRec {
  enum class Kind : uint8_t { layer_stream, root_group, child_group };
  LayerAddress layer;
  Kind kind = Kind::layer_stream;
  int32_t index = 0;  // stream number, or child position
};

struct EffectRec {
  LayerAddress layer;
  int32_t index = 0;
};

// Copies saved through the Project suite, for the summary.
struct SaveRecord {
  std::string path;
  uint64_t size = 0;
};
struct SaveLog {
  void add(SaveRecord r) {
    std::lock_guard lock(mu);
    records.push_back(std::move(r));
  }
  std::vector<SaveRecord> all() const {
    std::lock_guard lock(mu);
    return records;
  }
  mutable std::mutex mu;
  std::vector<SaveRecord> records;
};

struct Host {
  ProjectStore project;
  SuiteRegistry suites;
  IdleWaker idle;
  HookTable hooks;
  PanelHost panels;
  LiveSet<MemBlock> memory;
  LiveSet<OutSpecRec> out_specs;
  std::atomic<uint64_t> bad_mem_frees{0};
  RefLedger<StreamRec> streams;
  RefLedger<EffectRec> effects;
  // Stream values handed out, by the stream they came from; disposing one
  // releases one of its stream's.
  RefLedger<uint64_t> stream_values;
  CallFaults faults;
  LiveSet<RenderOptionsRec> render_options;
  LiveSet<Receipt> receipts;
  LentSet worlds;
  AsyncRenderer async{project, worlds};
  SyncRenderCounts sync_renders;
  ScriptHost scripts;
  SaveLog saves;
  std::atomic<bool> modal{false};
  std::atomic<uint64_t> info_reports{0};
  std::atomic<uint64_t> wrong_thread_calls{0};
  std::thread::id main_thread;
  SPBasicSuite basic{};
};

inline constexpr AEGP_PluginID kPluginId = 1;

Host& host();

// True on the thread that runs the hooks; a main-thread-only call from
// elsewhere is counted.
bool on_main_thread();

// Publishes every suite the stand-in implements and fills the basic suite.
void install_suites(Host& h);

}  // namespace sim
