// Loading the plug-in: dlopen (never closed: its threads and its state live
// until the process ends) and the lookup of its one entry.
#pragma once

#include <string>

#include "hostsdk/entry.h"
#include "simhost/result.h"

namespace sim {

Result<AEGP_EntryPointFunc> load_plugin(const std::string& path);

}  // namespace sim
