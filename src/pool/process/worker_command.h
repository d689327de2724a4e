// The exact command line and environment of one aerender worker.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vel {

enum class PoolOutputKind : uint8_t { Psd = 0, Tga = 1, Memory = 2, MemoryNull = 3 };

bool is_memory_kind(PoolOutputKind kind);

// "-OMtemplate" value of the kind.
const char* output_module_template(PoolOutputKind kind);

// The output path inside the worker folder: "f_[#####].psd", ".tga", or
// "output.vnm" for the memory kinds.
std::filesystem::path worker_output_path(const std::filesystem::path& worker_dir, PoolOutputKind kind);

// "-RStemplate" value by downsample: 4 quarter, 2 half, else extreme when
// asked, else none.
std::optional<std::string> render_settings_template(uint64_t downsample, bool extreme);

struct WorkerCommand {
  std::string snapshot_path;
  std::string comp_name;
  int64_t first_frame = 0;
  int64_t last_frame = 0;
  PoolOutputKind kind = PoolOutputKind::Tga;
  uint32_t mfr_percent = 0;
  std::string output_path;
  bool missing_ok = true;
  uint64_t downsample = 1;
  bool extreme = false;
};

// The arguments after the program, each a separate argument, in order.
std::vector<std::string> worker_arguments(const WorkerCommand& command);

// `base` (NAME=value entries) without any VELOCINTA_POOL_WORKER, nor any
// VELOCINTA_OUTPUT_FORMAT for the memory kinds, then ours appended once
// each: a worker's getenv returns the first entry it finds.
std::vector<std::string> worker_environment(const std::vector<std::string>& base, PoolOutputKind kind);

// The process environment as entries.
std::vector<std::string> current_environment();

}  // namespace vel
