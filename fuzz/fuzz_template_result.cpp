// The template script's answer comes from the host's scripting engine: any
// bytes must parse to one kind, and a transport only where one was asked
// for and confirmed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pool/pool_runtime.h"
#include "pool/rs_templates.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  vel::TemplateResult r = vel::parse_template_result(text);
  if (r.kind != vel::TemplateResult::Kind::Created && (r.tga_confirmed || r.memory_confirmed)) std::abort();
  if (r.tga_confirmed && text.find("output=tga") == std::string_view::npos) std::abort();
  for (uint8_t requested : {vel::kOutputPsd, vel::kOutputTga, vel::kOutputMemory}) {
    uint8_t selected = vel::select_worker_output(requested, r);
    if (selected != vel::kOutputPsd && selected != requested) std::abort();
  }
  return 0;
}
