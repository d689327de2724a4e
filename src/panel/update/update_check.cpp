#include "panel/update/update_check.h"

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "core/log.h"
#include "core/threads.h"
#include "host/utf_text.h"
#include "panel/update/update_fetch.h"
#include "panel/update/update_reply.h"
#include "panel/update/update_request.h"
#include "panel/update/update_spawn.h"

namespace vel {
namespace {

constexpr std::chrono::seconds kCheckPeriod{86400};

void update_check_worker() {
  for (;;) {
    (void)run_update_check(update_url(), std::getenv("PATH"));
    std::this_thread::sleep_for(kCheckPeriod);
  }
}

}  // namespace

std::optional<UpdateNotice> run_update_check(const std::string& endpoint, const char* search_path) {
  const std::optional<std::string> curl = find_program_on_path("curl", search_path);
  if (!curl) return std::nullopt;
  FetchOutcome fetched = fetch_update_reply(*curl, update_request(endpoint));
  if (fetched.status != FetchStatus::ok) return std::nullopt;
  std::optional<UpdateNotice> notice =
      parse_update_reply(utf8_lossy(fetched.body), kPluginVersion, kDefaultDownloadLink);
  if (!notice) return std::nullopt;
  // The one trace of a check in the log: a failure stays silent by design.
  log_line("INFO", "update: version " + notice->version + " disponible (" + notice->link + ")");
  store_update_notice(*notice);
  return notice;
}

void start_update_check() {
  // Not through spawn_named_thread: its thread-local name lives in this
  // library's dynamic TLS, and a thread that is still alive at exit with such
  // TLS crashes LeakSanitizer's walk of the threads in the host. The name
  // goes to the OS only; this thread writes no line that needs it.
  try {
    std::thread t([] {
      (void)pthread_setname_np(pthread_self(), os_thread_name("velocinta-update").c_str());
      update_check_worker();
    });
    t.detach();
  } catch (const std::exception&) {
    // No thread, no check until the host starts again; nothing is logged.
  }
}

}  // namespace vel
