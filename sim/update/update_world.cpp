#include "update/update_world.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/opener.h"

namespace sim {
namespace {

// Fields of /proc/PID/stat after the command name, which may hold blanks
// and parentheses: state and parent pid.
struct ProcStat {
  char state = '\0';
  pid_t ppid = 0;
  std::string comm;
};

bool read_proc_stat(const std::string& pid_dir, ProcStat& out) {
  std::ifstream in(pid_dir + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  const size_t open = line.find('(');
  const size_t close = line.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  out.comm = line.substr(open + 1, close - open - 1);
  std::istringstream rest(line.substr(close + 1));
  long ppid = 0;
  if (!(rest >> out.state >> ppid)) return false;
  out.ppid = static_cast<pid_t>(ppid);
  return true;
}

Status write_recorder(const std::string& script, const std::string& record) {
  std::ofstream out(script, std::ios::binary | std::ios::trunc);
  if (!out) return fail("opener recorder: cannot write " + script);
  // The pid is the opener's own: the shell runs in the spawned process.
  out << "#!/bin/sh\nprintf '%s %s\\n' \"$$\" \"$1\" >> '" << record << "'\n";
  out.close();
  if (!out || ::chmod(script.c_str(), 0755) != 0) return fail("opener recorder: cannot write " + script);
  return done();
}

}  // namespace

Result<UpdateWorld> set_up_update_world(const std::string& reply_file, const std::string& opener,
                                        const std::string& out_dir) {
  HttpReply reply;
  reply.body = kDefaultUpdateReply;
  if (!reply_file.empty()) {
    Result<HttpReply> loaded = reply_from_file(reply_file);
    if (!loaded) return fail(loaded.error());
    reply = std::move(loaded).value();
  }
  Result<std::unique_ptr<UpdateService>> service = UpdateService::start({reply});
  if (!service) return fail(service.error());
  UpdateWorld world;
  world.service = std::move(service).value();
  // The environment wins, so a run can be pointed at another service on purpose.
  if (std::getenv("VELOCINTA_UPDATE_URL") == nullptr) {
    ::setenv("VELOCINTA_UPDATE_URL", world.service->url("/update").c_str(), 1);
  }
  if (!opener.empty()) {
    platform::set_opener_path(opener);
    return world;
  }
  const std::string abs_out = std::filesystem::absolute(out_dir).string();
  const std::string script = abs_out + "/opener-recorder.sh";
  world.opened_record = abs_out + "/opened-links.txt";
  if (Status s = write_recorder(script, world.opened_record); !s) return fail(s.error());
  platform::set_opener_path(script);
  return world;
}

std::vector<OpenedLink> read_opened_links(const std::string& record_path) {
  std::vector<OpenedLink> links;
  std::ifstream in(record_path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    OpenedLink l;
    l.pid = static_cast<pid_t>(std::atol(line.substr(0, blank).c_str()));
    l.link = line.substr(blank + 1);
    links.push_back(std::move(l));
  }
  return links;
}

char child_state(pid_t pid) {
  ProcStat st;
  if (pid <= 0 || !read_proc_stat("/proc/" + std::to_string(pid), st) || st.ppid != ::getpid()) return '\0';
  return st.state;
}

std::vector<std::string> child_process_names() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    ProcStat st;
    if (read_proc_stat(entry.path().string(), st) && st.ppid == ::getpid()) names.push_back(st.comm);
  }
  return names;
}

}  // namespace sim
