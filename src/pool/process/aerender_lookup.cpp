#include "pool/process/aerender_lookup.h"

#include <algorithm>
#include <string>
#include <system_error>

#include "core/log.h"
#include "core/switches.h"
#include "pool/utf8_validity.h"

namespace vel {

namespace {

namespace fs = std::filesystem;

bool is_regular_file_followed(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);  // follows symbolic links
}

}  // namespace

std::vector<fs::path> aerender_candidates(const fs::path& applications) {
  std::vector<fs::path> out;
  std::error_code ec;
  fs::directory_iterator it(applications, ec);
  if (ec) return out;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (!valid_utf8(name) || !name.starts_with("Compositing Host")) continue;
    const fs::path candidate = it->path() / "aerender";
    if (is_regular_file_followed(candidate)) out.push_back(candidate);
  }
  return out;
}

const std::optional<fs::path>& resolve_aerender(AerenderLookup& lookup, const std::optional<std::string>& env_value,
                                                const fs::path& applications) {
  if (lookup.resolved) return *lookup.resolved;
  if (env_value) {
    if (is_regular_file_followed(*env_value)) {
      lookup.resolved = std::optional<fs::path>(fs::path(*env_value));
      return *lookup.resolved;
    }
    log_line("ERROR", "pool: VELOCINTA_AERENDER invalide : " + fs::path(*env_value).string());
  }
  std::error_code ec;
  if (!fs::is_directory(applications, ec)) {
    lookup.resolved = std::optional<fs::path>();
    return *lookup.resolved;
  }
  std::vector<fs::path> candidates = aerender_candidates(applications);
  if (candidates.empty()) {
    lookup.resolved = std::optional<fs::path>();
  } else {
    // Component by component: the folder names' byte order decides.
    lookup.resolved = std::optional<fs::path>(*std::max_element(candidates.begin(), candidates.end()));
  }
  return *lookup.resolved;
}

const std::optional<fs::path>& resolve_aerender(AerenderLookup& lookup) {
  return resolve_aerender(lookup, env_value("VELOCINTA_AERENDER"), "/Applications");
}

}  // namespace vel
