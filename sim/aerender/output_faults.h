// Faults the stand-in aerender shows to an output module. The pool's command
// line is fixed, so they come from the environment, each scoped to one
// worker folder: the value is "w<N>", "w<N>:<number>" or "w<N>:<word>", and
// the switch acts only when the output path's folder is that one (a replay
// runs under a new number, and so runs clean).
//   Crashes and stalls
//   SIM_AEIO_CRASH_AFTER=w0:n      SIGKILL between frames after n frames
//   SIM_AEIO_CRASH_IN_COPY=w0:k    SIGKILL from a second thread while the
//                                  module copies ordinal k (slot left at 1)
//   SIM_AEIO_HANG_AFTER=w0:n       alive and silent after n frames until killed
//   SIM_AEIO_FRAME_MS=w0:n         every frame takes n ms more
//   SIM_AEIO_SHRINK_AFTER=w0:n     once the host took n frames, the segment's
//                                  file is cut and grown back while the host
//                                  reads, again and again, until the host
//                                  lets it go; no frame is added any more
//                                  (status 1; segment_cutter.h)
//   SIM_AEIO_CUT_TO=w0:-1          once the module attached, the
//                                  segment's file is cut to that size (the
//                                  whole length plus it when negative) and
//                                  grown back, again and again, while the
//                                  module goes on adding frames; until the
//                                  host lets it go (segment_cutter.h)
//   Frames the module must refuse
//   SIM_AEIO_SKIP_ORDINAL=w0:k     ordinal k is never added (0, 1, 3 ...)
//   SIM_AEIO_TWO_FRAMES=w0         AddFrame says 2 frames per call
//   SIM_AEIO_COMPRESSED=w0         AddFrame says the frame was compressed
//   SIM_AEIO_ORIGIN=w0             AddFrame passes the origin (4, 0)
//   SIM_AEIO_PIXEL_FORMAT=w0       GetPixelFormat answers 16-bit ARGB
//   Outputs the module must refuse at open
//   SIM_AEIO_START_OFFSET=w0:n     the start frame answered is n off
//   SIM_AEIO_FPS_OFFSET=w0:n       the 16.16 frame rate answered is n off
//   SIM_AEIO_PREMULTIPLIED=w0      the alpha label says premultiplied
//   SIM_AEIO_DEPTH64=w0            the output depth answered is 64
//   Endings
//   SIM_AEIO_NO_END=w0             EndAdding is never called
//   SIM_AEIO_FLUSH=w0              Flush in place of EndAdding
//   SIM_AEIO_ABORT_AT=w0:k         the abort function answers 1 from ordinal k
//   SIM_AEIO_OUTPUT_FRAME=w0       a one-frame range goes through OutputFrame
//   Registration
//   SIM_AEIO_REFUSE_REGISTER=w0    RegisterIO answers non-zero
//   SIM_AEIO_HIDE_IO_OUT=w0        the IO Out suite is reported missing
//   Hostile producer (no plug-in is loaded; see hostile_producer.h)
//   SIM_AEIO_HOSTILE=w0:duplicate|contract|out-of-range|too-long|shrunk
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace sim {

enum class HostileOutput { Duplicate, ContractWord, OutOfRange, PayloadTooLong, Shrunk };

struct OutputFaults {
  std::optional<int64_t> crash_after;
  std::optional<int64_t> crash_in_copy;
  std::optional<int64_t> hang_after;
  int64_t extra_frame_ms = 0;
  std::optional<int64_t> shrink_after;
  std::optional<int64_t> cut_to;
  std::optional<int64_t> skip_ordinal;
  bool two_frames = false;
  bool compressed = false;
  bool cropped = false;
  bool other_pixel_format = false;
  int64_t start_offset = 0;
  int64_t fps_offset = 0;
  bool premultiplied = false;
  bool depth64 = false;
  bool no_end = false;
  bool flush_instead_of_end = false;
  std::optional<int64_t> abort_at;
  bool output_frame = false;
  bool refuse_register = false;
  bool hide_io_out = false;
  std::optional<HostileOutput> hostile;
};

// The switches that name the folder `output_path` lies in; a malformed or
// foreign value is ignored.
OutputFaults read_output_faults(const std::function<std::optional<std::string>(const char*)>& getenv,
                                const std::string& output_path);

}  // namespace sim
