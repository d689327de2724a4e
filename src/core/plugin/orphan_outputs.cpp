#include "core/plugin/orphan_outputs.h"

#include <unistd.h>

#include <string>

#include "core/log.h"
#include "core/paths.h"
#include "memout/memout_error.h"

namespace vel {

void log_orphan_sweep(const std::vector<SweptSegment>& segments, const std::vector<SweptManifest>& manifests) {
  const auto report = [](const std::string& what, const std::string& detail, int error) {
    if (error == 0) log_line("INFO", "mémoire partagée : " + what + " supprimé : " + detail);
    else log_line("ERROR", "mémoire partagée : " + what + " non supprimé : " + detail + " : " +
                               memout_os_failure(error).error.message);
  };
  for (const SweptSegment& s : segments) {
    report("segment orphelin", s.mapping_name + " (processus " + std::to_string(s.creator) + " disparu, " +
                                   std::to_string(s.bytes) + " octets)",
           s.error);
  }
  for (const SweptManifest& m : manifests) {
    report("manifeste orphelin", m.path + " (processus " + std::to_string(m.creator) + " disparu)", m.error);
  }
}

void sweep_orphan_memory_outputs() {
  const auto gone = [](pid_t pid) { return process_is_gone(pid); };
  const auto segments = sweep_orphan_segments("/dev/shm", geteuid(), gone);
  std::vector<SweptManifest> manifests;
  if (const auto tmp = temp_dir()) manifests = sweep_orphan_manifests((*tmp / "velocinta_pool").string(), geteuid(), gone);
  log_orphan_sweep(segments, manifests);
}

}  // namespace vel
