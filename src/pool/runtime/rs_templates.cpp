#include "pool/runtime/rs_templates.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <system_error>

#include "core/bounded_read.h"
#include "core/file_replace.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/switches.h"
#include "memout/output_format.h"
#include "pool/runtime/pool_runtime_ops.h"

namespace vel {

namespace {

constexpr uint32_t kFailuresBeforeSuspension = 3;
constexpr size_t kLogTailBytes = 1u << 20;

const char* extension_word(uint8_t output) {
  return output_format_extension(static_cast<WorkerOutputFormat>(output));
}

const char* output_template(uint8_t output) {
  switch (output) {
    case kOutputTga:
      return "velocinta-tga-v1";
    case kOutputMemory:
      return "velocinta-memory-v1";
    default:
      return "Photoshop";
  }
}

std::string without_line_breaks(std::string_view text) {
  std::string out(text);
  std::replace(out.begin(), out.end(), '\r', ' ');
  std::replace(out.begin(), out.end(), '\n', ' ');
  return out;
}

}  // namespace

std::string build_template_script(uint8_t requested_output) {
  static constexpr std::string_view kPlaceholder = "__VELOCINTA_OUTPUT_FORMAT__";
  std::string script(rs_template_script_source());
  const std::string word = output_format_script_name(static_cast<WorkerOutputFormat>(requested_output));
  for (size_t at = script.find(kPlaceholder); at != std::string::npos; at = script.find(kPlaceholder, at + word.size()))
    script.replace(at, kPlaceholder.size(), word);
  return script;
}

void ensure_rs_templates(PoolRuntime& rt, const TemplateHost& host) {
  if (!host.utility_missing.empty()) {
    note_template_failure(rt, "suite Utility: " + host.utility_missing);
    return;
  }
  auto ran = host.run_script(build_template_script(rt.requested_output));
  if (!ran) {
    note_template_failure(rt, "execute_script: " + ran.error());
  } else if (!ran->error.empty()) {
    note_template_failure(rt, "ExtendScript: " + ran->error);
  } else {
    switch (parse_template_result(ran->result).kind) {
      case TemplateResult::Kind::Created:
        apply_template_result(rt, ran->result);
        break;
      case TemplateResult::Kind::NoComp:
        break;
      case TemplateResult::Kind::Failure:
        note_template_failure(rt, ran->result);
        break;
    }
  }
  // The script added and removed a render-queue item: that moved the
  // project-change stamp without any edit of the user's.
  if (host.refresh_project_baseline) host.refresh_project_baseline();
}

TemplateResult parse_template_result(std::string_view text) {
  TemplateResult out;
  if (text == "no-comp") {
    out.kind = TemplateResult::Kind::NoComp;
    return out;
  }
  if (text.substr(0, 7) != "created") return out;
  out.kind = TemplateResult::Kind::Created;
  size_t begin = 0;
  for (;;) {
    size_t bar = text.find('|', begin);
    std::string_view piece = text.substr(begin, bar == std::string_view::npos ? std::string_view::npos : bar - begin);
    out.tga_confirmed = out.tga_confirmed || piece == "output=tga";
    out.memory_confirmed = out.memory_confirmed || piece == "output=memory";
    if (constexpr std::string_view kFallback = "memory-fallback:"; piece.starts_with(kFallback)) {
      out.memory_fallback = piece.substr(kFallback.size());
    }
    if (bar == std::string_view::npos) break;
    begin = bar + 1;
  }
  return out;
}

uint8_t select_worker_output(uint8_t requested, const TemplateResult& result) {
  if (requested == kOutputMemory && result.memory_confirmed) return kOutputMemory;
  if (requested == kOutputTga && result.tga_confirmed) return kOutputTga;
  return kOutputPsd;
}

void apply_template_result(PoolRuntime& rt, std::string_view result) {
  const TemplateResult parsed = parse_template_result(result);
  uint8_t selection = select_worker_output(rt.requested_output, parsed);
  if (selection != rt.selected_output) {
    rt.selected_output = selection;
    rt.delivery_descriptor.reset();
    reset_pool_plan(rt);
  }
  // The one template the user must make: without a word here the memory
  // output would only be missing from the PERF records.
  if (rt.requested_output == kOutputMemory && selection != kOutputMemory && !rt.memory_fallback_logged) {
    rt.memory_fallback_logged = true;
    const std::string why = parsed.memory_fallback.empty() ? std::string() : " (" + parsed.memory_fallback + ")";
    log_line("INFO", "pool: sortie mémoire demandée, mais le modèle de module de sortie « velocinta-memory-v1 » "
                     "manque ou ne convient pas" + why + " — les workers rendent en PSD ; ce modèle se crée une "
                     "fois dans Modèles de module de sortie, format « Velocinta Memory 8bpc »");
  }
  mark_templates_ready(rt);
  if (perf_enabled())
    perf_log(std::string("POOL_OUTPUT requested=") + extension_word(rt.requested_output) +
             " selected=" + extension_word(selection) + " template=" + output_template(selection));
}

std::optional<std::filesystem::path> template_marker_path() {
  auto dir = app_support_dir();
  if (!dir) return std::nullopt;
  return *dir / "rs_template_v6";
}

void mark_templates_ready(PoolRuntime& rt) {
  rt.templates_ready = 1;
  if (auto marker = template_marker_path()) {
    // Every host of this user shares the marker: a reader must never see it half written.
    (void)replace_file(*marker, std::string(kTemplateMarkerText) + "\n");
  }
  if (perf_enabled()) perf_log("PREVIEW_PROFILE pool=fast-v1 bpc=8 motion_blur=off templates=v6");
}

void note_template_failure(PoolRuntime& rt, std::string_view reason) {
  std::string text = without_line_breaks(reason);
  if (rt.templates_ready == 2) return;
  if (rt.template_failures != UINT32_MAX) rt.template_failures += 1;
  if (rt.template_failures >= kFailuresBeforeSuspension) {
    rt.templates_ready = 2;
    log_line("ERROR", "pool: templates RS indisponibles (" + text +
                          ") — pool suspendu pour éviter un rendu aux réglages inconnus");
    return;
  }
  rt.templates_ready = 0;
  log_line("ERROR", "pool: création des templates RS en échec (" + text + ") — nouvel essai " +
                        std::to_string(rt.template_failures) + "/" + std::to_string(kFailuresBeforeSuspension));
}

bool worker_log_mentions_template(const std::filesystem::path& log_path) {
  Result<RegularFile, FileReadError> file = open_regular_file(log_path, /*follow_link=*/false);
  if (!file) return false;
  const int fd = file->fd();
  uint64_t size = file->size();
  uint64_t from = size > kLogTailBytes ? size - kLogTailBytes : 0;
  std::string tail(static_cast<size_t>(size - from), '\0');
  size_t got = 0;
  while (got < tail.size()) {
    ssize_t n = ::pread(fd, tail.data() + got, tail.size() - got, static_cast<off_t>(from + got));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  tail.resize(got);
  // Invalid UTF-8 cannot hide an ASCII word, so the bytes are searched as
  // they are once lower-cased.
  for (char& c : tail)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  for (std::string_view word : {"template", "velocinta-quarter-v6", "velocinta-half-v6", "velocinta-extreme-v6"})
    if (tail.find(word) != std::string::npos) return true;
  return false;
}

}  // namespace vel
