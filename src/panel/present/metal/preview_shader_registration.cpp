// The stand-in's only call without a framework counterpart: the compiled
// preview shader, registered under its own source text.
#include <mutex>

#include "panel/present/metal/preview_shader.h"
#include "panel/present/metal/preview_shader_draw.h"
#include "panel/present/metal/preview_shader_source.h"

namespace vel {

static_assert(sizeof(preview_shader::Uniforms) == 32);

void register_preview_shader() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::RegisteredProgram program;
    program.source = std::string(preview_shader_source());
    program.vertex_name = "vn_vertex";
    program.fragment_name = "vn_fragment";
    program.fragment_bytes_length = sizeof(preview_shader::Uniforms);
    program.draw = &draw_preview_shader;
    platform::register_shader_program(std::move(program));
  });
}

}  // namespace vel
