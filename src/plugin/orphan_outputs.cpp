#include "plugin/orphan_outputs.h"

#include <unistd.h>

#include <cstdint>
#include <string>

#include "core/log.h"
#include "memout/memout_error.h"
#include "pool/runtime/pool_directory.h"

namespace vel {

namespace {

// One kind of outcome (a segment removed, a manifest left, …): the first of
// them in full, then the others as one count, so that a folder of thousands
// writes two lines rather than thousands.
class OutcomeLines {
 public:
  // `what` and `plural`: "segment orphelin", "segments orphelins".
  OutcomeLines(const char* what_one, const char* what_many, bool were_removed, bool with_bytes)
      : what(what_one), plural(what_many), removed(were_removed), counts_bytes(with_bytes) {}

  void add(const std::string& detail, int error, uint64_t bytes) {
    if (seen_first) {
      ++others;
      other_bytes += bytes;
      return;
    }
    seen_first = true;
    if (removed) log_line("INFO", std::string("mémoire partagée : ") + what + " supprimé : " + detail);
    else log_line("ERROR", std::string("mémoire partagée : ") + what + " non supprimé : " + detail + " : " +
                               memout_os_failure(error).error.message);
  }
  void close() const {
    if (others == 0) return;
    std::string line = "mémoire partagée : " + std::to_string(others) + " autre" + (others == 1 ? " " : "s ") +
                       (others == 1 ? what : plural) + (removed ? " supprimé" : " non supprimé") +
                       (others == 1 ? "" : "s");
    if (counts_bytes) line += " (" + std::to_string(other_bytes) + " octets)";
    log_line(removed ? "INFO" : "ERROR", line);
  }

 private:
  const char* what;
  const char* plural;
  bool removed;
  bool counts_bytes;
  bool seen_first = false;
  uint64_t others = 0;
  uint64_t other_bytes = 0;
};

}  // namespace

void log_orphan_sweep(const std::vector<SweptSegment>& segments, const std::vector<SweptManifest>& manifests) {
  OutcomeLines removed_segments{"segment orphelin", "segments orphelins", true, true};
  OutcomeLines kept_segments{"segment orphelin", "segments orphelins", false, true};
  for (const SweptSegment& s : segments) {
    (s.error == 0 ? removed_segments : kept_segments)
        .add(s.mapping_name + " (processus " + std::to_string(s.creator) + " disparu, " + std::to_string(s.bytes) +
                 " octets)",
             s.error, s.bytes);
  }
  OutcomeLines removed_manifests{"manifeste orphelin", "manifestes orphelins", true, false};
  OutcomeLines kept_manifests{"manifeste orphelin", "manifestes orphelins", false, false};
  for (const SweptManifest& m : manifests) {
    (m.error == 0 ? removed_manifests : kept_manifests)
        .add(m.path + " (processus " + std::to_string(m.creator) + " disparu)", m.error, 0);
  }
  for (const OutcomeLines* o : {&removed_segments, &kept_segments, &removed_manifests, &kept_manifests}) o->close();
}

void sweep_orphan_memory_outputs() {
  const auto gone = [](pid_t pid) { return process_is_gone(pid); };
  const std::string shm_dir = "/dev/shm";
  const auto segments = sweep_orphan_segments(shm_dir, geteuid(), gone);
  std::vector<SweptManifest> manifests;
  // Only a pool folder this host holds is looked into: one that is not ours
  // (a link, another user's, a file) or that another live host uses (whose
  // outputs are its own, and whose pids may be of another pid namespace)
  // is left alone.
  if (const auto dir = pool_directory_path(); dir && pool_folder_held()) {
    manifests = sweep_orphan_manifests(dir->string(), shm_dir, geteuid(), gone);
  }
  log_orphan_sweep(segments, manifests);
}

}  // namespace vel
