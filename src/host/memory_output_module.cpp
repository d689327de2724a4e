#include "host/memory_output_module.h"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "core/ffi_boundary.h"
#include "core/log.h"
#include "core/machine.h"
#include "memout/active_outputs.h"
#include "hostsdk/basic_suite.h"
#include "hostsdk/io.h"
#include "hostsdk/memory_suite.h"
#include "hostsdk/register_suite.h"

namespace vel {

namespace {

constexpr A_long fourcc(const char (&c)[5]) {
  return static_cast<A_long>((static_cast<uint32_t>(static_cast<uint8_t>(c[0])) << 24) |
                             (static_cast<uint32_t>(static_cast<uint8_t>(c[1])) << 16) |
                             (static_cast<uint32_t>(static_cast<uint8_t>(c[2])) << 8) |
                             static_cast<uint32_t>(static_cast<uint8_t>(c[3])));
}

constexpr const char* kModuleName = "Velocinta Memory 8bpc";
constexpr const char* kOptionsName = "Velocinta memory output";

// The suites' tables, copied at registration; the module never calls the
// host through anything else.
struct ModuleState {
  AEGP_IOOutSuite7 io{};
  AEGP_MemorySuite1 memory{};
  PF_WorldSuite2 world{};
  AEGP_RegisterSuite6 reg{};
  AEGP_PluginID plugin_id = 0;
  bool accepted = false;  // RegisterIO answered 0
};

std::mutex& state_mutex() {
  static std::mutex m;
  return m;
}
std::optional<ModuleState>& state_cell() {
  static std::optional<ModuleState>* cell = new std::optional<ModuleState>;
  return *cell;
}
std::optional<ModuleState> module_state() {
  std::lock_guard lk(state_mutex());
  return state_cell();
}

std::string host_error_message(const char* function, A_Err code) {
  return std::string(function) + ": host error " + std::to_string(code);
}

template <class Suite>
bool copy_suite(const SPBasicSuite* basic, const char* name, A_long version, Suite& out) {
  const void* table = nullptr;
  if (basic->AcquireSuite(name, version, &table) != 0) return false;
  if (table != nullptr) std::memcpy(&out, table, sizeof out);
  basic->ReleaseSuite(name, version);
  return table != nullptr;
}

// Temporary host memory: unlocked (when locked) and freed; failures only
// logged, never the callback's result.
void release_temp_mem_handle(const ModuleState& s, AEGP_MemHandle handle, bool locked) {
  if (handle == nullptr) return;
  if (locked && (s.memory.UnlockMemHandle == nullptr || s.memory.UnlockMemHandle(handle) != 0)) {
    log_line("ERROR", "AEIO: could not unlock temporary memory handle");
  }
  if (s.memory.FreeMemHandle == nullptr || s.memory.FreeMemHandle(handle) != 0) {
    log_line("ERROR", "AEIO: could not free temporary memory handle");
  }
}

// The callback boundary: an error text becomes 9990 and one log line, an
// escaping failure 9988.
template <class F>
A_Err run_callback(const char* name, F&& body) noexcept {
  return ffi_boundary(name, kAeioBoundaryFailure, [&]() -> A_Err {
    Status<> done = body();
    if (done) return A_Err_NONE;
    log_line("ERROR", std::string("AEIO ") + name + ": " + done.error());
    return kAeioError;
  });
}

Result<AEGP_MemHandle> make_options_handle(const std::optional<ModuleState>& s) {
  if (!s) return err("AEIO not initialized");
  if (s->memory.NewMemHandle == nullptr) return err("NewMemHandle unavailable");
  if (s->memory.LockMemHandle == nullptr) return err("LockMemHandle unavailable");
  if (s->memory.UnlockMemHandle == nullptr) return err("UnlockMemHandle unavailable");
  AEGP_MemHandle handle = nullptr;
  if (A_Err e = s->memory.NewMemHandle(s->plugin_id, kOptionsName, 8, AEGP_MemFlag_CLEAR, &handle)) {
    return err(host_error_message("NewMemHandle", e));
  }
  if (handle == nullptr) return err("null output options handle");
  void* bytes = nullptr;
  if (A_Err e = s->memory.LockMemHandle(handle, &bytes)) {
    release_temp_mem_handle(*s, handle, false);
    return err(host_error_message("LockMemHandle", e));
  }
  if (bytes == nullptr) {
    release_temp_mem_handle(*s, handle, true);
    return err("null output options storage");
  }
  std::memcpy(bytes, "VNM1\0\0\0\0", 8);
  if (A_Err e = s->memory.UnlockMemHandle(handle)) {
    release_temp_mem_handle(*s, handle, false);
    return err(host_error_message("UnlockMemHandle", e));
  }
  return handle;
}

// Strict UTF-16 to UTF-8: an unpaired surrogate is refused.
std::optional<std::string> strict_utf16_to_utf8(const uint16_t* units, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    uint32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= count || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return std::nullopt;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return std::nullopt;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

Result<std::string> read_output_path(const ModuleState& s, AEIO_OutSpecH outH) {
  if (s.io.GetOutSpecFilePath == nullptr) return err("GetOutSpecFilePath unavailable");
  if (s.memory.GetMemHandleSize == nullptr) return err("GetMemHandleSize unavailable");
  if (s.memory.LockMemHandle == nullptr) return err("LockMemHandle unavailable");
  AEGP_MemHandle handle = nullptr;
  A_Boolean reserved = 0;
  if (A_Err e = s.io.GetOutSpecFilePath(outH, &handle, &reserved)) {
    return err(host_error_message("GetOutSpecFilePath", e));
  }
  if (handle == nullptr) return err("null output path handle");
  bool locked = false;
  Result<std::string> path = [&]() -> Result<std::string> {
    AEGP_MemSize size = 0;
    if (A_Err e = s.memory.GetMemHandleSize(handle, &size)) return err(host_error_message("GetMemHandleSize", e));
    if (size < 2 || size > 65536 || size % 2 != 0) return err("invalid UTF16 output path size");
    void* bytes = nullptr;
    if (A_Err e = s.memory.LockMemHandle(handle, &bytes)) return err(host_error_message("LockMemHandle", e));
    locked = true;
    if (bytes == nullptr || reinterpret_cast<uintptr_t>(bytes) % 2 != 0) {
      return err("invalid UTF16 output path storage");
    }
    const auto* units = static_cast<const uint16_t*>(bytes);
    const size_t count = size / 2;
    size_t len = 0;
    while (len < count && units[len] != 0) ++len;
    if (len == count) return err("unterminated output path");
    std::optional<std::string> text = strict_utf16_to_utf8(units, len);
    if (!text) return err("invalid UTF16 output path");
    return *text;
  }();
  release_temp_mem_handle(s, handle, locked);
  return path;
}

Result<HostOutputFacts> ask_output_facts(const ModuleState& s, AEIO_OutSpecH outH) {
  const AEGP_IOOutSuite7& io = s.io;
  if (io.GetOutSpecDepth == nullptr) return err("GetOutSpecDepth unavailable");
  if (io.GetOutSpecDimensions == nullptr) return err("GetOutSpecDimensions unavailable");
  if (io.GetOutSpecAlphaLabel == nullptr) return err("GetOutSpecAlphaLabel unavailable");
  if (io.GetOutSpecStartFrame == nullptr) return err("GetOutSpecStartFrame unavailable");
  if (io.GetOutSpecFPS == nullptr) return err("GetOutSpecFPS unavailable");
  A_short depth = 0;
  A_long width = 0, height = 0, start = 0;
  AEIO_AlphaLabel label{};
  A_Fixed fps = 0;
  if (A_Err e = io.GetOutSpecDepth(outH, &depth)) return err(host_error_message("GetOutSpecDepth", e));
  if (A_Err e = io.GetOutSpecDimensions(outH, &width, &height)) {
    return err(host_error_message("GetOutSpecDimensions", e));
  }
  if (A_Err e = io.GetOutSpecAlphaLabel(outH, &label)) return err(host_error_message("GetOutSpecAlphaLabel", e));
  if (A_Err e = io.GetOutSpecStartFrame(outH, &start)) return err(host_error_message("GetOutSpecStartFrame", e));
  if (A_Err e = io.GetOutSpecFPS(outH, &fps)) return err(host_error_message("GetOutSpecFPS", e));
  HostOutputFacts f;
  f.depth = depth;
  f.width = width;
  f.height = height;
  f.start_frame = start;
  f.fps_fixed = fps < 0 ? 0 : static_cast<uint64_t>(fps);
  f.alpha_version = static_cast<uint16_t>(label.version);
  f.alpha_flags = static_cast<uint32_t>(label.flags);
  f.alpha = label.alpha == AEIO_Alpha_STRAIGHT  ? OutputAlpha::Straight
            : label.alpha == AEIO_Alpha_PREMUL ? OutputAlpha::Premultiplied
                                               : OutputAlpha::Ignore;
  return f;
}

Status<> open_output(AEIO_OutSpecH outH) {
  const std::optional<ModuleState> s = module_state();
  const std::optional<MemoryModuleFacts> facts = memory_module_facts();
  if (!s || !facts) return err("AEIO not initialized");
  if (outH == nullptr || !facts->engine) return err("memory export requires an owned headless render engine");
  Result<std::string> path = read_output_path(*s, outH);
  if (!path) return err(path.error());
  return open_memory_output(outH, *path, [&] { return ask_output_facts(*s, outH); });
}

Status<> add_frame(AEIO_OutSpecH outH, const HostFrameCall& call, const AEIO_FrameWorld* world,
                   AEIO_InterruptFuncs* interrupt) {
  std::optional<HostFrameWorld> view;
  if (world != nullptr) {
    view = HostFrameWorld{world->width,    world->height,   world->rowbytes, static_cast<const uint8_t*>(world->data),
                          world->origin_x, world->origin_y};
  }
  const auto pixel_format_ok = [&]() -> Status<> {
    const std::optional<ModuleState> s = module_state();
    if (!s || s->world.GetPixelFormat == nullptr) return err("GetPixelFormat unavailable");
    PF_PixelFormat format = 0;
    if (A_Err e = s->world.GetPixelFormat(world, &format)) return err(host_error_message("GetPixelFormat", e));
    if (format != PF_PixelFormat_ARGB32) {
      return err("unsupported output pixel format " + std::to_string(format) + "; require ARGB8");
    }
    return ok_unit();
  };
  CancelCheck cancel;
  if (interrupt != nullptr && interrupt->abort0 != nullptr) {
    cancel = [interrupt] { return interrupt->abort0(interrupt->refcon) != 0; };
  }
  return add_output_frame(outH, call, view ? &*view : nullptr, pixel_format_ok, cancel);
}

// --- the callbacks ---

A_Err InitOutputSpec(AEIO_BasicData*, AEIO_OutSpecH outH, A_Boolean* user_interacted) {
  return run_callback("InitOutputSpec", [&]() -> Status<> {
    if (outH == nullptr || user_interacted == nullptr) return err("null output specification");
    const std::optional<ModuleState> s = module_state();
    if (!s) return err("AEIO not initialized");
    if (s->io.SetOutSpecOptionsHandle == nullptr) return err("SetOutSpecOptionsHandle unavailable");
    Result<AEGP_MemHandle> fresh = make_options_handle(s);
    if (!fresh) return err(fresh.error());
    void* old = nullptr;
    if (A_Err e = s->io.SetOutSpecOptionsHandle(outH, *fresh, &old)) {
      release_temp_mem_handle(*s, *fresh, false);
      return err(host_error_message("SetOutSpecOptionsHandle", e));
    }
    *user_interacted = 0;
    if (old != nullptr) release_temp_mem_handle(*s, static_cast<AEGP_MemHandle>(old), false);
    return ok_unit();
  });
}

A_Err GetFlatOutputOptions(AEIO_BasicData*, AEIO_OutSpecH, AEGP_MemHandle* flat) {
  return run_callback("GetFlatOutputOptions", [&]() -> Status<> {
    if (flat == nullptr) return err("null flat options destination");
    Result<AEGP_MemHandle> fresh = make_options_handle(module_state());
    if (!fresh) return err(fresh.error());
    *flat = *fresh;
    return ok_unit();
  });
}

A_Err DisposeOutputOptions(AEIO_BasicData*, void* options) {
  return ffi_boundary("DisposeOutputOptions", kAeioBoundaryFailure, [&]() -> A_Err {
    const std::optional<ModuleState> s = module_state();
    if (options != nullptr && s) release_temp_mem_handle(*s, static_cast<AEGP_MemHandle>(options), false);
    return A_Err_NONE;
  });
}

A_Err GetOutputInfo(AEIO_BasicData*, AEIO_OutSpecH, AEIO_Verbiage* verbiage) {
  return run_callback("GetOutputInfo", [&]() -> Status<> {
    if (verbiage == nullptr) return err("null output description");
    std::memset(verbiage, 0, sizeof *verbiage);
    std::strncpy(verbiage->name, kModuleName, sizeof verbiage->name - 1);
    std::strncpy(verbiage->type, "Velocinta memory", sizeof verbiage->type - 1);
    std::strncpy(verbiage->sub_type, "Experimental RGBA8; owned render engines only", sizeof verbiage->sub_type - 1);
    return ok_unit();
  });
}

A_Err OutputInfoChanged(AEIO_BasicData*, AEIO_OutSpecH) { return A_Err_NONE; }
A_Err SetOutputFile(AEIO_BasicData*, AEIO_OutSpecH, const A_UTF16Char*) { return kAeioUseDefault; }

A_Err StartAdding(AEIO_BasicData*, AEIO_OutSpecH outH, A_long) {
  return run_callback("StartAdding", [&] { return open_output(outH); });
}

A_Err AddFrame(AEIO_BasicData*, AEIO_OutSpecH outH, A_long frame_index, A_long frames, const AEIO_FrameWorld* world,
               const A_LPoint* origin, A_Boolean was_compressed, AEIO_InterruptFuncs* interrupt) {
  return run_callback("AddFrame", [&] {
    HostFrameCall call;
    call.ordinal = frame_index;
    call.frames = frames;
    call.compressed = was_compressed != 0;
    if (origin != nullptr) call.origin = std::pair<int64_t, int64_t>{origin->x, origin->y};
    return add_frame(outH, call, world, interrupt);
  });
}

A_Err EndAdding(AEIO_BasicData*, AEIO_OutSpecH outH, A_long) {
  return run_callback("EndAdding", [&] { return finish_memory_output(outH); });
}

A_Err OutputFrame(AEIO_BasicData*, AEIO_OutSpecH outH, const AEIO_FrameWorld* world) {
  return run_callback("OutputFrame", [&]() -> Status<> {
    if (Status<> opened = open_output(outH); !opened) return opened;
    Status<> wrote = add_frame(outH, HostFrameCall{}, world, nullptr);
    Status<> finished = finish_memory_output(outH);
    return wrote ? finished : wrote;
  });
}

A_Err WriteLabels(AEIO_BasicData*, AEIO_OutSpecH, AEIO_LabelFlags* written) {
  if (written != nullptr) *written = 0;
  return A_Err_NONE;
}
A_Err GetSizes(AEIO_BasicData*, AEIO_OutSpecH, A_u_longlong*, A_u_longlong*) { return kAeioUseDefault; }

A_Err Flush(AEIO_BasicData*, AEIO_OutSpecH outH) {
  return run_callback("Flush", [&] { return flush_memory_output(outH); });
}

A_Err GetDepths(AEIO_BasicData*, AEIO_OutSpecH, AEIO_SupportedDepthFlags* which) {
  return run_callback("GetDepths", [&]() -> Status<> {
    if (which == nullptr) return err("null supported depth output");
    *which = AEIO_SupportedDepthFlags_DEPTH_32;
    return ok_unit();
  });
}

A_Err GetOutputSuffix(AEIO_BasicData*, AEIO_OutSpecH, A_UTF16Char*) { return kAeioUseDefault; }

const AEIO_FunctionBlock kCallbacks = {
    InitOutputSpec, GetFlatOutputOptions, DisposeOutputOptions, nullptr,  GetOutputInfo, OutputInfoChanged,
    SetOutputFile,  StartAdding,          AddFrame,             EndAdding, OutputFrame,  WriteLabels,
    GetSizes,       Flush,                nullptr,              nullptr,  GetDepths,     GetOutputSuffix,
};

}  // namespace

AEIO_ModuleInfo memory_output_module_info() {
  AEIO_ModuleInfo info{};
  info.sig = fourcc("VnM1");
  std::strncpy(info.name, kModuleName, sizeof info.name - 1);
  info.flags = 0x00010016;
  info.max_width = 30000;
  info.max_height = 30000;
  info.create_kind.type = fourcc("VnM1");
  info.create_kind.creator = fourcc("VnDr");
  info.create_ext.pad = '.';
  info.create_ext.extension[0] = 'v';
  info.create_ext.extension[1] = 'n';
  info.create_ext.extension[2] = 'm';
  return info;
}

const AEIO_FunctionBlock& memory_output_callbacks() { return kCallbacks; }

Status<> register_memory_output(const SPBasicSuite* basic, PluginId plugin_id, bool engine) {
  static_assert(kAeioUseDefault == AEIO_Err_USE_DFLT_CALLBACK);
  const char* const kRejected = "host rejected memory output registration";
  if (std::optional<ModuleState> s = module_state()) return s->accepted ? ok_unit() : Status<>(err(kRejected));
  (void)open_log_file(engine ? LogRole::Worker : LogRole::Host);
  perf_log("AEIO entry: pid=" + std::to_string(getpid()) + " engine=" + (engine ? "true" : "false") +
           " mono_ns=" + std::to_string(mono_ns()));
  if (basic == nullptr || basic->AcquireSuite == nullptr || basic->ReleaseSuite == nullptr) {
    return err("IOOutSuite4 unavailable");
  }
  ModuleState s;
  s.plugin_id = plugin_id;
  if (!copy_suite(basic, kAEGPIOOutSuite, kAEGPIOOutSuiteVersion7, s.io)) return err("IOOutSuite4 unavailable");
  if (!copy_suite(basic, kAEGPMemorySuite, kAEGPMemorySuiteVersion1, s.memory)) {
    return err("MemorySuite1 unavailable");
  }
  if (!copy_suite(basic, kPFWorldSuite, kPFWorldSuiteVersion2, s.world)) return err("PF WorldSuite2 unavailable");
  if (!copy_suite(basic, kAEGPRegisterSuite, kAEGPRegisterSuiteVersion6, s.reg)) {
    return err("RegisterSuite5 unavailable");
  }
  if (s.reg.RegisterIO == nullptr) return err("RegisterIO unavailable");
  const AEGP_MemorySuite1& m = s.memory;
  if (m.NewMemHandle == nullptr || m.FreeMemHandle == nullptr || m.LockMemHandle == nullptr ||
      m.UnlockMemHandle == nullptr || m.GetMemHandleSize == nullptr || s.world.GetPixelFormat == nullptr) {
    return err("required memory output callbacks unavailable");
  }
  {
    std::lock_guard lk(state_mutex());
    if (state_cell()) return err("AEIO registration raced");
    state_cell() = s;
  }
  set_memory_module_facts({engine, std::chrono::steady_clock::now()});
  const AEIO_ModuleInfo info = memory_output_module_info();
  if (s.reg.RegisterIO(plugin_id, nullptr, &info, &kCallbacks) != A_Err_NONE) return err(kRejected);
  std::lock_guard lk(state_mutex());
  if (state_cell()) state_cell()->accepted = true;
  return ok_unit();
}

void forget_memory_output_registration_for_tests() {
  std::lock_guard lk(state_mutex());
  state_cell().reset();
}

}  // namespace vel
