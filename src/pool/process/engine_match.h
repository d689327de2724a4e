// The one rule that says a process is a render engine of a given client, used
// by every kill and sweep and by the process-tree walk. It reads the exact
// argument list: the last argument is the client's pid in decimal, the one
// before it exactly "-aerenderpid", and an earlier one "aerendercore" or a
// path ending in "/aerendercore". A process whose single argument merely ends
// with those words is not an engine.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

// The client pid an engine's arguments name; nothing when they are not an
// engine's. `nul_joined` holds the arguments separated by NUL bytes.
std::optional<pid_t> engine_client_pid(std::string_view nul_joined);
std::optional<pid_t> engine_client_pid(const std::vector<std::string>& args);

// A client whose engines are to be killed. While it has not been reaped its
// pid cannot belong to anyone else; once reaped, an engine counts only when
// its parent is not that pid (a live client that reused the pid owns engines
// whose parent it is) and it started before the client was seen to end.
struct EngineClient {
  pid_t pid = 0;
  std::optional<uint64_t> ended_boot_ns;  // CLOCK_BOOTTIME when seen to end
};

struct EngineCandidate {
  pid_t pid = 0;
  pid_t ppid = 0;
  uid_t uid = 0;
  uint64_t start_boot_ns = 0;
  std::vector<std::string> args;
};

// True when `engine` is an engine of `client` for a process of user `owner`.
bool engine_belongs_to(const EngineCandidate& engine, const EngineClient& client, uid_t owner);

// A pid read from outside may be signalled only when it is at least 2 and
// is neither our own pid nor our process group.
bool signallable_pid(pid_t pid);

}  // namespace vel
