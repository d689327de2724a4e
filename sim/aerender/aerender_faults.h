// Faults the stand-in aerender can be told to show. Its command line is fixed
// by the pool, so they come from the environment:
//   SIM_AERENDER_FRAME_MS=N        every frame takes N ms more
//   SIM_AERENDER_COST_MS=N         every frame costs N ms in place of the project's render_cost_ms
//   SIM_AERENDER_SILENT=1          writes nothing and waits to be killed
//   SIM_AERENDER_CRASH_AFTER=N     dies (SIGABRT) after writing N frames
//   SIM_AERENDER_SKIP=a,b          frames never written
//   SIM_AERENDER_CORRUPT=a,b       frames written with a damaged header
//   SIM_AERENDER_TRUNCATE=a,b      frames written cut to half their length
//   SIM_AERENDER_WRITE_ERROR=a     writing that frame fails: error and exit 1
//   SIM_AERENDER_FORGET_RS_TEMPLATE=1  a render-settings template on the command line is unknown
//   SIM_AERENDER_SHIFT=N           every frame is written under its number + N (its range shifted)
//   SIM_AERENDER_ALSO_AS=N         every frame is also written under its number + N
// (FRAME_MS, CRASH_AFTER and CORRUPT may also name worker folders instead:
// worker_file_faults.h)
// and the file variants tests can ask for:
//   SIM_AERENDER_TGA=rle           run-length Targa (raw otherwise)
//   SIM_AERENDER_PSD=raw           raw Photoshop data (PackBits otherwise)
//   SIM_AERENDER_PSD_DEPTH=16      16 bits per channel (8 otherwise)
//   SIM_AERENDER_PSD_CHANNELS=3    RGB only, colours matted on black (4 otherwise)
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "simhost/result.h"

namespace sim {

struct AerenderFaults {
  uint32_t extra_frame_ms = 0;
  std::optional<uint32_t> cost_ms;
  bool silent = false;
  bool forget_render_settings = false;
  std::optional<uint64_t> crash_after;
  std::set<int64_t> skip, corrupt, truncate, write_error;
  std::optional<int64_t> shift, also_as;  // 1 … 1000000
  bool tga_run_length = false;
  bool psd_packbits = true;
  int psd_depth = 8;
  bool psd_alpha_channel = true;
  // SIM_AERENDER_REWRITE_US: each frame file rewritten in place after it is
  // written, with another frame's bytes and then its own, 4 KiB writes this
  // many µs apart (frame_rewriter.h).
  std::optional<uint32_t> rewrite_pause_us;
};

// A switch's decimal value in 0 … hi; nothing when it is anything else.
std::optional<int64_t> switch_number(const std::string& text, int64_t hi);

// `getenv` gives a variable's value or nothing; a malformed value is an error.
Result<AerenderFaults> read_aerender_faults(const std::function<std::optional<std::string>(const char*)>& getenv);

}  // namespace sim
