#include "raster/preview_topology.h"

#include <algorithm>
#include <unordered_set>

#include "core/format.h"
#include "host/comp_calls.h"
#include "host/footage_calls.h"
#include "host/item_calls.h"
#include "host/layer_calls.h"
#include "raster/raster_eligibility.h"

namespace vel {
namespace {

constexpr int32_t kLayerFlag3d = 0x800;
enum ObjectType : uint32_t { kAv = 0, kLight = 1, kCamera = 2, kText = 3, kVector = 4, kLast = 5 };

std::string topology_error(const AeError& e) { return "preview topology: " + to_string(e); }

class Scan {
 public:
  Scan(ItemH root, const std::function<uint64_t()>& now_ns) : now_ns_(now_ns), start_(now_ns()) {
    stack_.push_back(root);
  }

  Result<PreviewTopology> run() {
    while (!stack_.empty()) {
      ItemH item = stack_.back();
      stack_.pop_back();
      if (!visited_.insert(item).second) continue;
      if (visited_.size() > kTopologyMaxItems) return cut_short();
      if (out_of_time()) return timed_out();
      auto comp = comp_from_item(item);
      if (!comp) return err(topology_error(comp.error()));
      if (!comp.value() || !*comp.value()) return err("preview topology: missing composition");
      auto count = comp_num_layers(*comp.value());
      if (!count) return err(topology_error(count.error()));
      for (int32_t i = 0; i < count.value(); ++i) {
        if (out_of_time()) return timed_out();
        if (topo_.layers >= kTopologyMaxLayers) return cut_short();
        auto stop = examine_layer(*comp.value(), i);
        if (!stop) return err(stop.error());
        if (stop.value()) return topo_;
      }
    }
    topo_.complete = true;
    topo_.gpu = false;
    return topo_;
  }

 private:
  bool out_of_time() const { return now_ns_() - start_ >= kTopologyMaxNs; }

  PreviewTopology cut_short() {
    topo_.complete = false;
    topo_.gpu = true;
    return topo_;
  }

  PreviewTopology timed_out() {
    topo_.timed_out = true;
    return cut_short();
  }

  PreviewTopology needs_3d() {
    topo_.complete = true;
    topo_.gpu = true;
    return topo_;
  }

  // True when the scan ends here (the tree needs the 3D path).
  Result<bool> examine_layer(CompH comp, int32_t index) {
    auto layer = comp_layer_by_index(comp, index);
    if (!layer) return err(topology_error(layer.error()));
    if (!layer.value()) return err("preview topology: unknown layer kind");
    auto flags = layer_flags(layer.value());
    if (!flags) return err(topology_error(flags.error()));
    auto type = layer_object_type(layer.value());
    if (!type) return err("preview topology: unknown layer kind");
    ++topo_.layers;
    if (flags.value() & kLayerFlag3d) {
      needs_3d();
      return true;
    }
    const uint32_t kind = static_cast<uint32_t>(type.value());
    if (kind > kLast) return err("preview topology: unsupported object type " + std::to_string(type.value()));
    if (kind == kText || kind == kVector) {
      topo_.candidate = false;
      return false;
    }
    if (kind != kAv) {
      needs_3d();
      return true;
    }
    auto status = examine_source(layer.value());
    if (!status) return err(status.error());
    return false;
  }

  Status<> examine_source(LayerH layer) {
    auto source = layer_source_item(layer);
    if (!source) return err(topology_error(source.error()));
    if (!source.value() || !*source.value()) {
      topo_.candidate = false;
      return ok_unit();
    }
    ItemH item = *source.value();
    auto type = item_type(item);
    if (!type) return err("preview topology: unknown layer source");
    if (type.value() == ItemType::Comp) {
      if (!visited_.count(item)) stack_.push_back(item);
      topo_.candidate = false;
      return ok_unit();
    }
    if (type.value() != ItemType::Footage) return err("preview topology: unknown layer source");
    if (!topo_.candidate) return ok_unit();
    auto footage = main_footage_from_item(item);
    if (!footage) return err(topology_error(footage.error()));
    const FootageSignature sig = footage_signature(footage.value());
    if (sig == FootageSignature::Unknown) return err("preview topology: unknown footage signature");
    if (sig == FootageSignature::Other) topo_.candidate = false;
    return ok_unit();
  }

  const std::function<uint64_t()>& now_ns_;
  const uint64_t start_;
  std::vector<ItemH> stack_;
  std::unordered_set<ItemH> visited_;
  PreviewTopology topo_{0, false, false, true};
};

const char* yes_no(bool b) { return b ? "true" : "false"; }

constexpr const char* kHostProfile =
    "PREVIEW_PROFILE renderer=host bpc=8 pool_motion_blur=off in_process_motion_blur=current";

}  // namespace

Result<PreviewTopology> scan_preview_topology(ItemH comp_item, const std::function<uint64_t()>& now_ns) {
  return Scan(comp_item, now_ns).run();
}

RasterDecision decide_raster_path(const Result<PreviewTopology>& scan, double elapsed_ms,
                                  const RasterDecisionInputs& in,
                                  const std::function<Result<CompModel>()>& introspect) {
  RasterDecision d;
  if (!scan) {
    d.perf_records.push_back("PREVIEW_SCAN error=" + scan.error() + " elapsed_ms=" + fmt_2dp(elapsed_ms));
    return d;
  }
  const PreviewTopology& topo = scan.value();
  d.comp_is_3d = topo.gpu;
  d.scan_timed_out = topo.timed_out;
  const bool full = topo.candidate && topo.complete && in.raster_on && !in.raster_blocked;
  d.perf_records.push_back("PREVIEW_SCAN layers=" + std::to_string(topo.layers) + " complete=" + yes_no(topo.complete) +
                           " gpu=" + yes_no(topo.gpu) + " full_introspection=" + yes_no(full) +
                           " elapsed_ms=" + fmt_2dp(elapsed_ms));
  if (!full) {
    d.perf_records.push_back(kHostProfile);
    return d;
  }
  auto model = introspect();
  if (!model) {
    d.comp_is_3d = true;
    return d;
  }
  d.comp_is_3d = std::any_of(model.value().layers.begin(), model.value().layers.end(),
                             [](const LayerModel& l) { return l.three_d; });
  const size_t layer_count = model.value().layers.size();
  auto candidate = raster_candidate(std::move(model).value());
  if (!candidate) {
    d.perf_records.push_back(std::string(kHostProfile) +
                             " raster_rejection=" + raster_out_of_scope_text(candidate.error()));
    return d;
  }
  d.perf_records.push_back("PREVIEW_PROFILE renderer=raster bpc=8 motion_blur=off layers=" +
                           std::to_string(layer_count));
  d.raster_comp = std::make_shared<const CompModel>(std::move(candidate).value());
  return d;
}

}  // namespace vel
