// Names on disk of the frame store: frame files, their temporary names, the
// stream folders and the file-name-safe form of a composition key. Pure
// functions of their arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cache/frame_key.h"

namespace vel {

// The stream folder name's prefix, before the fingerprint's 16 hex digits.
inline constexpr std::string_view kStreamDirPrefix = "rgba-premul-v1-";
// The use marker and the owner file inside a stream folder.
inline constexpr std::string_view kLastUsedFile = ".last_used";
inline constexpr std::string_view kStreamOwnerFileName = ".composition";

// "v" + value (signed) + "_s" + scale + ".vnf": (−48, 24) → "v-48_s24.vnf".
std::string frame_file_name(FrameKey key);

// The key a frame file's name stands for: extension exactly "vnf", the stem
// "v" + a decimal i32 (optional sign) + "_s" + a decimal u32 (optional "+")
// other than 0, split at the first "_s". None for every other name.
std::optional<FrameKey> parse_frame_file_name(std::string_view file_name);

// The first 48 Unicode scalar values of `key`, ASCII letters and digits
// kept, everything else "_"; "_" for an empty key. A byte that is not part
// of valid UTF-8 counts as one character. Pure ASCII, at most 48 bytes.
std::string sanitize_file_stem(std::string_view key);

// Bytes of the well-formed UTF-8 character at `s[i]` (i < size); none for
// a stray, truncated, overlong or surrogate sequence.
std::optional<size_t> utf8_char_length(std::string_view s, size_t i);
bool valid_utf8(std::string_view s);

// 16 lower-case hexadecimal digits, zero-padded.
std::string hex16(uint64_t value);

// "rgba-premul-v1-" + hex16(fingerprint).
std::string stream_dir_name(uint64_t fingerprint);

// Names the store itself writes, the only ones its sweep and purge remove:
// "rgba-premul-v1-" + 16 lower-case hex digits; a key folder (the letters,
// digits and "_" of a sanitized stem, with the "_" + 16 hex of a second key
// folder at most); and the files of a stream folder: frame files, the use
// marker, the owner file and the temporaries of their writes.
bool is_stream_dir_name(std::string_view name);
bool is_key_dir_name(std::string_view name);
bool is_store_file_name(std::string_view name);

// The writer's process id in the name of a store file's temporary, exactly
// as replace_file names it (core/file_replace.h): "." + a frame file name in
// its own written form, the use marker or the owner file, then "." + pid +
// "-" + serial + ".tmp", both numbers plain decimal without sign or leading
// zero, the pid 1 … 2^31−1. None for every other name: only what the store
// itself writes is ever taken for one of its leftovers.
std::optional<int32_t> temporary_writer(std::string_view name);

// FNV-1a 64 over `bytes`, continuing from `hash` (the offset basis to start).
inline constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
inline constexpr uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr uint64_t fnv1a64(std::string_view bytes, uint64_t hash = kFnvOffsetBasis) {
  for (char c : bytes) hash = (hash ^ static_cast<uint8_t>(c)) * kFnvPrime;
  return hash;
}

}  // namespace vel
