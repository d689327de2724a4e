#include "store/cleanup_queue.h"

#include <sys/stat.h>

#include <optional>
#include <span>
#include <thread>

#include "core/log.h"
#include "core/threads.h"
#include "store/frame_file_io.h"

namespace vel {

namespace {

void log_cleanup_error(const std::error_code& ec) {
  if (ec && ec != std::errc::no_such_file_or_directory) log_line("ERROR", "\tcleanup: " + ec.message());
}

void remove_stale_entries(const RemoveStaleEntries& req) {
  std::error_code ec;
  fs::directory_iterator it(req.folder, ec);
  log_cleanup_error(ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0 || !entry_is_stale(req.reference, st.st_mtim)) continue;
    std::error_code rm;
    if (S_ISDIR(st.st_mode)) {
      fs::remove_all(it->path(), rm);
    } else {
      fs::remove(it->path(), rm);
    }
    log_cleanup_error(rm);
  }
}

void write_whole_file(const WriteFile& req) {
  std::error_code ec;
  fs::create_directories(req.path.parent_path(), ec);
  if (ec) return log_cleanup_error(ec);
  if (!write_file_atomically(req.path.parent_path(), req.path.filename().string(), req.bytes)) {
    log_line("ERROR", "\tcleanup: cannot write " + req.path.string());
  }
}

struct ProcessCleanup {
  std::mutex mutex;
  bool started = false;
  bool unavailable = false;
  CleanupQueue queue;
  std::thread thread;
};

ProcessCleanup& process_cleanup() {
  static ProcessCleanup& p = *new ProcessCleanup();  // a detached worker may outlive static destruction
  return p;
}

}  // namespace

bool entry_is_stale(const struct timespec& reference, const struct timespec& mtime) {
  const __int128 ref_ns = static_cast<__int128>(reference.tv_sec) * 1'000'000'000 + reference.tv_nsec;
  const __int128 mod_ns = static_cast<__int128>(mtime.tv_sec) * 1'000'000'000 + mtime.tv_nsec;
  if (mod_ns > ref_ns) return false;
  return (ref_ns - mod_ns) / 1'000'000'000 >= kStaleEntrySeconds;
}

void carry_out_cleanup(const CleanupRequest& request) {
  if (const auto* tree = std::get_if<RemoveTree>(&request)) {
    std::error_code ec;
    fs::remove_all(tree->path, ec);
    log_cleanup_error(ec);
  } else if (const auto* held = std::get_if<RemoveHeld>(&request)) {
    if (held->remove) held->remove();
  } else if (const auto* write = std::get_if<WriteFile>(&request)) {
    write_whole_file(*write);
  } else {
    remove_stale_entries(std::get<RemoveStaleEntries>(request));
  }
}

bool CleanupQueue::post(CleanupRequest request) {
  bool taken = false;
  {
    std::lock_guard lock(mutex_);
    if (!closed_ && queue_.size() < capacity_) {
      queue_.push_back(std::move(request));
      taken = true;
    }
  }
  if (!taken) {
    log_line("ERROR", "cleanup: queue unavailable; deferred files retained");
    return false;
  }
  changed_.notify_all();
  return true;
}

void CleanupQueue::run() {
  for (;;) {
    CleanupRequest request;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return closed_ || !queue_.empty(); });
      // What was posted before the close is still carried out (at most 32
      // deletions or small writes): a batch's job folder let go just before
      // the host quit would otherwise stay in the temporary directory.
      if (queue_.empty()) return;
      request = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
    }
    carry_out_cleanup(request);
    {
      std::lock_guard lock(mutex_);
      busy_ = false;
    }
    changed_.notify_all();
  }
}

void CleanupQueue::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

void CleanupQueue::wait_idle() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return queue_.empty() && !busy_; });
}

void post_cleanup_request(CleanupRequest request) {
  ProcessCleanup& p = process_cleanup();
  {
    std::lock_guard lock(p.mutex);
    if (!p.started) {
      p.started = true;
      Result<std::thread> t = spawn_named_thread("velocinta-cleanup", [&p] { p.queue.run(); });
      if (t) {
        p.thread = std::move(t.value());
      } else {
        p.unavailable = true;
        p.queue.close();
      }
    }
  }
  (void)p.queue.post(std::move(request));
}

void stop_cleanup_worker() {
  ProcessCleanup& p = process_cleanup();
  std::lock_guard lock(p.mutex);
  p.started = true;  // no new thread after the stop
  p.queue.close();
  if (p.thread.joinable()) p.thread.join();
}

}  // namespace vel
