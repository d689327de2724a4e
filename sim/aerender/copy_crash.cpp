#include "copy_crash.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace sim {

namespace {

std::atomic<bool> stalled{false};

void stall_here(int) {
  stalled.store(true);
  for (;;) ::pause();  // until the watcher kills the process
}

// The slot state word (offset 32) of the one output segment this process
// has mapped, read through the mapping; -1 when no segment is mapped.
int64_t mapped_slot_state() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find("/dev/shm/vnx_") == std::string::npos) continue;
    const uintptr_t start = std::stoull(line.substr(0, line.find('-')), nullptr, 16);
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(start + 32), __ATOMIC_ACQUIRE);
  }
  return -1;
}

}  // namespace

StallingPixels::StallingPixels(size_t len) : len_(len) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  mapped_ = std::max(page * 3, (len + page - 1) / page * page);
  void* p = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  bytes_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

StallingPixels::~StallingPixels() {
  if (bytes_ != nullptr) ::munmap(bytes_, mapped_);
}

void StallingPixels::fill_and_withhold(const uint8_t* src) {
  if (bytes_ == nullptr) return;
  std::memcpy(bytes_, src, len_);
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  ::mprotect(bytes_ + (len_ / 2) / page * page, page, PROT_NONE);
}

void arm_copy_crash(std::FILE* log) {
  struct sigaction sa {};
  sa.sa_handler = stall_here;
  ::sigaction(SIGSEGV, &sa, nullptr);
  std::thread([log] {
    while (!stalled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::fprintf(log, "aerender: killed during the module's copy, slot state %lld\n",
                 static_cast<long long>(mapped_slot_state()));
    std::fflush(log);
    ::raise(SIGKILL);
  }).detach();
}

}  // namespace sim
