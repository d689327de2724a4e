#include "pool/batch/batch_close.h"

#include "core/saturating.h"
#include "pool/runtime/pool_perf_records.h"

namespace vel {

bool batch_complete(const BatchPending& p) {
  return p.exits_to_examine == 0 && p.frames_returned_now == 0 && p.frames_handed == 0 && p.queued_ranges == 0 &&
         p.unfinished_jobs == 0 && p.frames_awaiting_retry == 0;
}

BatchCloseVerdict close_batch(const BatchCloseInputs& in) {
  BatchCloseVerdict v;
  const bool memory = in.output >= 2;
  if (memory && !in.readers_complete) {
    v.kind = BatchCloseKind::MemoryUnclean;
    v.choose_psd = true;
    v.error_line = "pool: memory output did not finish cleanly — PSD selected for a future batch";
    return v;
  }
  if (in.output == 3) {
    v.kind = BatchCloseKind::NullMeasured;
    const double elapsed_ms = static_cast<double>(sat_sub(in.now_ns, in.started_ns)) / 1e6;
    v.null_record = pool_null_record(in.null_frames, in.expected, elapsed_ms);
    return v;
  }
  if (in.volume_short && in.delivered < in.expected) {
    v.kind = BatchCloseKind::VolumeShort;
    v.next_batch_at_ns = sat_add(in.now_ns, kBatchCooldownNs);
    return v;
  }
  if (in.delivered == 0 && in.expected > 0) {
    if (in.output != 0) {
      v.kind = BatchCloseKind::NoFrameFallback;
      v.choose_psd = true;
      v.error_line = "pool: sortie expérimentale sans image utilisable — repli PSD pour les images manquantes";
    } else if (in.file_ds >= 2 && in.first_log_names_template && in.first_log_names_template()) {
      v.kind = BatchCloseKind::TemplateFailure;
      v.template_failure_reason = "signalé par aerender sur un lot";
    } else {
      v.kind = BatchCloseKind::Disabled;
      v.disable_reason = "lot sans aucune frame produite — vérifier " + in.first_log_path;
    }
    return v;
  }
  v.kind = BatchCloseKind::Closed;
  if (in.output != 0 && in.delivered < in.expected) {
    v.choose_psd = true;
    v.error_line = "pool: lot expérimental incomplet — repli PSD pour les images manquantes";
  }
  v.record_timing = true;
  const bool chain_quickly = in.delivered >= in.expected && in.quick_chaining && !in.comp_3d;
  v.next_batch_at_ns = sat_add(in.now_ns, chain_quickly ? kQuickChainNs : kBatchCooldownNs);
  return v;
}

}  // namespace vel
