// The template script's answer comes from the host's scripting engine: any
// bytes must parse to one kind, and a transport only where one was asked
// for and confirmed. The pieces are found again here by a search of the
// bar-fenced text, a second way to read the same grammar.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "pool/runtime/pool_runtime.h"
#include "pool/runtime/rs_templates.h"

namespace {

bool has_piece(std::string_view text, std::string_view piece) {
  const std::string fenced = "|" + std::string(text) + "|";
  return fenced.find("|" + std::string(piece) + "|") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  vel::TemplateResult r = vel::parse_template_result(text);
  using Kind = vel::TemplateResult::Kind;
  const Kind expected = text == "no-comp"                  ? Kind::NoComp
                        : text.substr(0, 7) == "created" ? Kind::Created
                                                           : Kind::Failure;
  if (r.kind != expected) std::abort();
  if (r.kind == Kind::Created) {
    if (r.tga_confirmed != has_piece(text, "output=tga")) std::abort();
    if (r.memory_confirmed != has_piece(text, "output=memory")) std::abort();
  } else if (r.tga_confirmed || r.memory_confirmed) {
    std::abort();
  }
  for (uint8_t requested : {vel::kOutputPsd, vel::kOutputTga, vel::kOutputMemory}) {
    uint8_t selected = vel::select_worker_output(requested, r);
    if (selected != vel::kOutputPsd && selected != requested) std::abort();
  }
  return 0;
}
