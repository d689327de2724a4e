// What simhost sets up around the plug-in's update check: the update service
// on 127.0.0.1 named in VELOCINTA_UPDATE_URL (unless the environment names
// one), the link opener (a recorder writing into --out unless --opener names
// another), and what the summary reports of both after the death hook.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "simhost/result.h"
#include "update/update_service.h"

namespace sim {

// The reply served when no --update-reply is given: it offers nothing.
inline constexpr const char* kDefaultUpdateReply = R"({"ok":true,"version":"0.3.30"})";

struct UpdateWorld {
  std::unique_ptr<UpdateService> service;
  std::string opened_record;  // the recorder's file; "" with another opener
};

// Starts the service and names the opener; before the plug-in is loaded.
Result<UpdateWorld> set_up_update_world(const std::string& reply_file, const std::string& opener,
                                        const std::string& out_dir);

struct OpenedLink {
  pid_t pid = 0;
  std::string link;
};

// The recorder's lines "PID LINK", in order.
std::vector<OpenedLink> read_opened_links(const std::string& record_path);

// The state letter of process `pid` from /proc/PID/stat when it is a child
// of this process; '\0' when it is not (or is gone).
char child_state(pid_t pid);

// The command names of this process's children still present, from /proc.
std::vector<std::string> child_process_names();

}  // namespace sim
