// A worker that rewrites a frame file in place after handing it over
// (SIM_AERENDER_REWRITE_US): once the frame is written under its final name,
// its bytes are overwritten with another frame's (the frame 12 on), 4 KiB at a time with the
// given pause between writes, then with its own again the same way, so that
// the file ends as the frame it names and a reader anywhere in between meets
// rows (or planes) of two frames under one name.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

inline constexpr size_t kRewriteChunkBytes = 4096;
// The frame whose bytes go in first: this many frames on.
inline constexpr int64_t kRewriteOtherFrame = 12;

// False (with `why`) when the file cannot be opened or written.
bool rewrite_frame_file(const std::string& path, const std::vector<uint8_t>& other, const std::vector<uint8_t>& own,
                        std::chrono::microseconds pause, std::string& why);

}  // namespace sim
