#include "panel/update/update_banner.h"

namespace vel {

std::string update_banner_title(std::string_view version) {
  std::string title = "Update available — v";
  title += version;
  title += " · click to download";
  return title;
}

std::optional<UpdateBannerChange> update_banner_step(UpdateBannerMemory& memory, bool docked, bool floating,
                                                     const std::function<std::optional<UpdateNotice>()>& read) {
  std::optional<UpdateNotice> notice = read();
  std::optional<std::string> version;
  if (notice) version = std::move(notice->version);
  if (version == memory.version && docked == memory.docked && floating == memory.floating) return std::nullopt;
  memory = {std::move(version), docked, floating};
  UpdateBannerChange change;
  if (std::optional<UpdateNotice> fresh = read()) change.title = update_banner_title(fresh->version);
  return change;
}

}  // namespace vel
