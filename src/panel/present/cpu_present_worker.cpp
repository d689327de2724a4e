#include "panel/present/cpu_present_worker.h"

#include <algorithm>
#include <cmath>

#include "cache/memory_pressure.h"
#include "core/log.h"
#include "core/process_flags.h"
#include "panel/present/pacemaker.h"
#include "panel/present/pixel_prep.h"
#include "panel/present/present_telemetry.h"
#include "panel/present/present_workers.h"

namespace vel {

void stop_presenter(PresenterMailbox& mailbox) {
  {
    std::lock_guard lock(mailbox.mutex);
    mailbox.stop = true;
  }
  mailbox.wake.notify_all();
}

void present_worker_wake_host() {
  if (pacemaker().stopped()) return;
  request_early_idle();  // itself silent behind a modal window or when dying
}

void cpu_present_worker_loop(CpuPresentWorker worker) {
  PresenterMailbox& box = *worker.mailbox;
  PresentScratch scratch;
  PresentByteCount counted;
  auto pressure = worker.pressure_percent ? worker.pressure_percent : [] { return memory_pressure_percent(); };

  std::unique_lock lock(box.mutex);
  while (true) {
    box.wake.wait(lock, [&] { return box.job.has_value() || box.stop; });
    if (box.stop) break;
    PresenterJob job = std::move(*box.job);
    box.job.reset();
    std::vector<uint8_t> output = std::move(box.output);
    box.output = {};
    box.recount_locked();
    counted.recount(saturating_sum(scratch.counted_bytes(), output.capacity()));
    lock.unlock();

    const double start = monotonic_ms();
    const RgbaFrame& f = job.frame;
    bool ok = false;
    uint32_t pw = 0, ph = 0;
    if (auto img = prepare_present_pixels(f.pixels.data(), f.pixels.size(), f.width, f.height, job.target_width,
                                          job.target_height, scratch, pressure())) {
      pw = img->width;
      ph = img->height;
      const size_t n = static_cast<size_t>(pw) * ph * 4;
      ok = reserve_present_buffer(output, n) &&
           flatten_on_checkerboard(img->pixels, img->length, pw, ph, checker_cell(pw, job.target_width),
                                   worker.swap_red_blue, output.data(), output.size());
    }
    const double elapsed = monotonic_ms() - start;
    counted.recount(saturating_sum(scratch.counted_bytes(), output.capacity()));

    lock.lock();
    if (box.stop) break;
    bool wake_host = false;
    if (ok) {
      PresentEvent ev;
      ev.backend = "cpu-prepare";
      ev.kind = kEventPrepared;
      ev.request = job.request;
      ev.target_time = job.request.time;
      ev.duration_ms = elapsed;
      ev.detail = view_fit_detail(f.width, pw, job.target_width);
      ev.shown_width = pw;
      record_present_event(f, ev);
      wake_host = store_prepared_result(box, PreparedFrame{std::move(job), std::move(output), pw, ph});
    } else {
      if (box.output.capacity() < output.capacity()) box.output = std::move(output);
      box.recount_locked();
      if (job.generation == box.generation && !box.job) {
        if (box.failures != UINT32_MAX) ++box.failures;
        box.retry_at_ms = monotonic_ms() + 100.0 * static_cast<double>(1u << std::min<uint32_t>(box.failures, 5));
        if (box.failures == 1) log_line("ERROR", "present: CPU preparation failed; retaining previous image and retrying");
      }
      wake_host = true;
    }
    output = {};
    counted.recount(scratch.counted_bytes());
    lock.unlock();
    job = PresenterJob{};  // the frame is released outside the lock
    if (wake_host && worker.on_result) worker.on_result();
    lock.lock();
  }
}

Status<> start_cpu_present_worker(CpuPresentWorker worker) {
  std::shared_ptr<PresenterMailbox> mailbox = worker.mailbox;
  return present_workers().start(
      "velocinta-pixels", [worker = std::move(worker)]() mutable { cpu_present_worker_loop(std::move(worker)); },
      [mailbox] { stop_presenter(*mailbox); });
}

}  // namespace vel
