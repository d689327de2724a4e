// The manifest: a small JSON file beside a worker's output path that binds
// that output to its shared-memory segment. The host writes it before the
// worker starts; the worker finds it from the output path alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "memout/memout_error.h"
#include "memout/output_contract.h"
#include "memout/shm_segment.h"

namespace vel {

inline constexpr uint64_t kManifestMaxBytes = 8192;
inline constexpr const char* kManifestSuffix = ".vnx-manifest.json";
inline constexpr int64_t kMaxOutputFrameSpan = 1000000;

enum class ManifestMode : uint8_t { Memory, Null };

// Twelve fields; this order is the JSON key order and the order of the
// accepted array form.
struct Manifest {
  uint8_t version = 1;
  SegmentToken token{};
  std::string mapping_name;
  std::string output_path;
  uint64_t capacity = 0;
  int64_t range_start = 0;
  int64_t range_end = 0;
  int64_t step = 1;
  uint32_t key_scale = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  ManifestMode mode = ManifestMode::Memory;

  bool operator==(const Manifest&) const = default;
};

// "<dir>/<file name>.vnx-manifest.json" beside the output (the suffix follows
// the whole name, extension included). A path without a file name ("/",
// one ending in ".."): "output has no file name".
MemoutResult<std::string> manifest_path_for_output(std::string_view output_path);

// Compact JSON in key order. Strings must be valid UTF-8 ("path contains
// invalid UTF-8 characters"); never more than 8192 bytes ("output manifest
// too large").
MemoutResult<std::string> serialize_manifest(const Manifest& manifest);

// Strict parse of a document written by another process: one object with
// each of the twelve keys exactly once (a missing, repeated or unknown key is
// refused), or an array of the twelve values in key order; every value of
// its exact type and range. Never throws; bounded by the input's size.
MemoutResult<Manifest> parse_manifest(std::string_view text);

// Checks a manifest against the output path the host actually uses, in a
// fixed order; each refusal is invalid data ("output manifest identity
// mismatch", "invalid output manifest contract", "invalid output range",
// "output range exceeds frame bound", "output frame time overflow", the
// dimension texts of rgba8_capacity, "output capacity does not match
// dimensions/mode").
MemoutStatus validate_output_contract(const Manifest& manifest, std::string_view real_output_path);

OutputContract contract_from_manifest(const Manifest& manifest);

// Creates the file (create-new, mode 0600) and writes the whole document; a
// failed write removes the file again. An existing file is left alone.
MemoutStatus write_manifest_file(const std::string& manifest_path, const Manifest& manifest);

// Reads and parses a manifest file: above 8192 bytes by size is "output
// manifest too large", more bytes than that while reading "output manifest
// grew beyond limit". Does not validate.
MemoutResult<Manifest> read_manifest_file(const std::string& manifest_path);

}  // namespace vel
