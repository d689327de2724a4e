// The raster threads: one per core the process may run on, less the
// caller's, started once and kept for the process's life (as the device
// thread is). Bands are claimed from a counter, so a thread the machine
// leaves waiting holds up at most the band it took.
#include "platform/metal_rows.h"

#include "platform/gpu_accesses.h"

#include <sched.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {
namespace {

constexpr uint32_t kMaxRasterThreads = 15;

struct Batch {
  RowBand band = nullptr;
  void* context = nullptr;
  int64_t rows = 0;
  int64_t band_rows = 1;
  int64_t bands = 0;
  std::atomic<int64_t> next{0};
  std::atomic<int64_t> finished{0};
  std::mutex mutex;
  std::condition_variable all_finished;

  // Runs bands until none is left to claim.
  void work() {
    for (;;) {
      const int64_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= bands) return;
      const int64_t begin = i * band_rows;
      {
        const GpuCoreWork core;
        band(context, begin, std::min(rows, begin + band_rows));
      }
      if (finished.fetch_add(1, std::memory_order_acq_rel) + 1 == bands) {
        std::lock_guard lock(mutex);
        all_finished.notify_all();
      }
    }
  }
  bool claimed() const { return next.load(std::memory_order_relaxed) >= bands; }
};

uint32_t usable_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) return static_cast<uint32_t>(std::max(CPU_COUNT(&set), 1));
  return std::max(std::thread::hardware_concurrency(), 1u);
}

struct RasterThreads {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::shared_ptr<Batch>> open;  // batches with bands left to claim
  const uint32_t count = std::min(usable_cores() - 1, kMaxRasterThreads);
  std::once_flag started;

  // A thread that cannot start costs only speed: callers run every band
  // that no raster thread claims.
  void start() {
    std::call_once(started, [this] {
      for (uint32_t i = 0; i < count; ++i) {
        try {
          std::thread([this] {
            // A thread inherits its creator's name; the GPU's cores have their own.
            pthread_setname_np(pthread_self(), "mtl-raster");
            run();
          }).detach();
        } catch (const std::system_error&) {
          return;
        }
      }
    });
  }

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return !open.empty(); });
      std::shared_ptr<Batch> b = open.front();
      lock.unlock();
      b->work();
      lock.lock();
      drop(b);
    }
  }

  // Under the mutex.
  void drop(const std::shared_ptr<Batch>& b) {
    auto it = std::find(open.begin(), open.end(), b);
    if (it != open.end()) open.erase(it);
  }
};

RasterThreads& raster_threads() {
  static auto* t = new RasterThreads;  // never destroyed: its threads outlive statics
  return *t;
}

}  // namespace

void run_row_bands(int64_t rows, int64_t row_pixels, RowBand band, void* context) {
  if (rows <= 0) return;
  const int64_t band_rows = std::max<int64_t>(1, kRowBandPixels / std::max<int64_t>(row_pixels, 1));
  const int64_t bands = (rows + band_rows - 1) / band_rows;
  RasterThreads& threads = raster_threads();
  if (bands == 1 || threads.count == 0) {
    const GpuCoreWork core;
    band(context, 0, rows);
    return;
  }
  threads.start();
  auto b = std::make_shared<Batch>();
  b->band = band;
  b->context = context;
  b->rows = rows;
  b->band_rows = band_rows;
  b->bands = bands;
  {
    std::lock_guard lock(threads.mutex);
    threads.open.push_back(b);
  }
  threads.wake.notify_all();
  b->work();
  {
    std::lock_guard lock(threads.mutex);
    threads.drop(b);
  }
  std::unique_lock lock(b->mutex);
  b->all_finished.wait(lock, [&] { return b->finished.load(std::memory_order_acquire) == b->bands; });
}

}  // namespace platform
