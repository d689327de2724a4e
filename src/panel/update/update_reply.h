// The update service's reply: a JSON record, or a bare version as plain
// text, read into an offer; and the decision whether the offer is a notice.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "panel/update/update_notice.h"

namespace vel {

inline constexpr size_t kMaxUpdateVersionBytes = 64;
inline constexpr size_t kMaxUpdateLinkBytes = 2048;

// The reply record. Every field is optional; JSON null counts as absent.
struct RawUpdateReply {
  std::optional<bool> ok;
  std::optional<std::string> version;
  std::optional<std::string> latest;
  std::optional<bool> update_available;
  std::optional<std::string> url;
  std::optional<std::string> download_url;
  std::optional<std::string> package_url;
};

// `text` as a record: a JSON object, nothing but white space after it, each
// of the seven fields at most once and of its own type (other keys are
// skipped, repeated or not). None otherwise.
std::optional<RawUpdateReply> read_raw_update_reply(std::string_view text);

// True when a link from the reply may be handed to the opener: "https://"
// and at least one more byte, no white space or control character, at most
// 2048 bytes.
bool is_acceptable_update_link(std::string_view link);

struct UpdateOffer {
  std::string version;
  std::string link;
  std::optional<bool> available;  // none: compare with the running version
};

// The reply read as a record, else as one plain version line. None when it
// offers nothing readable, or its version is empty, longer than 64 bytes or
// holds a control character (it would become the banner's one-line title).
std::optional<UpdateOffer> deserialize_update_reply(std::string_view reply, std::string_view default_link);

// The decision: a notice when the offer says so, or, when it does not say,
// when its version parses and is newer than `current`.
std::optional<UpdateNotice> parse_update_reply(std::string_view reply, std::string_view current,
                                               std::string_view default_link);

}  // namespace vel
