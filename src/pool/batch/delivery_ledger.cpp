#include "pool/batch/delivery_ledger.h"

#include <algorithm>

#include "core/saturating.h"

namespace vel {

DeliveryBooking book_delivery(DeliveryLedger& ledger, const PoolFrameDelivery& message, const BatchTimeBase& time,
                              bool already_served, DeliveringJob job, uint64_t now_ns) {
  DeliveryBooking b;
  const int64_t frame = message.frame;
  if (message.null_output) {
    ledger.null_frames.insert(frame);
    b.kind = DeliveryKind::NullOutput;
    return b;
  }
  ledger.handed.erase(frame);
  if (message.foreign_size) {
    sat_inc(ledger.foreign_frames);
    if (!ledger.foreign_size) ledger.foreign_size = message.foreign_size;
    b.kind = DeliveryKind::ForeignSize;
    return b;
  }
  if (!message.pixels) {
    b.kind = DeliveryKind::FailedRead;
    b.failed = ledger.tries.note_failed_read(frame, now_ns, message.undecodable_file);
    return b;
  }
  const std::pair<uint32_t, uint32_t> size{message.pixels->width, message.pixels->height};
  if (ledger.last_frame_size != size) {
    b.size_changed = true;
    ledger.last_frame_size = size;
  }
  ledger.tries.note_delivered(frame);
  b.key = batch_frame_key(time, frame);
  if (!b.key) {
    b.kind = DeliveryKind::NoHostTime;
    return b;
  }
  b.kind = DeliveryKind::Frame;
  sat_inc(ledger.delivered);
  b.useful = !already_served;
  if (b.useful) {
    sat_inc(ledger.useful_frames);
    if (job.known && !job.finished) sat_inc(ledger.cohort_frames);
  }
  return b;
}

std::string foreign_frames_text(uint64_t count, FrameDimensions found, FrameDimensions requested) {
  const auto size = [](FrameDimensions d) { return std::to_string(d.width) + "x" + std::to_string(d.height); };
  return "pool: lot arrêté — " + std::to_string(count) + " image(s) d'une autre taille refusée(s) (" + size(found) +
         " au lieu de " + size(requested) + ")";
}

std::optional<double> batch_per_frame_ms(double elapsed_ms, std::optional<double> first_delivery_ms,
                                         uint64_t delivered, bool measure_valid) {
  if (delivered < 3 || !first_delivery_ms || !measure_valid) return std::nullopt;
  return std::max(0.0, (elapsed_ms - *first_delivery_ms) / static_cast<double>(delivered - 1));
}

}  // namespace vel
