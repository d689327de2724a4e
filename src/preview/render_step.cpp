// The in-process producers: the delivery decision over the tick's queue of
// missing frames (delivery_queue.h), synchronous renders on the main thread,
// and asynchronous requests whose results the next ticks collect.
#include <algorithm>
#include <vector>

#include "cache/frame_cache_ops.h"
#include "core/format.h"
#include "core/log.h"
#include "core/machine.h"
#include "host/render_calls.h"
#include "panel/present/present_telemetry.h"
#include "preview/async_render.h"
#include "preview/delivery_measures.h"
#include "preview/delivery_queue.h"
#include "preview/inprocess_render.h"
#include "preview/preview_controller.h"

namespace vel {

namespace {

template <class T>
void sat_inc(T& v) {
  if (v != std::numeric_limits<T>::max()) ++v;
}

double key_seconds(FrameKey k) { return k.scale != 0 ? static_cast<double>(k.value) / k.scale : 0.0; }

// Whether every frame of the work area is in the cache at the wanted width,
// whoever made it. The delivery queue looks at no more frames than the cache
// holds, and passes by a frame whose time has no key at the composition's
// frame rate (a frame beyond 2^31 ticks of it), so its having nothing left
// to make says nothing of the frames it never looked at: a work area longer
// than the cache's frame limit is never all cached, nor one holding a frame
// without a key. At most the frame limit's lookups.
bool work_area_fully_cached(const PreviewController& ctl, const FrameCache& cache, uint32_t want_width) {
  const WorkAreaFrames b = work_area_bounds(ctl.work_area, ctl.frame_count);
  if (b.last < b.first || static_cast<uint64_t>(b.last - b.first) >= cache.frame_limit) return false;
  for (int64_t f = b.first; f <= b.last; ++f) {
    const std::optional<FrameKey> key = frame_key_of(ctl, f);
    const std::optional<uint32_t> width = key ? cached_frame_width(cache, *key) : std::nullopt;
    if (!width || *width < want_width) return false;
  }
  return true;
}

void note_decision(PreviewController& ctl, const DeliveryDecision& d, const DeliveryMeasures& m) {
  if (ctl.last_decision && *ctl.last_decision == d) return;
  ctl.last_decision = d;
  perf_log(delivery_perf_line(d) + delivery_measures_text(m));
}

// A produced frame, for the presentation telemetry and the dispatch timings
// (asynchronous deliveries and synchronous renders keep marks of their own).
void note_produced(PreviewController& ctl, const GrabbedFrame& g, const char* backend, bool async_mark) {
  record_produced_frame(g.to_rgba_frame(), backend, g.render_ms);
  record_delivery_time(ctl.bench, async_mark, preview_clock_ms(ctl, mono_ns()));
}

// Caches a produced frame; a refusal marks the key so it is not produced
// again and again: for good when the frame itself was refused, until the
// playhead comes near it when only room was lacking.
bool cache_produced(PreviewController& ctl, FrameCache& cache, FrameKey key, const GrabbedFrame& g) {
  const OfferAnswer a = offer_rendered_frame(cache, key, g.to_rgba_frame());
  if (a == OfferAnswer::Stored) {
    ctl.room_refused.forget(key);
    return true;
  }
  sat_inc(ctl.counters.cache_refused);
  if (a == OfferAnswer::NoRoom) {
    ctl.room_refused.note(key, cache.focus);
  } else {
    ctl.unplaceable.insert(key);
  }
  return false;
}

// False when the user interrupted the host's render: the frame is fine and
// is asked for again later, but nothing more renders in this tick.
bool render_sync(PreviewController& ctl, FrameCache& cache, int64_t frame, FrameKey key, uint32_t ds,
                 PreviewTickReport& report) {
  RenderRequest req{ctl.pinned_handle, ctl.plugin_id, key, ds, ctl.depth_bpc};
  auto g = render_frame_sync(req);
  if (!g) {
    if (g.error().kind == GrabError::Kind::Cancelled) return false;
    sat_inc(ctl.counters.sync_failed);
    ctl.unplaceable.insert(key);
    log_line("ERROR", "preview: sync render of frame " + std::to_string(frame) + " failed: " + g.error().describe());
    return true;
  }
  record_inprocess_render_time(ctl, ds, g.value().render_ms);
  note_produced(ctl, g.value(), "sync", false);
  if (!cache_produced(ctl, cache, key, g.value())) return true;
  sat_inc(ctl.counters.sync_frames);
  note_frame_road(ctl, cache, key, FrameRoad::Sync);
  ++report.sync_cached;
  (void)present_at_playhead(ctl, g.value().to_rgba_frame(), key);
  return true;
}

void on_async_complete(void* refcon, uint64_t request_id, bool cancelled, const std::optional<AeError>& render_error,
                       const WorldView* world) {
  auto* ticket = static_cast<AsyncTicket*>(refcon);
  std::optional<HostPixels> pixels;
  std::string error = render_error ? to_string(*render_error) : std::string();
  if (world != nullptr) {
    auto p = host_pixels_of(*world);
    if (p) {
      pixels = p.value();
    } else {
      error = p.error();
    }
  }
  // A render the user interrupted says nothing about the frame: it comes
  // back like a cancelled one, to be asked for again.
  const bool interrupted = render_error && render_error->kind() == AeErrorKind::InterruptCancel;
  deliver_async_result(*ticket, request_id, cancelled || interrupted, error, pixels ? &*pixels : nullptr);
  delete ticket;
}

bool submit_async(PreviewController& ctl, FrameKey key, uint32_t ds, uint64_t now_ns, PreviewTickReport& report) {
  RenderRequest req{ctl.pinned_handle, ctl.plugin_id, key, ds, ctl.depth_bpc};
  auto opts = render_options_for(req);
  if (!opts) {
    log_line("ERROR", "async: " + opts.error().describe());
    ctl.unplaceable.insert(key);
    return false;
  }
  auto* ticket = new AsyncTicket{async_generation(), key, ds, now_ns};
  note_async_submitted();  // before the host may call back
  auto id = submit_async_render(ctl.plugin_id, opts.value(), &on_async_complete, ticket);
  if (!id) {
    note_async_refused();
    delete ticket;
    ctl.async_broken = true;
    log_line("ERROR", "async: submission refused (" + to_string(id.error()) + "); synchronous renders only");
    return false;
  }
  ctl.async_pending.emplace(id.value(), key);
  ctl.async_pending_keys.insert(key);
  sat_inc(ctl.counters.async_submitted);
  ++report.async_submitted;
  return true;
}

}  // namespace

void async_render_tick(PreviewController& ctl, FrameCache& cache, PreviewTickReport& report) {
  std::vector<AsyncDelivery> got = take_async_deliveries();
  if (got.empty()) return;
  const uint64_t gen = async_generation();
  for (AsyncDelivery& d : got) {
    if (auto it = ctl.async_pending.find(d.request_id); it != ctl.async_pending.end()) {
      ctl.async_pending_keys.erase(it->second);
      ctl.async_pending.erase(it);
    }
    if (d.cancelled) {
      sat_inc(ctl.counters.async_cancelled);
      continue;
    }
    if (d.ticket.generation != gen) {
      sat_inc(ctl.counters.async_stale);
      continue;
    }
    if (!d.frame) {
      sat_inc(ctl.counters.async_failed);
      ctl.unplaceable.insert(d.ticket.key);
      log_line("ERROR", "async: frame at " + fmt_f64(key_seconds(d.ticket.key)) + " s failed: " + d.error);
      continue;
    }
    if (ctl.pool_link.render_timed) ctl.pool_link.render_timed("rendu async", d.frame->render_ms);
    if (record_async_sample(ctl.level_times, d.ticket.downsample, d.frame->render_ms)) {
      note_level_delivery(ctl.level_times, d.ticket.downsample, monotonic_ms());
    }
    note_produced(ctl, *d.frame, "async", true);
    if (!cache_produced(ctl, cache, d.ticket.key, *d.frame)) continue;
    sat_inc(ctl.counters.async_frames);
    note_frame_road(ctl, cache, d.ticket.key, FrameRoad::Async);
    ++report.async_cached;
    (void)present_at_playhead(ctl, d.frame->to_rgba_frame(), d.ticket.key);
  }
}

void preview_render_step(PreviewController& ctl, FrameCache& cache, const PreviewTickInputs& in,
                         PreviewTickReport& report) {
  const uint32_t ds = effective_downsample(ctl);
  if (ctl.unplaceable_downsample != ds) {
    ctl.unplaceable.clear();
    ctl.room_refused.clear();
    ctl.unplaceable_downsample = ds;
  }
  const uint32_t want_width =
      ctl.comp_size.width > 0 ? downsampled_size(static_cast<uint32_t>(ctl.comp_size.width), ds) : 0;
  const bool has_comp = ctl.pinned_handle != nullptr && ctl.timing.has_value() && ctl.frame_count > 0;
  const bool async_manager = ctl.async_allowed && async_render_manager_available();
  // What the pool still claims, asked once per tick while the asynchronous
  // renderer may take a claim over: the pool gives up the jobs it would beat.
  PoolView pool;
  pool.claims_asked = has_comp && async_manager && !ctl.async_broken && ctl.pool_link.claimed_ranges;
  if (pool.claims_asked) pool.claims = ctl.pool_link.claimed_ranges(ds);
  DeliveryQueue queue;
  if (has_comp) queue = build_delivery_queue(ctl, cache, want_width, in, pool, ctl.delivery_window);
  report.frames_unclaimed = queue.frames_unclaimed;
  // The work area is cached only when no frame of it is missing, whoever
  // is producing the missing ones.
  const bool none_missing = queue.none_missing;
  const DeliveryQueue& missing = queue;

  const DeliveryMeasures measures =
      measure_delivery(ctl.level_times, ctl.per_factor_ms, ds, std::max<size_t>(missing.size(), 1), monotonic_ms());

  size_t next = 0;
  const uint64_t t0 = mono_ns();
  bool sync_spent = false;
  while (true) {
    DeliveryInputs di;
    di.has_comp = has_comp;
    di.modal = in.modal;
    di.edit_quiet = edit_quiet_elapsed(ctl, in.now_ns);
    di.renders_in_flight = ctl.async_pending.size();
    di.async_available = async_manager && !ctl.async_broken;  // a refusal turns it off mid-tick
    di.async_stalled = async_stalled(measures, !ctl.async_pending.empty());
    // A composition longer than the cache holds is never filled by the raster
    // threads: the host's renderer keeps it.
    di.raster_ready = ctl.raster_comp != nullptr && static_cast<uint64_t>(ctl.frame_count) <= cache.frame_limit;
    di.pool_ready = in.pool_ready;
    di.pool_engaged = in.pool_engaged;
    const DeliveryDecision d = decide_delivery(delivery_inputs_at(queue, next, di));
    note_decision(ctl, d, measures);
    if (d.producer == Producer::InProcessSync) {
      if (sync_spent || !render_sync(ctl, cache, missing[next].frame, missing[next].key, ds, report)) break;
      ++next;
      // The main thread has rendered enough for this tick; the render
      // manager may still be asked for the frames after it, so that the
      // playhead's next frames are not all left to the main thread.
      sync_spent = mono_ns() - t0 >= kSyncTickBudgetNs;
    } else if (d.producer == Producer::InProcessAsync) {
      // The host holds a few requests at a time; the rest wait for a later tick.
      if (ctl.async_pending.size() >= kMaxAsyncInFlight) break;
      // A frame the pool still claims is the pool's to deliver.
      if (!frame_in_ranges(pool.claims, missing[next].frame)) {
        submit_async(ctl, missing[next].key, ds, in.now_ns, report);
      }
      ++next;
    } else {
      if (d.producer == Producer::Pool) {
        for (size_t i = next; i < missing.size(); ++i) report.pool_frames.push_back(missing[i].frame);
      }
      break;
    }
  }

  if (has_comp && none_missing && ctl.async_pending.empty() && ctl.store_pending.empty() &&
      !ctl.sweep_reported) {
    // Nothing is left to make within reach; the work area is said cached
    // only when all of it is.
    ctl.sweep_reported = true;
    if (!work_area_fully_cached(ctl, cache, want_width)) return;
    const WorkAreaFrames b = work_area_bounds(ctl.work_area, ctl.frame_count);
    log_line("INFO", work_area_cached_line(b, count_work_area_roads(ctl), ds));
  }
}

}  // namespace vel
