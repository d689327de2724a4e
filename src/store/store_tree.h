// Walking and removing the store's own folders and nothing else. The store
// root may be a link (a cache moved to another disk) into a folder that also
// holds the user's files; so inside the root no link is followed (every step
// is an openat with O_NOFOLLOW from the folder above), a folder counts as a
// stream only by a name the store writes and the owner file it puts in
// every stream, and a removal unlinks only the file names the store writes
// before it removes the folder, which stays when anything else is in it.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/dir_fd.h"

namespace vel {

namespace fs = std::filesystem;

// Whether `name` inside `key_dir` is a stream folder the store made: a
// stream folder's name, a real folder, and its owner file a regular file.
bool is_store_stream_at(int key_dir, std::string_view name);

// Calls `visit` for every stream folder the store made under the root, key
// folders (by name, real folders) in listing order.
void for_each_store_stream(int root, const std::function<void(int key_dir, const std::string& key,
                                                               const std::string& stream)>& visit);

// Unlinks the store's own file names inside the folder `name` of `parent`,
// then removes the folder; true when it is gone. A folder holding anything
// else (a user's file or folder) keeps it and stays.
bool remove_store_folder(int parent, std::string_view name);

// Removes whatever is not a folder at `name` inside `parent` (a file, a
// link, a FIFO: unlink takes the name only, never a link's target); a folder
// or nothing there is left alone. True when `name` is free or a folder.
bool clear_non_folder_at(int parent, std::string_view name);

}  // namespace vel
