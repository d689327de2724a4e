#include "process_variants.h"

#include "aerender_faults.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace sim {

Result<ProcessVariants> read_process_variants(const EnvLookupFn& getenv) {
  ProcessVariants v;
  struct Field {
    const char* name;
    int64_t hi;
    std::function<void(int64_t)> set;
  };
  const Field fields[] = {
      {"SIM_AERENDER_ENGINES", 8, [&](int64_t n) { v.engines = static_cast<uint32_t>(n); }},
      {"SIM_AERENDER_ENGINE_HELPER", 1, [&](int64_t n) { v.engine_helper = n == 1; }},
      {"SIM_AERENDER_CLIENT_MIB", 4096, [&](int64_t n) { v.client_mib = static_cast<uint32_t>(n); }},
      {"SIM_AERENDER_ENGINE_MIB", 4096, [&](int64_t n) { v.engine_mib = static_cast<uint32_t>(n); }},
      {"SIM_AERENDER_CLIENT_CPU", 100, [&](int64_t n) { v.client_cpu_percent = static_cast<uint32_t>(n); }},
      {"SIM_AERENDER_ENGINE_CPU", 100, [&](int64_t n) { v.engine_cpu_percent = static_cast<uint32_t>(n); }},
      {"SIM_AERENDER_EXIT_AFTER", 10'000'000, [&](int64_t n) { v.exit_after = static_cast<uint64_t>(n); }},
      {"SIM_AERENDER_EXIT_STATUS", 255, [&](int64_t n) { v.exit_status = static_cast<int>(n); }},
      {"SIM_AERENDER_EXIT_SIGNAL", 64, [&](int64_t n) { v.exit_signal = static_cast<int>(n); }},
      {"SIM_AERENDER_ENGINE_LINGER_MS", 60'000, [&](int64_t n) { v.engine_linger_ms = static_cast<uint32_t>(n); }},
      {"SIM_AERENDER_GROUP_CHILDREN", 8, [&](int64_t n) { v.group_children = static_cast<uint32_t>(n); }},
  };
  for (const Field& f : fields) {
    if (auto text = getenv(f.name)) {
      const auto n = switch_number(*text, f.hi);
      if (!n) return fail(std::string(f.name) + ": bad value " + *text);
      f.set(*n);
    }
  }
  if (v.exit_signal && *v.exit_signal == 0) return fail("SIM_AERENDER_EXIT_SIGNAL: bad value 0");
  return v;
}

void take_memory_and_cpu(uint32_t mib, uint32_t cpu_percent) {
  if (mib > 0) {
    const size_t bytes = size_t{mib} << 20;
    // Kept until the process ends; every page written, so it is resident.
    static std::vector<char>& block = *new std::vector<char>(bytes);
    for (size_t i = 0; i < bytes; i += 4096) block[i] = static_cast<char>((i >> 12) | 1);
  }
  if (cpu_percent == 0) return;
  std::thread([cpu_percent] {
    using clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(100);
    const auto busy = period * cpu_percent / 100;
    volatile uint64_t sink = 0;
    for (auto start = clock::now();; start += period) {
      while (clock::now() - start < busy) sink = sink + 1;
      std::this_thread::sleep_until(start + period);
    }
  }).detach();
}

void start_group_children(uint32_t count, std::FILE* log) {
  std::fflush(log);
  for (uint32_t i = 0; i < count; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      // Only async-signal-safe calls from here: the parent may have threads.
      const int null = ::open("/dev/null", O_RDWR);
      for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
      for (int fd = 3; fd < 4096; ++fd) ::close(fd);
      for (;;) ::pause();
    }
    if (pid > 0) std::fprintf(log, "aerender: group child pid %d\n", static_cast<int>(pid));
  }
  std::fflush(log);
}

void end_client_now(const ProcessVariants& v) {
  std::fflush(nullptr);
  if (v.exit_signal) {
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    sigaction(*v.exit_signal, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, *v.exit_signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::kill(::getpid(), *v.exit_signal);
  }
  _exit(v.exit_status);
}

}  // namespace sim
