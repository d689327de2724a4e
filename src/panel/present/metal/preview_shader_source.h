// The preview shader's text (preview_shader.h as written), embedded by the
// build: the source handed to newLibraryWithSource:.
#pragma once

#include <string_view>

namespace vel {

std::string_view preview_shader_source();

// Registers the compiled vn_vertex and vn_fragment with the Metal stand-in
// under that text; once per process, any thread.
void register_preview_shader();

}  // namespace vel
