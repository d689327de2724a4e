// The asynchronous render manager: requests queue on the main thread and are
// rendered in order on the host's render thread, which calls each request's
// completion exactly once, also for a cancelled one (flagged, no world).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "hostsdk/render.h"
#include "project/project_store.h"
#include "render/render_service.h"
#include "suites/live_set.h"

namespace sim {

struct AsyncCounts {
  uint64_t completed = 0;  // delivered with a world
  uint64_t cancelled = 0;
  uint64_t failed = 0;
};

class AsyncRenderer {
 public:
  AsyncRenderer(ProjectStore& project, LentSet& worlds) : project_(project), worlds_(worlds) {}
  ~AsyncRenderer();

  // 0 (refused) after shutdown or when the render thread cannot start.
  AEGP_AsyncRequestId submit(const RenderOptionsRec& options, AEGP_AsyncFrameReadyCallback callback, void* refcon);
  // Marks a queued or running request cancelled; unknown ids are ignored.
  void cancel(AEGP_AsyncRequestId id);
  // Completes every request still queued as cancelled and joins the thread.
  void shutdown();
  AsyncCounts counts() const;

 private:
  struct Request {
    AEGP_AsyncRequestId id = 0;
    RenderOptionsRec options;
    AEGP_AsyncFrameReadyCallback callback = nullptr;
    void* refcon = nullptr;
    std::atomic<bool> cancelled{false};
  };
  void run();
  void complete(Request& req, RenderOutcome outcome);

  ProjectStore& project_;
  LentSet& worlds_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<Request>> queue_;
  std::shared_ptr<Request> running_;
  AEGP_AsyncRequestId next_id_ = 1;
  bool stopping_ = false;
  bool stopped_ = false;
  std::thread thread_;
  AsyncCounts counts_;
};

}  // namespace sim
