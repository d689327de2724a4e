// Where a stream of frames lives: root / key folder / "rgba-premul-v1-" +
// fingerprint, one stream per composition name and saved state of the
// project.
//
// The key folder is the sanitized name, so two names can meet in it ("Comp 1"
// and "Comp-1", or any two non-Latin names of one length). A stream folder is
// therefore bound to the full composition name by a small owner file inside
// it, written before its first frame and checked at every open: a
// composition never loads, nor writes among, another's frames. A name whose
// key folder already holds another composition's streams gets a key folder
// of its own (the stem + "_" + 16 hex digits of its FNV-1a), so the common
// case keeps the plain layout.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

#include "store/store_names.h"

namespace vel {

namespace fs = std::filesystem;

inline constexpr const char* kStreamOwnerFile = kStreamOwnerFileName.data();  // a literal: NUL-ended
inline constexpr uint64_t kFingerprintChunkBytes = 32768;

enum class StreamOwner {
  Unclaimed,  // no owner file and no frame file: free to take
  Ours,       // the owner file holds exactly this name
  Foreign,    // another name, an unreadable owner file, or frames without an owner
};

StreamOwner stream_owner(const fs::path& stream_dir, std::string_view comp_key);

// Writes the owner file unless it already names `comp_key`; false when it
// names another composition or cannot be written.
bool claim_stream_dir(const fs::path& stream_dir, std::string_view comp_key);

// The stream folder for this name and fingerprint under the store root, as
// described above; none when even the name's own key folder holds the
// stream of another name. A key folder's name taken by something that is
// not a real folder is passed by like one of another name; whatever is not
// a folder at the stream folder's own name is removed.
std::optional<fs::path> choose_stream_dir(const fs::path& root, std::string_view comp_key, uint64_t fingerprint);

// FNV-1a 64 over the file's bytes, read in chunks of 32 KiB. None unless the
// path is a regular file whose size and modification time are the same
// before and after the read, a further read reports the end, and
// `keep_going` answered true before every chunk.
std::optional<uint64_t> fingerprint_file(const fs::path& path, const std::function<bool()>& keep_going);

}  // namespace vel
