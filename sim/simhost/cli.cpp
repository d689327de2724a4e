#include "simhost/cli.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace sim {

const char* usage_text() {
  return "usage: simhost --plugin PATH --project FILE [--seconds N] [--scenario FILE]\n"
         "               [--command NAME]... [--hide-suite NAME]... [--fail-call CALL=CODE]... [--out DIR]\n"
         "               [--update-reply FILE] [--opener PATH] [--reap-children 0|1]\n"
         "               [--no-scripting] [--script-switch NAME]... [--no-gpu]\n";
}

Result<Options> parse_command_line(const std::vector<std::string>& args) {
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    if (flag == "--no-scripting" || flag == "--no-gpu") {
      (flag == "--no-gpu" ? o.gpu : o.scripting) = false;
      continue;
    }
    if (i + 1 >= args.size()) return fail(flag + ": missing value");
    const std::string& value = args[++i];
    if (flag == "--plugin") {
      o.plugin = value;
    } else if (flag == "--project") {
      o.project = value;
    } else if (flag == "--scenario") {
      o.scenario = value;
    } else if (flag == "--out") {
      o.out_dir = value;
    } else if (flag == "--command") {
      o.commands.push_back(value);
    } else if (flag == "--update-reply") {
      o.update_reply = value;
    } else if (flag == "--script-switch") {
      o.script_switches.push_back(value);
    } else if (flag == "--opener") {
      o.opener = value;
    } else if (flag == "--hide-suite") {
      o.hidden_suites.push_back(value);
    } else if (flag == "--fail-call") {
      const size_t eq = value.rfind('=');
      char* end = nullptr;
      const long long code = eq == std::string::npos ? 0 : std::strtoll(value.c_str() + eq + 1, &end, 10);
      if (eq == std::string::npos || eq == 0 || eq + 1 == value.size() || *end != '\0' || code == 0 ||
          code < INT32_MIN || code > INT32_MAX) {
        return fail("--fail-call: expected CALL=CODE with a non-zero 32-bit code");
      }
      o.failed_calls.push_back({value.substr(0, eq), static_cast<int32_t>(code)});
    } else if (flag == "--reap-children") {
      if (value != "0" && value != "1") return fail("--reap-children: expected 0 or 1");
      o.reap_children = value == "1";
    } else if (flag == "--seconds") {
      char* end = nullptr;
      double s = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !std::isfinite(s) || s < 0 || s > kMaxRunSeconds) {
        return fail("--seconds: expected a number of seconds, 0 .. 86400");
      }
      o.seconds = s;
    } else {
      return fail("unknown option " + flag);
    }
  }
  if (o.plugin.empty()) return fail("--plugin is required");
  if (o.project.empty()) return fail("--project is required");
  if (o.out_dir.empty()) return fail("--out: empty");
  return o;
}

}  // namespace sim
