#include "core/threads.h"

#include <pthread.h>

#include <system_error>

namespace vel {
namespace {
thread_local std::string t_name;
}

std::string os_thread_name(const std::string& full_name) {
  constexpr size_t kMax = 15;
  if (full_name.size() <= kMax) return full_name;
  std::string n = full_name;
  constexpr std::string_view kPrefix = "velocinta-";
  if (n.compare(0, kPrefix.size(), kPrefix) == 0) n = "vel-" + n.substr(kPrefix.size());
  if (n.size() > kMax) n = n.substr(0, 4) + n.substr(n.size() - (kMax - 4));
  return n;
}

const std::string& current_thread_name() { return t_name; }

Result<std::thread> spawn_named_thread(std::string full_name, std::function<void()> body) {
  try {
    std::thread t([name = std::move(full_name), body = std::move(body)]() mutable {
      t_name = name;
      // A naming failure is harmless: the thread runs unnamed.
      (void)pthread_setname_np(pthread_self(), os_thread_name(name).c_str());
      body();
    });
    return t;
  } catch (const std::system_error& e) {
    return err(e.what());
  } catch (const std::exception& e) {
    return err(e.what());
  }
}

}  // namespace vel
