#include "render/async_renderer.h"

#include <pthread.h>

namespace sim {

AsyncRenderer::~AsyncRenderer() { shutdown(); }

AEGP_AsyncRequestId AsyncRenderer::submit(const RenderOptionsRec& options, AEGP_AsyncFrameReadyCallback callback,
                                          void* refcon) {
  auto req = std::make_shared<Request>();
  req->options = options;
  req->callback = callback;
  req->refcon = refcon;
  std::lock_guard<std::mutex> lock(mu_);
  if (stopping_ || stopped_) return 0;
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      return 0;
    }
  }
  req->id = next_id_++;
  queue_.push_back(req);
  cv_.notify_one();
  return req->id;
}

void AsyncRenderer::cancel(AEGP_AsyncRequestId id) {
  std::lock_guard<std::mutex> lock(mu_);
  if (running_ && running_->id == id) running_->cancelled.store(true, std::memory_order_release);
  for (auto& r : queue_) {
    if (r->id == id) r->cancelled.store(true, std::memory_order_release);
  }
}

void AsyncRenderer::shutdown() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopped_) return;
    stopping_ = true;
    if (running_) running_->cancelled.store(true, std::memory_order_release);
    for (auto& r : queue_) r->cancelled.store(true, std::memory_order_release);
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mu_);
  stopped_ = true;
}

AsyncCounts AsyncRenderer::counts() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counts_;
}

void AsyncRenderer::complete(Request& req, RenderOutcome outcome) {
  const bool cancelled = outcome.cancelled || req.cancelled.load(std::memory_order_acquire);
  World* world = cancelled ? nullptr : outcome.world.get();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (cancelled) ++counts_.cancelled;
    else if (outcome.err != A_Err_NONE || !world) ++counts_.failed;
    else ++counts_.completed;
  }
  // The world is the plug-in's to read only while its completion runs.
  if (world) worlds_.lend(world);
  req.callback(req.refcon, req.id, cancelled ? 1 : 0, cancelled ? A_Err_NONE : outcome.err,
               reinterpret_cast<AEGP_WorldH>(world));
  if (world) worlds_.take_back(world);
}

void AsyncRenderer::run() {
  pthread_setname_np(pthread_self(), "simhost-render");
  for (;;) {
    std::shared_ptr<Request> req;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      req = queue_.front();
      queue_.pop_front();
      running_ = req;
    }
    RenderOutcome outcome;
    if (req->cancelled.load(std::memory_order_acquire)) {
      outcome.cancelled = true;
    } else {
      ProjectSnapshot snap = project_.snapshot();
      outcome = render_to_world(*snap, req->options, &req->cancelled);
    }
    {
      // From here on a cancel finds nothing to cancel: the render is done.
      std::lock_guard<std::mutex> lock(mu_);
      running_.reset();
    }
    complete(*req, std::move(outcome));
  }
}

}  // namespace sim
