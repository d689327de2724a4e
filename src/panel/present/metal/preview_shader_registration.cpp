// The stand-in's only call without a framework counterpart: the compiled
// preview shader, registered under its own source text.
#include <mutex>

#include "panel/present/metal/preview_shader.h"
#include "panel/present/metal/preview_shader_source.h"
#include "platform/metal_raster.h"

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
    program.draw = &platform::rasterise_draw<preview_shader::VOut, preview_shader::Uniforms,
                                             &preview_shader::vn_vertex, &preview_shader::vn_fragment>;
    platform::register_shader_program(std::move(program));
  });
}

}  // namespace vel
