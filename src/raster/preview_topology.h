// Which renderer takes a newly pinned composition. A bounded scan of the
// composition and its nested compositions tells whether anything needs the
// host's 3D path and whether every layer is a plain 2-D solid; only such a
// candidate, with the raster switch on, is read in full and checked against
// what the raster path draws. Main thread, inside the idle hook.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/result.h"
#include "host/handles.h"
#include "raster/comp_model.h"

namespace vel {

struct PreviewTopology {
  uint32_t layers = 0;     // layers examined
  bool complete = false;   // the scan reached the end of the tree
  bool gpu = false;        // needs the host's 3D path; always so when cut short
  bool candidate = false;  // every layer a 2-D solid or harmless
  bool timed_out = false;  // cut short by the time budget, not by the tree's size
};

// Scan budget: items visited, layers examined, time.
inline constexpr size_t kTopologyMaxItems = 64;
inline constexpr uint32_t kTopologyMaxLayers = 512;
inline constexpr uint64_t kTopologyMaxNs = 8'000'000;
// How many times a scan that ran out of time is made again for one pinned
// composition before its answer stands.
inline constexpr uint8_t kTopologyRescans = 3;

// Scans from `comp_item`; `now_ns` is the clock the time budget reads. An
// error text ("preview topology: …") when a host call fails or a layer cannot
// be classified.
Result<PreviewTopology> scan_preview_topology(ItemH comp_item, const std::function<uint64_t()>& now_ns);

// What the classification decided.
struct RasterDecision {
  bool comp_is_3d = true;
  std::shared_ptr<const CompModel> raster_comp;  // set exactly when the raster path takes it
  std::vector<std::string> perf_records;         // in order, for the PERF log
  // The scan ran out of time: on a busy machine a single preemption of the
  // main thread can spend its whole budget, so its "3D" says nothing of the
  // composition and the scan is worth making again.
  bool scan_timed_out = false;
};

struct RasterDecisionInputs {
  bool raster_on = false;       // VELOCINTA_RASTER
  bool raster_blocked = false;  // the preview state's block flag
};

// The decision from a scan (or its error) and how long it took. `introspect`
// reads the full model; it is called only for a complete candidate scan
// with the switch on and the path not blocked. A scan cut short by its
// budget is never a candidate: it had not seen every layer.
RasterDecision decide_raster_path(const Result<PreviewTopology>& scan, double elapsed_ms,
                                  const RasterDecisionInputs& in,
                                  const std::function<Result<CompModel>()>& introspect);

}  // namespace vel
