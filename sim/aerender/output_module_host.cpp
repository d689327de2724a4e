#include "output_module_host.h"

#include <dlfcn.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "copy_crash.h"
#include "frame_image.h"
#include "hostsdk/entry.h"
#include "hostsdk/io.h"
#include "hostsdk/memory_suite.h"
#include "hostsdk/register_suite.h"
#include "output_faults.h"
#include "render/renderer.h"
#include "segment_cutter.h"
#include "simhost/host.h"
#include "suites/suite_registry.h"
#include "suites/suites.h"
#include "suites/utf16.h"

namespace sim {

namespace {

constexpr AEGP_PluginID kAerenderPluginId = 1;

A_long fourcc(const char* c) {
  return static_cast<A_long>((static_cast<uint32_t>(static_cast<uint8_t>(c[0])) << 24) |
                             (static_cast<uint32_t>(static_cast<uint8_t>(c[1])) << 16) |
                             (static_cast<uint32_t>(static_cast<uint8_t>(c[2])) << 8) |
                             static_cast<uint32_t>(static_cast<uint8_t>(c[3])));
}

struct RegisteredModule {
  AEIO_ModuleInfo info{};
  AEIO_FunctionBlock functions{};
};

// What the IO Out suite answers about the one output of this run.
struct OutSpec {
  std::string output;
  A_long width = 0;
  A_long height = 0;
  A_long start_frame = 0;
  A_Fixed fps = 0;
  void* options = nullptr;
};

struct OutputHost {
  SuiteRegistry suites;
  OutputFaults faults;
  std::vector<RegisteredModule> modules;
  OutSpec spec;
  std::vector<const AEIO_FrameWorld*> worlds;  // handed over and not yet taken back
};
OutputHost& output_host() {
  static OutputHost& h = *new OutputHost;
  return h;
}

std::atomic<bool> terminated{false};
void on_sigterm(int) { terminated.store(true); }

// --- Register suite 6: only RegisterIO serves here ---
A_Err RegisterIO(AEGP_PluginID plugin, AEGP_IORefcon, const AEIO_ModuleInfo* info, const AEIO_FunctionBlock* fns) {
  if (plugin != kAerenderPluginId || info == nullptr || fns == nullptr) return A_Err_PARAMETER;
  if (std::memchr(info->name, 0, sizeof info->name) == nullptr) return A_Err_PARAMETER;
  if ((info->flags & (AEIO_MFlag_OUTPUT | AEIO_MFlag_FILE)) != (AEIO_MFlag_OUTPUT | AEIO_MFlag_FILE)) {
    return A_Err_PARAMETER;
  }
  for (const RegisteredModule& m : output_host().modules) {
    if (m.info.sig == info->sig) return A_Err_PARAMETER;
  }
  if (output_host().faults.refuse_register) return A_Err_GENERIC;
  output_host().modules.push_back({*info, *fns});
  return A_Err_NONE;
}
const AEGP_RegisterSuite6 kRegisterSuite = {
    nullptr, nullptr, nullptr, nullptr, RegisterIO,
};

// --- IO Out suite 7 ---
bool ours(AEIO_OutSpecH outH) { return outH == reinterpret_cast<AEIO_OutSpecH>(&output_host().spec); }

A_Err GetOutSpecFilePath(AEIO_OutSpecH outH, AEGP_MemHandle* path, A_Boolean* reserved) {
  if (!ours(outH) || path == nullptr) return A_Err_PARAMETER;
  if (reserved != nullptr) *reserved = 0;
  const std::u16string units = utf8_to_utf16(output_host().spec.output);
  const AEGP_MemorySuite1* memory = memory_suite_table();
  if (A_Err e = memory->NewMemHandle(kAerenderPluginId, "output path", (units.size() + 1) * 2, AEGP_MemFlag_CLEAR,
                                     path)) {
    return e;
  }
  void* bytes = nullptr;
  if (A_Err e = memory->LockMemHandle(*path, &bytes)) return e;
  std::memcpy(bytes, units.data(), units.size() * 2);  // the zero unit is already there
  return memory->UnlockMemHandle(*path);
}
A_Err GetOutSpecDepth(AEIO_OutSpecH outH, A_short* depth) {
  if (!ours(outH) || depth == nullptr) return A_Err_PARAMETER;
  *depth = output_host().faults.depth64 ? 64 : 32;
  return A_Err_NONE;
}
A_Err GetOutSpecDimensions(AEIO_OutSpecH outH, A_long* w, A_long* h) {
  if (!ours(outH) || w == nullptr || h == nullptr) return A_Err_PARAMETER;
  *w = output_host().spec.width;
  *h = output_host().spec.height;
  return A_Err_NONE;
}
A_Err GetOutSpecAlphaLabel(AEIO_OutSpecH outH, AEIO_AlphaLabel* label) {
  if (!ours(outH) || label == nullptr) return A_Err_PARAMETER;
  *label = AEIO_AlphaLabel{};
  label->version = AEIO_AlphaLabel_VERSION;
  label->alpha = output_host().faults.premultiplied ? AEIO_Alpha_PREMUL : AEIO_Alpha_STRAIGHT;
  return A_Err_NONE;
}
A_Err GetOutSpecStartFrame(AEIO_OutSpecH outH, A_long* start) {
  if (!ours(outH) || start == nullptr) return A_Err_PARAMETER;
  *start = output_host().spec.start_frame;
  return A_Err_NONE;
}
A_Err GetOutSpecFPS(AEIO_OutSpecH outH, A_Fixed* fps) {
  if (!ours(outH) || fps == nullptr) return A_Err_PARAMETER;
  *fps = output_host().spec.fps;
  return A_Err_NONE;
}
A_Err SetOutSpecOptionsHandle(AEIO_OutSpecH outH, void* options, void** old) {
  if (!ours(outH) || old == nullptr) return A_Err_PARAMETER;
  *old = output_host().spec.options;
  output_host().spec.options = options;
  return A_Err_NONE;
}
const AEGP_IOOutSuite7 kIoOutSuite = {GetOutSpecFilePath,   GetOutSpecDepth, GetOutSpecDimensions,   GetOutSpecAlphaLabel,
                                      GetOutSpecStartFrame, GetOutSpecFPS,   SetOutSpecOptionsHandle};

// --- PF World suite 2 ---
A_Err GetPixelFormat(const AEIO_FrameWorld* world, PF_PixelFormat* format) {
  if (world == nullptr || format == nullptr) return A_Err_PARAMETER;
  for (const AEIO_FrameWorld* w : output_host().worlds) {
    if (w == world) {
      *format = output_host().faults.other_pixel_format ? PF_PixelFormat_ARGB64 : PF_PixelFormat_ARGB32;
      return A_Err_NONE;
    }
  }
  return A_Err_PARAMETER;  // not a world this host handed over
}
const PF_WorldSuite2 kWorldSuite = {GetPixelFormat};

SPErr AcquireSuite(const char* name, A_long version, const void** suite) {
  return output_host().suites.acquire(name, version, suite);
}
SPErr ReleaseSuite(const char* name, A_long version) { return output_host().suites.release(name, version); }
SPBasicSuite kBasicSuite = {AcquireSuite, ReleaseSuite};

// The world of one frame: straight 8-bit ARGB from the 32-bpc render, rows
// padded to 64 bytes with 0xCD so that a module reading past a row shows.
struct FrameWorldBytes {
  std::vector<uint8_t> bytes;
  AEIO_FrameWorld world{};
};
// 0..1 to 8 bits, nearest with halves up (values are never negative here).
uint8_t to_byte(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 1.0) * 255.0 + 0.5); }

FrameWorldBytes argb_world(const RenderedFrame& frame) {
  FrameWorldBytes out;
  const int64_t row = (static_cast<int64_t>(frame.width) * 4 + 63) / 64 * 64;
  out.bytes.assign(static_cast<size_t>(row * frame.height), 0xCD);
  convert_pixels(frame.rgba.data(), out.bytes.data(), static_cast<size_t>(row), frame.width, frame.height,
                 [](const float* p, uint8_t* q) {
                   const double a = p[3];
                   q[0] = to_byte(a);
                   const double unmultiply = a > 0 ? 1.0 / a : 0.0;
                   for (int c = 0; c < 3; ++c) q[1 + c] = a > 0 ? to_byte(p[c] * unmultiply) : 0;
                 });
  out.world = AEIO_FrameWorld{frame.width, frame.height, static_cast<A_long>(row), out.bytes.data(), 0, 0};
  return out;
}

// The refcon is the ordinal being added.
A_Err abort_on_sigterm(void* refcon) {
  const std::optional<int64_t>& at = output_host().faults.abort_at;
  if (at && *static_cast<const int64_t*>(refcon) >= *at) return 1;
  return terminated.load() ? 1 : 0;
}

int fail_run(std::FILE* log, const std::string& text) {
  std::fprintf(log, "aerender ERROR: %s\n", text.c_str());
  std::fflush(log);
  return 1;
}

// The world of frame `frame` of the composition at `downsample`.
Result<FrameWorldBytes> render_world(const Composition& comp, int64_t frame, int32_t downsample) {
  const int64_t value = frame * comp.frame_duration.value;
  if (value > INT32_MAX) return fail("frame " + std::to_string(frame) + " is past the host's time range");
  Result<RenderedFrame> rendered = render_composition(
      comp, {HostTime{static_cast<int32_t>(value), comp.frame_duration.scale}, downsample, downsample, 32});
  if (!rendered) return fail("render failed at frame " + std::to_string(frame) + ": " + rendered.error());
  return argb_world(rendered.value());
}

// The options handle goes back, and the run answers 0 only when every call
// did and no memory handle is left.
int end_run(const AEIO_FunctionBlock& fn, bool ok, uint64_t delivered, std::FILE* log) {
  OutputHost& h = output_host();
  if (fn.DisposeOutputOptions) {
    (void)fn.DisposeOutputOptions(nullptr, h.spec.options);
    h.spec.options = nullptr;
  }
  std::fprintf(log, "aerender: %llu frames rendered\n", static_cast<unsigned long long>(delivered));
  const uint64_t live = host().memory.size();
  if (live != 0) {
    std::fprintf(log, "aerender ERROR: %llu memory handle(s) left\n", static_cast<unsigned long long>(live));
    ok = false;
  }
  std::fflush(log);
  return ok ? 0 : 1;
}


}  // namespace

Result<bool> load_output_plugin(const std::string& path, const std::string& output, const EnvLookup& getenv,
                                std::FILE* log) {
  OutputHost& h = output_host();
  h.faults = read_output_faults(getenv, output);
  if (h.faults.hide_io_out) h.suites.hide(kAEGPIOOutSuite);
  publish_memory_suite(h.suites);
  h.suites.publish(kAEGPIOOutSuite, kAEGPIOOutSuiteVersion7, &kIoOutSuite);
  h.suites.publish(kPFWorldSuite, kPFWorldSuiteVersion2, &kWorldSuite);
  h.suites.publish(kAEGPRegisterSuite, kAEGPRegisterSuiteVersion6, &kRegisterSuite);
  void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) return fail(std::string("cannot load ") + path + ": " + ::dlerror());
  void* entry = ::dlsym(lib, AEGP_ENTRY_POINT_NAME);
  if (entry == nullptr) return fail(path + " has no " + AEGP_ENTRY_POINT_NAME);
  AEGP_GlobalRefcon refcon = nullptr;
  const A_Err e = reinterpret_cast<AEGP_EntryPointFunc>(entry)(&kBasicSuite, 25, 0, kAerenderPluginId, &refcon);
  std::fprintf(log, "aerender: plug-in loaded, %zu output module(s)\n", h.modules.size());
  std::fflush(log);
  if (e != A_Err_NONE) return fail("the plug-in's entry failed with " + std::to_string(e));
  return true;
}

int run_memory_output(const AerenderCommand& cmd, const std::string& signature, const Composition& comp,
                      const Composition& rendered, int32_t downsample, std::FILE* log) {
  OutputHost& h = output_host();
  const RegisteredModule* module = nullptr;
  for (const RegisteredModule& m : h.modules) {
    if (signature.size() == 4 && m.info.sig == fourcc(signature.c_str())) module = &m;
  }
  if (module == nullptr) {
    return fail_run(log, "No output module template was found with the given name: " + cmd.output_template);
  }
  struct sigaction sa {};
  sa.sa_handler = on_sigterm;
  ::sigaction(SIGTERM, &sa, nullptr);

  const AEIO_FunctionBlock& fn = module->functions;
  h.spec.output = cmd.output;
  h.spec.width = downsampled_side(comp.width, downsample);
  h.spec.height = downsampled_side(comp.height, downsample);
  h.spec.start_frame = static_cast<A_long>(cmd.first_frame + h.faults.start_offset);
  h.spec.fps = comp.frame_duration.value > 0
                   ? static_cast<A_Fixed>((static_cast<int64_t>(comp.frame_duration.scale) << 16) /
                                          comp.frame_duration.value)
                   : 0;
  h.spec.fps += static_cast<A_Fixed>(h.faults.fps_offset);
  AEIO_OutSpecH outH = reinterpret_cast<AEIO_OutSpecH>(&h.spec);
  const auto called = [&](const char* name, A_Err e) {
    if (e != A_Err_NONE) std::fprintf(log, "aerender ERROR: %s answered %d\n", name, static_cast<int>(e));
    return e == A_Err_NONE;
  };

  bool ok = true;
  A_Boolean interacted = 0;
  if (fn.InitOutputSpec && !called("InitOutputSpec", fn.InitOutputSpec(nullptr, outH, &interacted))) ok = false;
  AEIO_SupportedDepthFlags depths = 0;
  if (ok && (fn.GetDepths == nullptr || !called("GetDepths", fn.GetDepths(nullptr, outH, &depths)) ||
             (depths & AEIO_SupportedDepthFlags_DEPTH_32) == 0)) {
    ok = false;
  }
  if (ok && fn.GetOutputInfo) {
    AEIO_Verbiage v{};
    if (called("GetOutputInfo", fn.GetOutputInfo(nullptr, outH, &v))) {
      std::fprintf(log, "aerender: output module %s (%s): %s\n", v.name, v.type, v.sub_type);
    } else {
      ok = false;
    }
  }
  if (ok && fn.SetOutputFile) {
    const std::u16string units = utf8_to_utf16(cmd.output);
    const A_Err e = fn.SetOutputFile(nullptr, outH, reinterpret_cast<const A_UTF16Char*>(units.c_str()));
    if (e != AEIO_Err_USE_DFLT_CALLBACK && !called("SetOutputFile", e)) ok = false;
  }
  // A one-frame range may go through OutputFrame, which opens, writes and
  // finishes in one call.
  if (ok && h.faults.output_frame && cmd.first_frame == cmd.last_frame) {
    Result<FrameWorldBytes> world = render_world(rendered, cmd.first_frame, downsample);
    if (!world) return fail_run(log, world.error());
    h.worlds.push_back(&world.value().world);
    ok = fn.OutputFrame != nullptr && called("OutputFrame", fn.OutputFrame(nullptr, outH, &world.value().world));
    h.worlds.clear();
    return end_run(fn, ok, ok ? 1 : 0, log);
  }
  // The segment's name goes when the module attaches: the cutter takes it
  // first.
  std::optional<SegmentCutter> cutter;
  if (ok && (h.faults.shrink_after || h.faults.cut_to)) {
    std::string why;
    std::optional<SegmentCutter> opened = SegmentCutter::open(cmd.output, why);
    if (!opened) return fail_run(log, why);
    cutter.emplace(std::move(*opened));
  }
  bool started = false;
  if (ok) ok = started = called("StartAdding", fn.StartAdding(nullptr, outH, 0));
  // The module attached: every frame it adds is cut under.
  if (ok && cutter && h.faults.cut_to) {
    std::string why;
    if (!cutter->start_cutting(*h.faults.cut_to, log, why)) return fail_run(log, why);
  }
  if (h.faults.crash_in_copy) arm_copy_crash(log);
  uint64_t delivered = 0;
  int64_t ordinal = 0;
  for (int64_t i = 0; ok && cmd.first_frame + i <= cmd.last_frame; ++i, ++ordinal) {
    const int64_t frame = cmd.first_frame + i;
    if (cutter && h.faults.shrink_after && static_cast<int64_t>(delivered) >= *h.faults.shrink_after) {
      (void)cutter->cut_while_host_reads(log);
      ok = false;
      break;
    }
    if (h.faults.crash_after && static_cast<int64_t>(delivered) >= *h.faults.crash_after) {
      std::fflush(log);
      ::raise(SIGKILL);
    }
    if (h.faults.hang_after && static_cast<int64_t>(delivered) >= *h.faults.hang_after) {
      for (;;) ::pause();  // until killed
    }
    if (h.faults.skip_ordinal && ordinal == *h.faults.skip_ordinal) ++ordinal;
    std::this_thread::sleep_for(std::chrono::milliseconds(h.faults.extra_frame_ms));
    Result<FrameWorldBytes> world = render_world(rendered, frame, downsample);
    if (!world) return fail_run(log, world.error());
    AEIO_FrameWorld& handed = world.value().world;
    std::optional<StallingPixels> stalling;
    if (h.faults.crash_in_copy == ordinal) {
      stalling.emplace(world.value().bytes.size());
      stalling->fill_and_withhold(world.value().bytes.data());
      handed.data = stalling->data();
    }
    h.worlds.push_back(&handed);
    A_LPoint origin{h.faults.cropped ? 4 : 0, 0};
    AEIO_InterruptFuncs interrupt{&ordinal, abort_on_sigterm};
    ok = called("AddFrame", fn.AddFrame(nullptr, outH, static_cast<A_long>(ordinal), h.faults.two_frames ? 2 : 1,
                                        &handed, &origin, h.faults.compressed ? 1 : 0, &interrupt));
    h.worlds.clear();
    if (ok) {
      ++delivered;
      std::fprintf(log, "PROGRESS: frame %lld added\n", static_cast<long long>(frame));
      std::fflush(log);
    }
  }
  if (cutter) cutter->stop_cutting(log);
  if (started && h.faults.flush_instead_of_end) {
    if (fn.Flush == nullptr || !called("Flush", fn.Flush(nullptr, outH))) ok = false;
  } else if (started && !h.faults.no_end && !called("EndAdding", fn.EndAdding(nullptr, outH, 0))) {
    ok = false;
  }
  return end_run(fn, ok, delivered, log);
}

void report_output_host(std::FILE* log) {
  for (const auto& [name, counts] : output_host().suites.ledger()) {
    std::fprintf(log, "aerender: suite %s acquired=%llu released=%llu refused=%llu\n", name.c_str(),
                 static_cast<unsigned long long>(counts.acquired), static_cast<unsigned long long>(counts.released),
                 static_cast<unsigned long long>(counts.refused));
  }
  std::fprintf(log, "aerender: live memory handles %llu\n", static_cast<unsigned long long>(host().memory.size()));
  std::fflush(log);
}

}  // namespace sim
