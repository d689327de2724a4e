#include "store/store_room.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>

namespace vel {

namespace {

uint64_t sat_mul(uint64_t a, uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; }

}  // namespace

uint64_t round_up_to_block(uint64_t bytes, uint64_t block) {
  if (block == 0 || bytes % block == 0) return bytes;
  const uint64_t down = bytes - bytes % block;
  return down > UINT64_MAX - block ? UINT64_MAX : down + block;
}

uint64_t volume_reserve(uint64_t volume_size) {
  const uint64_t share = volume_size / 100 * kVolumeReservePercent + volume_size % 100 * kVolumeReservePercent / 100;
  return std::max(kMinVolumeReserveBytes, share);
}

StoreRoom store_room(uint64_t store_bytes, uint64_t cap, const std::optional<VolumeSpace>& volume) {
  StoreRoom room;
  room.bytes = cap > store_bytes ? cap - store_bytes : 0;
  if (!volume) return room;
  room.reserve = volume_reserve(volume->size);
  const uint64_t above_reserve = volume->free > room.reserve ? volume->free - room.reserve : 0;
  if (above_reserve < room.bytes) room = StoreRoom{above_reserve, RoomLimit::Reserve, room.reserve};
  return room;
}

std::string volume_stop_line(uint64_t free, uint64_t reserve, uint64_t frame_bytes) {
  constexpr uint64_t kKiB = 1024;
  // Free space rounded down, what it must hold rounded up: when the free
  // space falls short of the reserve and the frame, the figures show it.
  auto up = [](uint64_t b) { return b / kKiB + (b % kKiB != 0 ? 1 : 0); };
  return "S9 disque : écritures arrêtées, le volume du cache n'a plus que " + std::to_string(free / kKiB) +
         " Kio libres et en laisse " + std::to_string(up(reserve)) + " aux autres fichiers ; l'image à écrire en demande " +
         std::to_string(up(frame_bytes));
}

std::optional<VolumeSpace> volume_space_of(const std::filesystem::path& dir) {
  for (std::filesystem::path p = dir; !p.empty(); p = p.parent_path()) {
    struct statvfs st {};
    if (::statvfs(p.c_str(), &st) == 0) {
      const uint64_t unit = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
      return VolumeSpace{sat_mul(st.f_bavail, unit), sat_mul(st.f_blocks, unit), unit};
    }
    if (errno != ENOENT || p == p.parent_path()) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace vel
