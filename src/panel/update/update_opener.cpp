#include "panel/update/update_opener.h"

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "core/log.h"
#include "panel/update/update_notice.h"
#include "panel/update/update_request.h"
#include "panel/update/update_spawn.h"
#include "platform/opener.h"

namespace vel {
namespace {

struct OpenerPids {
  std::mutex mutex;
  std::vector<pid_t> running;
};

OpenerPids& opener_pids() {
  static OpenerPids& p = *new OpenerPids;
  return p;
}

}  // namespace

Result<pid_t> start_opener(const std::string& link) {
  Result<pid_t> pid = spawn_program(platform::opener_path(), {link}, -1);
  if (pid) {
    OpenerPids& p = opener_pids();
    std::lock_guard lock(p.mutex);
    p.running.push_back(*pid);
  }
  return pid;
}

void open_update_link() {
  const std::optional<UpdateNotice> notice = update_notice();
  const std::string link = notice ? notice->link : std::string(kDefaultDownloadLink);
  if (Result<pid_t> pid = start_opener(link); !pid) {
    log_line("ERROR", "update: ouverture du lien impossible : " + pid.error());
  }
}

size_t reap_update_openers() {
  OpenerPids& p = opener_pids();
  std::lock_guard lock(p.mutex);
  std::erase_if(p.running, [](pid_t pid) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    while (r < 0 && errno == EINTR) r = ::waitpid(pid, &status, WNOHANG);
    // Gone when reaped now or when it is no child of ours any more (a host
    // that ignores SIGCHLD has the system reap it).
    return r == pid || (r < 0 && errno == ECHILD);
  });
  return p.running.size();
}

}  // namespace vel
