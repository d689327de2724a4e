#include "metal_state.h"

#include <array>
#include <condition_variable>
#include <deque>
#include <map>
#include <pthread.h>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {
namespace metal_state {
namespace {

struct Faults {
  std::mutex mutex;
  MetalCompletion completion = MetalCompletion::at_commit;
  uint64_t failing_buffers = 0;
  std::array<uint64_t, 7> failing_creations{};
  std::optional<NSError> library_error;
  std::optional<NSError> pipeline_error;
  bool gpu = true;
  std::vector<std::string> misuse;
  std::map<std::string, std::shared_ptr<const RegisteredProgram>, std::less<>> programs;
  std::deque<std::shared_ptr<MTLCommandBuffer>> held;
};

Faults& faults() {
  static Faults* f = new Faults;  // never destroyed: worker threads may outlive statics
  return *f;
}

std::array<std::atomic<int64_t>, kKinds>& live() {
  static std::array<std::atomic<int64_t>, kKinds> counts{};
  return counts;
}
std::atomic<uint64_t> g_copies{0};
std::atomic<uint64_t> g_draws{0};
std::array<std::atomic<uint64_t>, 4> g_presents{};

// The device's own thread: ends buffers in commit order.
struct DeviceThread {
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable idle;
  std::deque<std::shared_ptr<MTLCommandBuffer>> queue;
  bool busy = false;
  bool started = false;

  void push(std::shared_ptr<MTLCommandBuffer> b) {
    std::lock_guard lock(mutex);
    queue.push_back(std::move(b));
    if (!started) {
      started = true;
      std::thread([this] {
        // A thread inherits its creator's name; the GPU's is its own.
        pthread_setname_np(pthread_self(), "mtl-device");
        run();
      }).detach();
    }
    wake.notify_one();
  }
  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return !queue.empty(); });
      std::shared_ptr<MTLCommandBuffer> b = std::move(queue.front());
      queue.pop_front();
      busy = true;
      lock.unlock();
      b->finish(true, take_command_failure());
      b.reset();
      lock.lock();
      busy = false;
      if (queue.empty()) idle.notify_all();
    }
  }
  void wait_idle() {
    std::unique_lock lock(mutex);
    idle.wait(lock, [&] { return queue.empty() && !busy; });
  }
};

DeviceThread& device_thread() {
  static DeviceThread* t = new DeviceThread;
  return *t;
}

}  // namespace

void count_live(LedgerKind kind, int64_t delta) { live()[kind].fetch_add(delta, std::memory_order_relaxed); }
void count_copy() { g_copies.fetch_add(1, std::memory_order_relaxed); }
void count_draw() { g_draws.fetch_add(1, std::memory_order_relaxed); }
void count_present(PresentKind kind) { g_presents[kind].fetch_add(1, std::memory_order_relaxed); }

void record_misuse(std::string line) {
  std::lock_guard lock(faults().mutex);
  faults().misuse.push_back(std::move(line));
}

bool take_creation_failure(MetalCreation what) {
  std::lock_guard lock(faults().mutex);
  uint64_t& n = faults().failing_creations[static_cast<size_t>(what)];
  if (n == 0) return false;
  --n;
  return true;
}

bool take_command_failure() {
  std::lock_guard lock(faults().mutex);
  if (faults().failing_buffers == 0) return false;
  --faults().failing_buffers;
  return true;
}

std::optional<NSError> library_failure() {
  std::lock_guard lock(faults().mutex);
  return faults().library_error;
}
std::optional<NSError> pipeline_failure() {
  std::lock_guard lock(faults().mutex);
  return faults().pipeline_error;
}
bool gpu_available() {
  std::lock_guard lock(faults().mutex);
  return faults().gpu;
}

std::shared_ptr<const RegisteredProgram> registered_program(std::string_view source) {
  std::lock_guard lock(faults().mutex);
  auto it = faults().programs.find(source);
  return it == faults().programs.end() ? nullptr : it->second;
}

void dispatch_committed(std::shared_ptr<MTLCommandBuffer> buffer) {
  MetalCompletion mode;
  {
    std::lock_guard lock(faults().mutex);
    mode = faults().completion;
    if (mode == MetalCompletion::held) {
      faults().held.push_back(std::move(buffer));
      return;
    }
  }
  switch (mode) {
    case MetalCompletion::device_thread:
      device_thread().push(std::move(buffer));
      return;
    case MetalCompletion::without_executing:
      buffer->finish(false, take_command_failure());
      return;
    default:
      buffer->finish(true, take_command_failure());
      return;
  }
}

}  // namespace metal_state

using namespace metal_state;

void register_shader_program(RegisteredProgram program) {
  auto shared = std::make_shared<const RegisteredProgram>(std::move(program));
  std::lock_guard lock(faults().mutex);
  faults().programs[shared->source] = shared;
}

void set_metal_completion(MetalCompletion mode) {
  std::lock_guard lock(faults().mutex);
  faults().completion = mode;
}
MetalCompletion metal_completion() {
  std::lock_guard lock(faults().mutex);
  return faults().completion;
}

uint64_t release_held_command_buffers(uint64_t count) {
  uint64_t done = 0;
  while (done < count) {
    std::shared_ptr<MTLCommandBuffer> b;
    {
      std::lock_guard lock(faults().mutex);
      if (faults().held.empty()) break;
      b = std::move(faults().held.front());
      faults().held.pop_front();
    }
    b->finish(true, take_command_failure());
    ++done;
  }
  return done;
}

uint64_t held_command_buffer_count() {
  std::lock_guard lock(faults().mutex);
  return faults().held.size();
}

void wait_metal_device_idle() { device_thread().wait_idle(); }

void fail_next_command_buffers(uint64_t count) {
  std::lock_guard lock(faults().mutex);
  faults().failing_buffers = count;
}
void fail_next_creations(MetalCreation what, uint64_t count) {
  std::lock_guard lock(faults().mutex);
  faults().failing_creations[static_cast<size_t>(what)] = count;
}
void fail_library_compilation(std::optional<NSError> error) {
  std::lock_guard lock(faults().mutex);
  faults().library_error = std::move(error);
}
void fail_pipeline_creation(std::optional<NSError> error) {
  std::lock_guard lock(faults().mutex);
  faults().pipeline_error = std::move(error);
}
void set_gpu_available(bool available) {
  std::lock_guard lock(faults().mutex);
  faults().gpu = available;
}

void reset_metal_faults() {
  release_held_command_buffers();
  std::lock_guard lock(faults().mutex);
  faults().completion = MetalCompletion::at_commit;
  faults().failing_buffers = 0;
  faults().failing_creations = {};
  faults().library_error.reset();
  faults().pipeline_error.reset();
  faults().gpu = true;
}

MetalLedger metal_ledger() {
  auto& c = live();
  MetalLedger l;
  l.devices = c[kDevice].load();
  l.queues = c[kQueue].load();
  l.libraries = c[kLibrary].load();
  l.pipelines = c[kPipeline].load();
  l.buffers = c[kBuffer].load();
  l.textures = c[kTexture].load();
  l.command_buffers = c[kCommandBuffer].load();
  l.drawables = c[kDrawable].load();
  l.buffer_to_texture_copies = g_copies.load();
  l.draws = g_draws.load();
  return l;
}

MetalPresentTotals metal_present_totals() {
  return {g_presents[kPresentDrawn].load(), g_presents[kPresentBlitted].load(), g_presents[kPresentDirect].load(),
          g_presents[kPresentCleared].load()};
}

std::vector<std::string> metal_misuse_record() {
  std::lock_guard lock(faults().mutex);
  return faults().misuse;
}
void clear_metal_misuse_record() {
  std::lock_guard lock(faults().mutex);
  faults().misuse.clear();
}

}  // namespace platform
