// The update notice and its process-wide slot. The update thread writes the
// slot; the main thread copies it out (banner, link). The slot starts empty
// and is never cleared: a later check that finds nothing keeps the notice.
#pragma once

#include <optional>
#include <string>

namespace vel {

struct UpdateNotice {
  std::string version;  // normalised, never empty, at most 64 bytes, no control character
  std::string link;     // an accepted "https://" address or the default download link

  bool operator==(const UpdateNotice&) const = default;
};

// A copy of the slot's content; none while no check found anything.
std::optional<UpdateNotice> update_notice();

// Replaces the slot's content.
void store_update_notice(UpdateNotice notice);

}  // namespace vel
