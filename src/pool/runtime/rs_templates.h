// The render-settings templates the workers render with, made or checked in
// the host by one ExtendScript program, and the choice of worker output
// (PSD, TGA or shared memory) the script confirms. No batch starts until the
// templates are ready; three failures suspend the pool until the host quits,
// so that nothing renders at unknown settings.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"
#include "pool/runtime/pool_runtime.h"

namespace vel {

inline constexpr std::string_view kTemplateMarkerText =
    "velocinta-quarter-v6 + half-v6 + extreme-v6 (8bpc, motion blur off, current quality)";

// The stored ExtendScript program (ES3) with its placeholder in place.
std::string_view rs_template_script_source();
// The program told the requested output ("psd", "tga" or "memory").
std::string build_template_script(uint8_t requested_output);

// What the template check needs of the host.
struct TemplateHost {
  struct Ran {
    std::string result;
    std::string error;
  };
  // The Utility suite's execute_script; an error is the suite's or the call's.
  std::function<Result<Ran>(const std::string& script)> run_script;
  // Whether the Utility suite could be acquired ("" when it could).
  std::string utility_missing;
  // Re-reads the project-change baseline after the script's own changes.
  std::function<void()> refresh_project_baseline;
};

// The script's answer as the plug-in reads it: "no-comp", an "err:" text,
// or "created|" with a summary and one transport suffix, where only the
// pieces "output=tga" and "output=memory" confirm a transport.
struct TemplateResult {
  enum class Kind { NoComp, Created, Failure } kind = Kind::Failure;
  bool tga_confirmed = false;
  bool memory_confirmed = false;
  std::string memory_fallback;  // why memory output was not confirmed: the text after "memory-fallback:"
};
TemplateResult parse_template_result(std::string_view text);
// The transport in use for what was requested and what the script confirmed.
uint8_t select_worker_output(uint8_t requested, const TemplateResult& result);

void ensure_rs_templates(PoolRuntime& rt, const TemplateHost& host);
// Selects the transport and marks the templates ready. A memory output asked
// for and not confirmed falls back to PSD and says so once at INFO, with the
// script's reason.
void apply_template_result(PoolRuntime& rt, std::string_view result);
void mark_templates_ready(PoolRuntime& rt);
void note_template_failure(PoolRuntime& rt, std::string_view reason);

// Where the marker goes: ~/Library/Application Support/velocinta/rs_template_v6.
std::optional<std::filesystem::path> template_marker_path();

// Whether a failed worker's log names a template. Only the last 1 MiB of a
// regular file is read, opened without blocking and without following a link.
bool worker_log_mentions_template(const std::filesystem::path& log_path);

}  // namespace vel
