#include "pool/process/engine_match.h"

#include <unistd.h>

#include <string_view>

#include "pool/process/proc_facts.h"

namespace vel {

std::optional<pid_t> engine_client_pid(std::string_view joined) {
  // Read from the end: the client pid, then exactly "-aerenderpid".
  const size_t last_sep = joined.rfind('\0');
  if (last_sep == std::string_view::npos) return std::nullopt;
  const auto client = parse_pid_text(joined.substr(last_sep + 1));
  if (!client) return std::nullopt;
  constexpr std::string_view kMarker = "-aerenderpid";
  std::string_view rest = joined.substr(0, last_sep);
  if (rest.size() < kMarker.size() || rest.substr(rest.size() - kMarker.size()) != kMarker) return std::nullopt;
  rest.remove_suffix(kMarker.size());
  if (rest.empty() || rest.back() != '\0') return std::nullopt;
  rest.remove_suffix(1);
  // Then any earlier argument naming the engine program.
  constexpr std::string_view kName = "aerendercore";
  while (true) {
    const size_t sep = rest.rfind('\0');
    const std::string_view a = sep == std::string_view::npos ? rest : rest.substr(sep + 1);
    if (a.size() >= kName.size() && a.substr(a.size() - kName.size()) == kName &&
        (a.size() == kName.size() || a[a.size() - kName.size() - 1] == '/')) {
      return client;
    }
    if (sep == std::string_view::npos) return std::nullopt;
    rest = rest.substr(0, sep);
  }
}

std::optional<pid_t> engine_client_pid(const std::vector<std::string>& args) {
  return engine_client_pid(std::string_view(join_arguments(args)));
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
