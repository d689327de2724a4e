#include "pool/engine_match.h"

#include <unistd.h>

#include <string_view>

#include "pool/proc_facts.h"

namespace vel {

std::optional<pid_t> engine_client_pid(const std::vector<std::string>& args) {
  const size_t n = args.size();
  if (n < 3 || args[n - 2] != "-aerenderpid") return std::nullopt;
  const auto client = parse_pid_text(args[n - 1]);
  if (!client) return std::nullopt;
  for (size_t i = 0; i + 2 < n; ++i) {
    const std::string_view a = args[i];
    constexpr std::string_view kName = "aerendercore";
    constexpr std::string_view kTail = "/aerendercore";
    if (a == kName || (a.size() >= kTail.size() && a.substr(a.size() - kTail.size()) == kTail)) return client;
  }
  return std::nullopt;
}

bool engine_belongs_to(const EngineCandidate& engine, const EngineClient& client, uid_t owner) {
  if (engine.uid != owner) return false;
  const auto named = engine_client_pid(engine.args);
  if (!named || *named != client.pid) return false;
  if (!client.ended_boot_ns) return true;
  return engine.ppid != client.pid && engine.start_boot_ns < *client.ended_boot_ns;
}

bool signallable_pid(pid_t pid) { return pid >= 2 && pid != ::getpid() && pid != ::getpgrp(); }

}  // namespace vel
