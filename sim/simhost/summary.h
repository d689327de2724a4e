// summary.json, written into --out at the end of a run: what the plug-in
// registered and did through the host.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "scenario/run_loop.h"
#include "simhost/host.h"
#include "simhost/result.h"

namespace sim {

nlohmann::json build_summary(const Host& host, const RunStats& stats);
Status write_summary(const nlohmann::json& summary, const std::string& out_dir);

}  // namespace sim
