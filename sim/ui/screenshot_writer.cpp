#include "ui/screenshot_writer.h"

#include <pthread.h>

namespace sim {

ScreenshotWriter::~ScreenshotWriter() { (void)finish(); }

void ScreenshotWriter::write_later(PaintedWindowPtr painted, std::string path) {
  std::lock_guard<std::mutex> lock(mu_);
  jobs_.push_back(Job{std::move(painted), std::move(path)});
  if (!thread_.joinable()) {
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
  }
  cv_.notify_one();
}

std::vector<ScreenshotWriter::Failed> ScreenshotWriter::finish() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_one();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Failed> out;
  out.swap(failed_);
  return out;
}

void ScreenshotWriter::run() {
  pthread_setname_np(pthread_self(), "sim-screenshot");
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    Status written = write_png(*job.painted, job.path);
    job.painted.reset();
    lock.lock();
    if (!written) failed_.push_back(Failed{job.path, written.error()});
  }
}

}  // namespace sim
