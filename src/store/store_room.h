// How many bytes the disk store may still write: what its cap leaves beside
// the streams it holds, and what the volume leaves above a reserve that the
// store never takes, so that the host's and the user's other files still
// find room. Pure, except for reading the volume.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace vel {

inline constexpr uint64_t kMinVolumeReserveBytes = uint64_t{1} << 30;  // 1 GiB
inline constexpr uint64_t kVolumeReservePercent = 5;

struct VolumeSpace {
  uint64_t free = 0;  // bytes an unprivileged writer may still take
  uint64_t size = 0;
  uint64_t block = 0;  // the unit a file takes the volume in
};

// `bytes` as the whole blocks of `block` bytes a file of that length takes
// (unchanged for a block of 0).
uint64_t round_up_to_block(uint64_t bytes, uint64_t block);

// What the store leaves free on a volume of `volume_size` bytes: the larger
// of 1 GiB and 5 % of it.
uint64_t volume_reserve(uint64_t volume_size);

// Why the store has no more room.
enum class RoomLimit { Cap, Reserve };

struct StoreRoom {
  uint64_t bytes = 0;
  RoomLimit limit = RoomLimit::Cap;  // the nearer of the two bounds
  uint64_t reserve = 0;              // the volume's reserve, when the volume is known
};

// The bytes the store may add to the `store_bytes` it holds: the smaller of
// what is left under `cap` and what the volume has free above its reserve;
// 0 when either is spent. An unknown volume bounds nothing.
StoreRoom store_room(uint64_t store_bytes, uint64_t cap, const std::optional<VolumeSpace>& volume);

// The log line that says why the store stopped writing on a volume with
// `free` bytes left, `reserve` of them left to the other files, for a frame
// of at most `frame_bytes`: in Kio, so that a volume stopped a few pages
// short of the reserve plus a frame shows it (in Mio both round alike).
std::string volume_stop_line(uint64_t free, uint64_t reserve, uint64_t frame_bytes);

// The volume holding `dir`, or its nearest existing parent (the store's
// folders are made on the first write); none when none can be read.
std::optional<VolumeSpace> volume_space_of(const std::filesystem::path& dir);

}  // namespace vel
