#include "aerender_run.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "aerender_command.h"
#include "aerender_faults.h"
#include "frame_image.h"
#include "frame_rewriter.h"
#include "hostile_producer.h"
#include "output_faults.h"
#include "output_folder_link.h"
#include "output_module_host.h"
#include "process_variants.h"
#include "render_size.h"
#include "project/project_json.h"
#include "psd_writer.h"
#include "render/renderer.h"
#include "render_engine.h"
#include "tga_writer.h"
#include "unsettled_frame_file.h"
#include "worker_file_faults.h"

namespace sim {

namespace {

namespace fs = std::filesystem;

int error(std::FILE* log, const std::string& text) {
  std::fprintf(log, "aerender ERROR: %s\n", text.c_str());
  std::fflush(log);
  return 1;
}

std::vector<uint8_t> encode_frame(const FrameImage& image, FrameFileFormat format, const AerenderFaults& faults) {
  if (format == FrameFileFormat::Tga) return encode_tga(image, {.run_length = faults.tga_run_length});
  return encode_psd(image,
                    {.packbits = faults.psd_packbits, .depth = faults.psd_depth, .alpha_channel = faults.psd_alpha_channel});
}

// Through "AEtemp_<name>" in the same folder, then a rename.
bool write_frame_file(const fs::path& path, const std::vector<uint8_t>& bytes, std::string& why) {
  const fs::path temp = path.parent_path() / ("AEtemp_" + path.filename().string());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out.good()) {
      why = "cannot write " + temp.string();
      std::error_code ignored;
      fs::remove(temp, ignored);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    why = ec.message();
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

// A frame file sized ahead and never filled, as by a worker that sets the
// length of its output before it renders and fails to write it: through
// "AEtemp_<name>" and a rename like a whole frame.
constexpr off_t kHollowFrameBytes = off_t{400} << 20;
bool write_hollow_frame_file(const fs::path& path, std::string& why) {
  const fs::path temp = path.parent_path() / ("AEtemp_" + path.filename().string());
  std::error_code ec;
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out.good()) ec = std::make_error_code(std::errc::io_error);
  }
  if (!ec) fs::resize_file(temp, static_cast<uintmax_t>(kHollowFrameBytes), ec);
  if (!ec) fs::rename(temp, path, ec);
  if (ec) {
    why = temp.string() + ": " + ec.message();
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

// The program's own file stops being executable: the next start of it
// fails, as when the renderer is moved or its permissions change mid-batch.
void take_away_execute_bits(std::FILE* log) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) fs::permissions(self, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                           fs::perm_options::remove, ec);
  std::fprintf(log, "aerender: execute bits removed: %s\n", ec ? ec.message().c_str() : "done");
  std::fflush(log);
}

// The frames of the range; the engine is let go on every way out.
int render_range(const AerenderCommand& cmd, const Composition& comp, FrameFileFormat format, int32_t downsample,
                 const AerenderFaults& faults, const WorkerFileFaults& worker, const ProcessVariants& variants,
                 std::FILE* log) {
  uint64_t written = 0;
  if (worker.link_target) {
    std::string why;
    if (!link_output_folder(cmd.output, *worker.link_target, why)) return error(log, "Unable to link the output folder: " + why);
  }
  for (int64_t frame = cmd.first_frame; frame <= cmd.last_frame; ++frame) {
    if (variants.exit_after && written >= *variants.exit_after) end_client_now(variants);
    if (worker.unexec_after && written == *worker.unexec_after) take_away_execute_bits(log);
    if ((faults.crash_after && written >= *faults.crash_after) || (worker.crash_after && written >= *worker.crash_after)) {
      std::fflush(log);
      signal(SIGABRT, SIG_DFL);
      raise(SIGABRT);
    }
    if (worker.hang_after && written >= *worker.hang_after) {
      std::fflush(log);
      for (;;) ::pause();  // until killed; the engines stay with it
    }
    const auto started = std::chrono::steady_clock::now();
    const int64_t value = frame * comp.frame_duration.value;
    if (value > INT32_MAX) return error(log, "frame " + std::to_string(frame) + " is past the host's time range");
    // The number the file is written under: a worker that misnumbers its
    // frames names frames it was not given.
    const std::string path = *frame_file_path(cmd.output, frame + faults.shift.value_or(0));
    if (faults.skip.count(frame) || (worker.skip_frame && worker.skip_frame->is(frame, cmd.first_frame))) continue;
    Result<RenderedFrame> rendered =
        render_composition(comp, {HostTime{static_cast<int32_t>(value), comp.frame_duration.scale}, downsample,
                                  downsample, 8});
    if (!rendered) return error(log, "render failed at frame " + std::to_string(frame) + ": " + rendered.error());
    std::vector<uint8_t> bytes = encode_frame(frame_image_from_render(rendered.value()), format, faults);
    if (faults.corrupt.count(frame) || (worker.corrupt_frame && worker.corrupt_frame->is(frame, cmd.first_frame))) {
      for (size_t i = 0; i < 4 && i < bytes.size(); ++i) bytes[i] ^= 0xFF;
    }
    if (faults.truncate.count(frame)) bytes.resize(bytes.size() / 2);
    std::this_thread::sleep_until(started + std::chrono::milliseconds(faults.cost_ms.value_or(comp.render_cost_ms) + faults.extra_frame_ms +
                                                                   worker.extra_frame_ms));
    if (faults.write_error.count(frame)) return error(log, "Unable to write file: " + path);
    std::string why;
    const bool hollow =
        frame > cmd.first_frame && static_cast<uint64_t>(frame - cmd.first_frame) <= worker.hollow_frames;
    const bool wrote = hollow ? write_hollow_frame_file(path, why)
                       : worker.late_write_ms > 0
                           ? write_frame_file_late(path, bytes, std::chrono::milliseconds(worker.late_write_ms), why)
                           : write_frame_file(path, bytes, why);
    if (!wrote) return error(log, "Unable to write file: " + path + " (" + why + ")");
    if (worker.churn_frame && worker.churn_frame->is(frame, cmd.first_frame) && !keep_rewriting(path, bytes, why))
      return error(log, "Unable to rewrite file: " + path + " (" + why + ")");
    if (faults.also_as) {
      const std::string copy = *frame_file_path(cmd.output, frame + *faults.also_as);
      if (!write_frame_file(copy, bytes, why)) return error(log, "Unable to write file: " + copy + " (" + why + ")");
    }
    ++written;
    std::fprintf(log, "PROGRESS: frame %lld written: %s\n", static_cast<long long>(frame), path.c_str());
    std::fflush(log);
    if (faults.rewrite_pause_us) {
      // Another frame's bytes: those of the frame half a second on, far
      // enough for its picture to differ.
      const int64_t other = (frame + kRewriteOtherFrame) * comp.frame_duration.value <= INT32_MAX
                                ? frame + kRewriteOtherFrame
                                : frame - kRewriteOtherFrame;
      Result<RenderedFrame> later = render_composition(
          comp, {HostTime{static_cast<int32_t>(other * comp.frame_duration.value), comp.frame_duration.scale},
                 downsample, downsample, 8});
      if (!later) return error(log, "render failed at frame " + std::to_string(other) + ": " + later.error());
      const std::vector<uint8_t> other_bytes = encode_frame(frame_image_from_render(later.value()), format, faults);
      if (!rewrite_frame_file(path, other_bytes, bytes, std::chrono::microseconds(*faults.rewrite_pause_us), why)) {
        return error(log, "Unable to rewrite file: " + path + " (" + why + ")");
      }
    }
  }
  std::fprintf(log, "aerender: %llu frames rendered\n", static_cast<unsigned long long>(written));
  std::fflush(log);
  std::this_thread::sleep_for(std::chrono::milliseconds(worker.exit_delay_ms));
  if (variants.exit_after) end_client_now(variants);
  return 0;
}

// The engines, each told this client's pid; their lifelines close when the
// client ends, however it ends.
Result<std::vector<RenderEngine>> start_engines(uint32_t count, std::FILE* log) {
  std::vector<RenderEngine> engines;
  for (uint32_t i = 0; i < count; ++i) {
    Result<RenderEngine> engine = start_render_engine(engine_path_beside_self(), ::getpid());
    if (!engine) return fail(engine.error());
    std::fprintf(log, "aerender: render engine pid %d\n", engine.value().pid);
    engines.push_back(engine.value());
  }
  std::fflush(log);
  return engines;
}

void let_engines_go(const std::vector<RenderEngine>& engines) {
  for (const RenderEngine& e : engines) ::close(e.lifeline);
  for (const RenderEngine& e : engines) {
    int ignored = 0;
    ::waitpid(e.pid, &ignored, 0);
  }
}

}  // namespace

int run_aerender(const std::vector<std::string>& args, const EnvLookup& getenv, std::FILE* log) {
  Result<AerenderFaults> faults = read_aerender_faults(getenv);
  if (!faults) return error(log, faults.error());
  Result<ProcessVariants> variants = read_process_variants(getenv);
  if (!variants) return error(log, variants.error());
  Result<AerenderCommand> cmd = parse_aerender_command(args);
  if (!cmd) return error(log, cmd.error());
  // A silent client renders nothing, so it needs neither a project nor a
  // known template: the pool's process tests start it with any command line.
  if (faults.value().silent) {
    start_group_children(variants.value().group_children, log);
    Result<std::vector<RenderEngine>> engines = start_engines(variants.value().engines, log);
    if (!engines) return error(log, "Unable to start the render engine: " + engines.error());
    take_memory_and_cpu(variants.value().client_mib, variants.value().client_cpu_percent);
    if (variants.value().exit_after) end_client_now(variants.value());
    for (;;) ::pause();  // until killed
  }
  // With the host's template store present, templates are what it holds;
  // without one, the pool's own names are known.
  std::optional<nlohmann::json> store;
  if (std::optional<std::string> home = getenv("HOME"); home && !home->empty() && (*home)[0] == '/') {
    std::ifstream in(*home + "/Library/Preferences/simhost-templates.json");
    if (in) {
      nlohmann::json parsed = nlohmann::json::parse(in, nullptr, false);
      if (parsed.is_object()) store = std::move(parsed);
    }
  }
  // A template that names an output module hands the frames to that module.
  const std::optional<std::string> module =
      store ? stored_output_module(*store, cmd.value().output_template)
            : (cmd.value().output_template == kMemoryOutputTemplate ? std::optional<std::string>(kMemoryOutputModule)
                                                                     : std::nullopt);
  const bool memory_output = module.has_value();
  const std::optional<FrameFileFormat> format = store ? stored_output_template_format(*store, cmd.value().output_template)
                                                      : output_template_format(cmd.value().output_template);
  if (!format && !memory_output) {
    return error(log, "No output module template was found with the given name: " + cmd.value().output_template);
  }
  int32_t downsample = 1;
  if (const std::optional<std::string>& rs = cmd.value().render_settings_template) {
    std::optional<int32_t> ds = store ? stored_render_settings_downsample(*store, *rs) : render_settings_downsample(*rs);
    if (faults.value().forget_render_settings) ds.reset();
    if (!ds) return error(log, "No render settings template was found with the given name: " + *rs);
    downsample = *ds;
  }
  Result<Project> project = load_project_file(cmd.value().project);
  if (!project) return error(log, "Unable to open the project " + cmd.value().project + ": " + project.error());
  const Composition* comp = nullptr;
  for (const Composition& c : project.value().comps) {
    if (c.name == cmd.value().comp) comp = &c;
  }
  if (comp == nullptr) return error(log, "No comp was found with the given name: " + cmd.value().comp);
  // A worker told to render another size renders the composition on that
  // canvas; the pool still asked for the composition's own.
  Result<std::optional<RenderSize>> size = read_render_size(getenv, cmd.value().output);
  if (!size) return error(log, size.error());
  const Composition rendered = size.value() ? resized_composition(*comp, *size.value()) : *comp;
  if (!memory_output && !frame_file_path(cmd.value().output, 0)) {
    return error(log, "The output path has no frame number pattern: " + cmd.value().output);
  }

  // The plug-in simhost loaded is loaded here too, before anything renders.
  // A hostile producer is the stand-in itself: no plug-in is loaded.
  const OutputFaults output_faults = read_output_faults(getenv, cmd.value().output);
  const bool hostile = memory_output && output_faults.hostile.has_value();
  const std::optional<std::string> plugin = hostile ? std::nullopt : getenv("SIMHOST_PLUGIN");
  if (plugin) {
    Result<bool> loaded = load_output_plugin(*plugin, cmd.value().output, getenv, log);
    if (!loaded) return error(log, loaded.error());
  } else if (memory_output && !hostile) {
    return error(log, std::string("No output module template was found with the given name: ") + kMemoryOutputTemplate);
  }

  start_group_children(variants.value().group_children, log);
  Result<std::vector<RenderEngine>> engines = start_engines(variants.value().engines, log);
  if (!engines) return error(log, "Unable to start the render engine: " + engines.error());
  take_memory_and_cpu(variants.value().client_mib, variants.value().client_cpu_percent);
  const int status = hostile          ? run_hostile_producer(cmd.value().output, output_faults.hostile.value(), log)
                     : memory_output ? run_memory_output(cmd.value(), *module, *comp, rendered, downsample, log)
                                     : render_range(cmd.value(), rendered, *format, downsample, faults.value(),
                                                    read_worker_file_faults(getenv, cmd.value().output),
                                                    variants.value(), log);
  if (plugin) report_output_host(log);
  let_engines_go(engines.value());
  return status;
}

}  // namespace sim
