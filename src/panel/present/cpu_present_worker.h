// The CPU present worker "velocinta-pixels": prepares, off the main thread,
// the newest frame its panel posted into the presenter mailbox and leaves
// the opaque result there for the panel to show.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/result.h"
#include "panel/present/presenter_mailbox.h"

namespace vel {

struct CpuPresentWorker {
  std::shared_ptr<PresenterMailbox> mailbox;
  bool swap_red_blue = false;
  // Called after a result was stored or a preparation failed, outside the
  // lock: asks the host for an early idle call.
  std::function<void()> on_result;
  // memory_pressure_percent, injectable.
  std::function<uint64_t()> pressure_percent;
};

// The worker's body: runs until the mailbox is stopped.
void cpu_present_worker_loop(CpuPresentWorker worker);

// Tells the worker to end (it may be mid-preparation: it ends at its next
// lock).
void stop_presenter(PresenterMailbox& mailbox);

// Starts the worker on "velocinta-pixels" through the present-worker
// registry; an error (already logged) at the limit or when no thread starts.
Status<> start_cpu_present_worker(CpuPresentWorker worker);

// The early idle request a present worker makes: not behind a modal
// window, nor once the pacemaker is stopped.
void present_worker_wake_host();

}  // namespace vel
