#include "preview/async_render.h"

#include <exception>
#include <string>

#include "core/log.h"
#include "core/machine.h"
#include "core/process_flags.h"
#include "preview/inprocess_render.h"

namespace vel {

namespace {

struct AsyncInbox {
  std::atomic<uint64_t> generation{1};
  std::atomic<uint64_t> in_flight{0};
  std::mutex mu;
  std::vector<AsyncDelivery> waiting;
};

AsyncInbox& inbox() {
  static AsyncInbox& box = *new AsyncInbox;
  return box;
}

// One render fewer in flight (never below zero).
void leave_flight() {
  auto& n = inbox().in_flight;
  uint64_t v = n.load(std::memory_order_relaxed);
  while (v > 0 && !n.compare_exchange_weak(v, v - 1, std::memory_order_acq_rel)) {
  }
}

double ms_between(uint64_t from_ns, uint64_t to_ns) {
  return to_ns > from_ns ? static_cast<double>(to_ns - from_ns) / 1e6 : 0.0;
}

}  // namespace

uint64_t async_generation() { return inbox().generation.load(std::memory_order_acquire); }

uint64_t async_renders_in_flight() { return inbox().in_flight.load(std::memory_order_acquire); }

uint64_t raise_async_generation() { return inbox().generation.fetch_add(1, std::memory_order_acq_rel) + 1; }

void note_async_submitted() { inbox().in_flight.fetch_add(1, std::memory_order_acq_rel); }

void note_async_refused() { leave_flight(); }

namespace {

// The converted frame of a completion; an error text when there is none.
Result<GrabbedFrame> convert_delivery(const AsyncTicket& ticket, const HostPixels& pixels) {
  const uint64_t done_ns = mono_ns();
  auto payload = convert_to_payload(pixels);
  if (!payload.ok()) return err(payload.error());
  GrabbedFrame f;
  f.pixels = std::move(payload.value());
  f.width = pixels.width;
  f.height = pixels.height;
  f.downsample = ticket.downsample;
  f.time = ticket.key.scale != 0 ? static_cast<double>(ticket.key.value) / ticket.key.scale : 0.0;
  f.source_depth = pixels.depth;
  f.render_ms = ms_between(ticket.submit_ns, done_ns);
  f.convert_ms = ms_between(done_ns, mono_ns());
  return f;
}

}  // namespace

void deliver_async_result(const AsyncTicket& ticket, uint64_t request_id, bool cancelled, const std::string& error,
                          const HostPixels* pixels) {
  try {
    AsyncDelivery d;
    d.ticket = ticket;
    d.request_id = request_id;
    d.cancelled = cancelled;
    if (!cancelled && pixels == nullptr) {
      d.error = error.empty() ? "no world" : error;
    } else if (!cancelled && ticket.generation == async_generation()) {
      // A stale frame is not worth converting; the tick drops it either way.
      try {
        auto f = convert_delivery(ticket, *pixels);
        if (f.ok()) {
          d.frame = std::move(f.value());
        } else {
          d.error = f.error();
        }
      } catch (const std::exception& e) {
        d.error = std::string("conversion failed: ") + e.what();
      }
    }
    {
      std::lock_guard lk(inbox().mu);
      inbox().waiting.push_back(std::move(d));
    }
    request_early_idle();
  } catch (...) {
    // Not even the delivery could be posted: at least leave the flight
    // count, or the gates waiting for it to reach 0 would wait forever.
    leave_flight();
    log_line("ERROR", "async: completion dropped");
  }
}

std::vector<AsyncDelivery> take_async_deliveries() {
  std::vector<AsyncDelivery> out;
  {
    std::lock_guard lk(inbox().mu);
    out.swap(inbox().waiting);
  }
  for (size_t i = 0; i < out.size(); ++i) leave_flight();
  return out;
}

void reset_async_inbox_for_tests() {
  std::lock_guard lk(inbox().mu);
  inbox().waiting.clear();
  inbox().in_flight.store(0);
}

}  // namespace vel
