// Manifest parsing is the worker's first contact with bytes another process
// wrote. Any input must be refused or accepted without a crash, and an
// accepted manifest must survive a write and a re-read unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "memout/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader never parses more than the file limit.
  if (size > vel::kManifestMaxBytes) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = vel::parse_manifest(text);
  if (!parsed) {
    if (parsed.error().message.empty()) std::abort();
    return 0;
  }
  const vel::Manifest& m = *parsed;
  (void)vel::validate_output_contract(m, m.output_path);
  (void)vel::manifest_path_for_output(m.output_path);
  auto written = vel::serialize_manifest(m);
  if (!written) return 0;  // a parsed document can still re-serialise too large
  auto again = vel::parse_manifest(*written);
  if (!again || !(*again == m)) std::abort();
  return 0;
}
