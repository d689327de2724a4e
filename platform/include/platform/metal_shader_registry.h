// The one call of the Metal stand-in with no framework counterpart: a
// program registers its compiled shader functions under the very text it
// hands to newLibraryWithSource:. The stand-in compiles only registered
// texts, so the source and the code that runs cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/metal.h"

namespace platform {

// One draw, as the render encoder hands it to the compiled functions.
struct DrawCall {
  MTLTexture* target = nullptr;          // the colour attachment
  const MTLTexture* texture0 = nullptr;  // fragment texture 0 (may be none)
  const uint8_t* bytes0 = nullptr;       // fragment bytes 0
  uint64_t vertex_start = 0;
  uint64_t vertex_count = 0;
};

using DrawRoutine = void (*)(const DrawCall&);

struct RegisteredProgram {
  std::string source;
  std::string vertex_name;
  std::string fragment_name;
  uint64_t fragment_bytes_length = 0;  // the fragment function's record
  DrawRoutine draw = nullptr;          // runs both functions over a draw
};

// Later registrations of the same text replace earlier ones.
void register_shader_program(RegisteredProgram program);

}  // namespace platform
