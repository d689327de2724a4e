// One aerender client's process tree in a process listing: the client, its
// render engines (found by the exact engine rule, same user only) and all
// their descendants.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "pool/process/process_listing.h"

namespace vel {

// Indexes into `listing.rows`, in listing order. Nothing when the host or
// the client is not listed, the client is another user's or lists 0 bytes,
// the client has no engine, or a descendant belongs to another user. Linear
// in the listing; parent cycles end.
std::optional<std::vector<size_t>> client_process_tree(const MemoryListing& listing, uint32_t client_pid,
                                                       uint32_t host_pid);

}  // namespace vel
