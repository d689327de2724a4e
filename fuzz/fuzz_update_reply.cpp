// The update service's reply is bytes from the network. Any reply must be
// read without a crash, and whatever becomes a notice must be fit for the
// banner's one line and for the opener: a bounded version without control
// characters, and a checked https link or the default one.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/utf_text.h"
#include "panel/update/update_reply.h"
#include "panel/update/update_request.h"
#include "panel/update/update_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The check never reads more than curl's capped output.
  if (size > vel::kMaxUpdateReplyBytes) return 0;
  const std::string reply = vel::utf8_lossy(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string_view fallback = vel::kDefaultDownloadLink;
  const auto offer = vel::deserialize_update_reply(reply, fallback);
  const auto notice = vel::parse_update_reply(reply, vel::kPluginVersion, fallback);
  if (notice && !offer) std::abort();
  for (const auto* v : {offer ? &offer->version : nullptr, notice ? &notice->version : nullptr}) {
    if (v != nullptr && (v->empty() || v->size() > vel::kMaxUpdateVersionBytes || vel::holds_control(*v))) std::abort();
  }
  for (const auto* l : {offer ? &offer->link : nullptr, notice ? &notice->link : nullptr}) {
    if (l != nullptr && *l != fallback && !vel::is_acceptable_update_link(*l)) std::abort();
  }
  return 0;
}
