#include "platform/opener.h"

#include <mutex>

namespace platform {
namespace {

struct OpenerSlot {
  std::mutex mutex;
  std::string path = kDefaultOpenerPath;
};

// Never destroyed: a detached thread may ask for the path while the process exits.
OpenerSlot& opener_slot() {
  static OpenerSlot& slot = *new OpenerSlot;
  return slot;
}

}  // namespace

std::string opener_path() {
  OpenerSlot& s = opener_slot();
  std::lock_guard lock(s.mutex);
  return s.path;
}

void set_opener_path(std::string path) {
  OpenerSlot& s = opener_slot();
  std::lock_guard lock(s.mutex);
  s.path = path.empty() ? std::string(kDefaultOpenerPath) : std::move(path);
}

}  // namespace platform
