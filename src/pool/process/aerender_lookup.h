// Finding the host's command-line renderer: once per host process, from
// VELOCINTA_AERENDER when it names a regular file, else the newest
// "Compositing Host*" folder in /Applications that holds an "aerender".
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

namespace vel {

// Not yet resolved, resolved to nothing, or resolved to a path; once
// resolved it stays so for the life of the host process.
struct AerenderLookup {
  std::optional<std::optional<std::filesystem::path>> resolved;
};

// Main thread. The environment value and the applications folder are
// arguments so the rule can be tried on folders a test makes; the plug-in
// passes VELOCINTA_AERENDER and "/Applications". An invalid variable logs
// "pool: VELOCINTA_AERENDER invalide : ..." and the folder search decides.
const std::optional<std::filesystem::path>& resolve_aerender(AerenderLookup& lookup,
                                                              const std::optional<std::string>& env_value,
                                                              const std::filesystem::path& applications);
// With the process's environment and "/Applications".
const std::optional<std::filesystem::path>& resolve_aerender(AerenderLookup& lookup);

// The candidates of one folder listing, in listing order: entries whose name
// is valid UTF-8 and begins with "Compositing Host", and that hold a
// regular file "aerender" (links followed).
std::vector<std::filesystem::path> aerender_candidates(const std::filesystem::path& applications);

}  // namespace vel
