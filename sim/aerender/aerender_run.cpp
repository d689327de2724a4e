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
#include "project_json.h"
#include "psd_writer.h"
#include "render_engine.h"
#include "renderer.h"
#include "tga_writer.h"

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

// The frames of the range; the engine is let go on every way out.
int render_range(const AerenderCommand& cmd, const Composition& comp, FrameFileFormat format, int32_t downsample,
                 const AerenderFaults& faults, std::FILE* log) {
  uint64_t written = 0;
  for (int64_t frame = cmd.first_frame; frame <= cmd.last_frame; ++frame) {
    if (faults.crash_after && written >= *faults.crash_after) {
      std::fflush(log);
      signal(SIGABRT, SIG_DFL);
      raise(SIGABRT);
    }
    const auto started = std::chrono::steady_clock::now();
    const int64_t value = frame * comp.frame_duration.value;
    if (value > INT32_MAX) return error(log, "frame " + std::to_string(frame) + " is past the host's time range");
    const std::string path = *frame_file_path(cmd.output, frame);
    if (faults.skip.count(frame)) continue;
    Result<RenderedFrame> rendered =
        render_composition(comp, {HostTime{static_cast<int32_t>(value), comp.frame_duration.scale}, downsample,
                                  downsample, 8});
    if (!rendered) return error(log, "render failed at frame " + std::to_string(frame) + ": " + rendered.error());
    std::vector<uint8_t> bytes = encode_frame(frame_image_from_render(rendered.value()), format, faults);
    if (faults.corrupt.count(frame)) {
      for (size_t i = 0; i < 4 && i < bytes.size(); ++i) bytes[i] ^= 0xFF;
    }
    if (faults.truncate.count(frame)) bytes.resize(bytes.size() / 2);
    std::this_thread::sleep_until(started + std::chrono::milliseconds(comp.render_cost_ms + faults.extra_frame_ms));
    if (faults.write_error.count(frame)) return error(log, "Unable to write file: " + path);
    std::string why;
    if (!write_frame_file(path, bytes, why)) return error(log, "Unable to write file: " + path + " (" + why + ")");
    ++written;
    std::fprintf(log, "PROGRESS: frame %lld written: %s\n", static_cast<long long>(frame), path.c_str());
    std::fflush(log);
  }
  std::fprintf(log, "aerender: %llu frames rendered\n", static_cast<unsigned long long>(written));
  std::fflush(log);
  return 0;
}

}  // namespace

int run_aerender(const std::vector<std::string>& args, const EnvLookup& getenv, std::FILE* log) {
  Result<AerenderFaults> faults = read_aerender_faults(getenv);
  if (!faults) return error(log, faults.error());
  Result<AerenderCommand> cmd = parse_aerender_command(args);
  if (!cmd) return error(log, cmd.error());
  const std::optional<FrameFileFormat> format = output_template_format(cmd.value().output_template);
  if (!format) {
    return error(log, "No output module template was found with the given name: " + cmd.value().output_template);
  }
  int32_t downsample = 1;
  if (const std::optional<std::string>& rs = cmd.value().render_settings_template) {
    const std::optional<int32_t> ds = render_settings_downsample(*rs);
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
  if (!frame_file_path(cmd.value().output, 0)) {
    return error(log, "The output path has no frame number pattern: " + cmd.value().output);
  }

  Result<RenderEngine> engine = start_render_engine(engine_path_beside_self(), ::getpid());
  if (!engine) return error(log, "Unable to start the render engine: " + engine.error());
  std::fprintf(log, "aerender: render engine pid %d\n", engine.value().pid);
  std::fflush(log);

  if (faults.value().silent) {
    for (;;) ::pause();  // until killed
  }
  const int status = render_range(cmd.value(), *comp, *format, downsample, faults.value(), log);
  ::close(engine.value().lifeline);
  int ignored = 0;
  ::waitpid(engine.value().pid, &ignored, 0);
  return status;
}

}  // namespace sim
