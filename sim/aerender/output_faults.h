// Faults the stand-in aerender shows to an output module. The pool's command
// line is fixed, so they come from the environment, each scoped to one
// worker folder: the value is "w<N>" or "w<N>:<number>", and the switch acts
// only when the output path's folder is that one (a replay runs under a new
// number, and so runs clean).
//   SIM_AEIO_SKIP_ORDINAL=w0:k     ordinal k is never added (0, 1, 3 ...)
//   SIM_AEIO_START_OFFSET=w0:n     the start frame answered is n off
//   SIM_AEIO_FPS_OFFSET=w0:n       the 16.16 frame rate answered is n off
//   SIM_AEIO_PREMULTIPLIED=w0      the alpha label says premultiplied
//   SIM_AEIO_ABORT_AT=w0:k         the abort function answers 1 from ordinal k
//   SIM_AEIO_FLUSH=w0              Flush in place of EndAdding
//   SIM_AEIO_CRASH_AFTER=w0:n      SIGKILL between frames after n frames
//   SIM_AEIO_HANG_AFTER=w0:n       alive and silent after n frames until killed
//   SIM_AEIO_REFUSE_REGISTER=w0    RegisterIO answers non-zero
//   SIM_AEIO_HIDE_IO_OUT=w0        the IO Out suite is reported missing
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace sim {

struct OutputFaults {
  std::optional<int64_t> skip_ordinal;
  int64_t start_offset = 0;
  int64_t fps_offset = 0;
  bool premultiplied = false;
  std::optional<int64_t> abort_at;
  bool flush_instead_of_end = false;
  std::optional<int64_t> crash_after;
  std::optional<int64_t> hang_after;
  bool refuse_register = false;
  bool hide_io_out = false;
};

// The switches that name the folder `output_path` lies in; a malformed or
// foreign value is ignored.
OutputFaults read_output_faults(const std::function<std::optional<std::string>(const char*)>& getenv,
                                const std::string& output_path);

}  // namespace sim
