// The panel options file is whatever the user's home holds under its name.
// Any text must decode without a crash, and what is taken must be within
// the controls' ranges and come back unchanged through the writer.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader never holds more than the file limit.
  if (size > vel::kOptionsFileLimit) return 0;
  const auto o = vel::decode_persisted_options(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!o) return 0;
  if (o->quality > 3 || o->speed > 3 || (o->depth != 8 && o->depth != 16 && o->depth != 32)) std::abort();
  const auto back = vel::decode_persisted_options(vel::encode_persisted_options(*o));
  if (!back || !(*back == *o)) std::abort();
  return 0;
}
