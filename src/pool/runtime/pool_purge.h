// Emptying the pool folder of what an earlier host left, once this host
// holds it: only the names the pool itself writes there go, and nothing is
// reached through a link, so that a file of the user's, or a link a worker
// planted towards the user's folders, costs nothing but its own name.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/dir_fd.h"

namespace vel {

// Whether the pool writes an entry of this name at the top of its folder:
// the job folders "job_…", the snapshots "snapshot.aep" and
// "velocinta_snapshot.aep", copies and partial saves ("saved-", "partial-",
// "hostsave-" … ".aep"), the prewarm folder "warmup", and the temporaries
// of the worker record and of the lock note (".workers.….tmp",
// ".host.lock.….tmp"). The lock note and the worker record themselves are
// not in the list: they stay.
bool is_pool_made_name(std::string_view name);

// The names of the open pool folder `pool` an earlier run left that the pool
// made, to be deleted in the background.
std::vector<std::string> pool_purge_names(int pool);
// The same, as paths in the folder at `pool_dir` (a link there not followed).
std::vector<std::filesystem::path> pool_purge_list(const std::filesystem::path& pool_dir);

// Removes the entry `name` of the open pool folder `pool` (or of the folder
// at `pool_dir`), with all it holds when
// it is a folder. Every step is taken from the folder above without
// following a link: a link is removed, never what it points to, and a
// folder swapped for a link under the walk stays. Folders nested deeper
// than 16 levels stay. True when the name is gone.
bool remove_pool_entry(int pool, std::string_view name);
bool remove_pool_entry(const std::filesystem::path& pool_dir, std::string_view name);

// Hands `names` (entries of the open pool folder `pool`) to a background
// thread, "velocinta-pool-purge", that removes them one by one through that
// descriptor; a thread that cannot start leaves them for the next load.
void start_pool_purge(std::shared_ptr<const DirFd> pool, std::vector<std::string> names);

}  // namespace vel
