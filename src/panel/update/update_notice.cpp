#include "panel/update/update_notice.h"

#include <mutex>

namespace vel {
namespace {

struct NoticeSlot {
  std::mutex mutex;
  std::optional<UpdateNotice> notice;
};

// Never destroyed: the update thread lives until the process ends.
NoticeSlot& notice_slot() {
  static NoticeSlot& slot = *new NoticeSlot;
  return slot;
}

}  // namespace

std::optional<UpdateNotice> update_notice() {
  NoticeSlot& s = notice_slot();
  std::lock_guard lock(s.mutex);
  return s.notice;
}

void store_update_notice(UpdateNotice notice) {
  NoticeSlot& s = notice_slot();
  std::lock_guard lock(s.mutex);
  s.notice = std::move(notice);
}

}  // namespace vel
