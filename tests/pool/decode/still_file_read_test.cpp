// A worker that changes a frame file after handing it over: the host never
// takes a mix of two states of the file. A decoder's look refuses a file
// changed just now or during the read at once, for a later try; a caller
// that names one file reads it again once it is still, and gives the read
// up when it never settles.

#include "pool/decode/still_file_read.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "core/dir_fd.h"
#include "file_rewrites.h"
#include "pool/decode/frame_ingest.h"
#include "support/scratch_dir.h"
#include "pool/decode/file_bytes.h"

namespace vel {
namespace {

using testing::write_file;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

Bytes filled(size_t n, uint8_t value) { return Bytes(n, value); }

// The bytes of a read, its buffer handed back to the pool.
std::optional<Bytes> taken_bytes(std::optional<ByteBuffer> buffer) {
  if (!buffer) return std::nullopt;
  Bytes bytes(buffer->begin(), buffer->end());
  return_pooled_buffer(std::move(*buffer));
  return bytes;
}

std::optional<Bytes> read_as_bytes(const std::filesystem::path& p, const StillReadTiming& timing) {
  return taken_bytes(read_still_file(p, 1 << 20, timing));
}

TEST(StillFileRead, AFileChangedUnderTheReadIsReadAgainOnceStill) {
  constexpr size_t kBytes = 64 * 1024;
  const Bytes own = filled(kBytes, 0x55), other = filled(kBytes, 0x62);
  using Act = testing::FileRewrite::Act;
  struct Case {
    const char* what;
    testing::FileRewrite rewrite;
    std::optional<Bytes> wanted;  // nothing: the read is given up
  } cases[] = {
      {"rewritten in place with another frame once, during the first read", {Act::InPlace, other, 1}, other},
      {"another frame's file renamed over it during the first read", {Act::RenameOver, other, 1}, other},
      {"rewritten in place during every read", {Act::InPlace, other, 1'000'000}, std::nullopt},
  };
  const StillReadTiming timing{.settle = 15ms, .patience = 200ms};
  for (const Case& c : cases) {
    testing::ScratchDir dir("vel-still-read");
    ASSERT_TRUE(dir.ok());
    const std::filesystem::path path = dir.path() / "f_00055.tga";
    write_file(path, own);
    testing::arm_file_rewrite(path, c.rewrite);
    const auto started = std::chrono::steady_clock::now();
    const std::optional<Bytes> got = read_as_bytes(path, timing);
    const auto took = std::chrono::steady_clock::now() - started;
    testing::disarm_file_rewrite();
    EXPECT_GE(testing::file_rewrites_done(), 1) << c.what << ": the worker never acted";
    if (c.wanted) {
      ASSERT_TRUE(got) << c.what;
      EXPECT_TRUE(*got == *c.wanted) << c.what << ": a torn or stale read was taken";
    } else {
      EXPECT_FALSE(got) << c.what << ": a file that never settled was taken";
      EXPECT_LT(took, 2s) << c.what << ": the wait is bounded";
    }
  }
}

// A file that stood still since long before its read is read at once, and
// one changed just now only after it stood still for the settle.
TEST(StillFileRead, OnlyAFreshFileWaitsForTheSettle) {
  testing::ScratchDir dir("vel-still-read");
  ASSERT_TRUE(dir.ok());
  const std::filesystem::path path = dir.path() / "f_00001.psd";
  write_file(path, filled(1000, 7));
  const StillReadTiming timing{.settle = 100ms, .patience = 1s};
  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(read_as_bytes(path, timing));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 80ms) << "a fresh file is read only once settled";
  std::this_thread::sleep_for(150ms);
  started = std::chrono::steady_clock::now();
  ASSERT_TRUE(read_as_bytes(path, timing));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 80ms) << "an old file is read at once";
}

// One look through the folder's descriptor, as a decoder reads.
std::optional<Bytes> read_at(const std::filesystem::path& p, const StillReadTiming& timing) {
  const DirFd dir = open_dir_followed(p.parent_path());
  return taken_bytes(read_still_file_at(dir.get(), p.filename().string(), p, 1 << 20, timing));
}

// A read that meets a change is refused, and the file is taken whole at a
// later read once it stood still again: the caller's next try.
TEST(StillFileRead, AFileChangedUnderTheReadIsRefusedThenTakenOnceStill) {
  constexpr size_t kBytes = 64 * 1024;
  const Bytes own = filled(kBytes, 0x55), other = filled(kBytes, 0x62);
  using Act = testing::FileRewrite::Act;
  struct Case {
    const char* what;
    testing::FileRewrite rewrite;
  } cases[] = {
      {"rewritten in place with another frame during the read", {Act::InPlace, other, 1}},
      {"another frame's file renamed over it during the read", {Act::RenameOver, other, 1}},
  };
  const StillReadTiming timing{.settle = 15ms};
  for (const Case& c : cases) {
    testing::ScratchDir dir("vel-still-read");
    ASSERT_TRUE(dir.ok());
    const std::filesystem::path path = dir.path() / "f_00055.tga";
    write_file(path, own);
    std::this_thread::sleep_for(30ms);
    testing::arm_file_rewrite(path, c.rewrite);
    const std::optional<Bytes> torn = read_at(path, timing);
    testing::disarm_file_rewrite();
    EXPECT_GE(testing::file_rewrites_done(), 1) << c.what << ": the worker never acted";
    EXPECT_FALSE(torn) << c.what << ": a read that met a change was taken";
    std::this_thread::sleep_for(30ms);
    const std::optional<Bytes> still = read_at(path, timing);
    ASSERT_TRUE(still) << c.what;
    EXPECT_TRUE(*still == other) << c.what << ": a torn or stale read was taken";
  }
}

// A file changed within the settle is refused at once, not waited for: the
// reader is a decoder that other frames wait for. Once it stood still for
// the settle it is read.
TEST(StillFileRead, AFreshFileIsRefusedAtOnceAndReadOnceSettled) {
  testing::ScratchDir dir("vel-still-read");
  ASSERT_TRUE(dir.ok());
  const std::filesystem::path path = dir.path() / "f_00001.psd";
  write_file(path, filled(1000, 7));
  const StillReadTiming timing{.settle = 200ms};
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(read_at(path, timing)) << "a fresh file is read only once settled";
  EXPECT_LT(std::chrono::steady_clock::now() - started, 100ms) << "the read waited for the settle";
  std::this_thread::sleep_for(250ms);
  EXPECT_TRUE(read_at(path, timing)) << "a settled file is read";
}

// Only a file a worker made for the pool is read: never through a link, and
// never a second name of someone else's file.
TEST(StillFileRead, NoLinkAndNoSecondNameIsRead) {
  testing::ScratchDir dir("vel-still-read");
  ASSERT_TRUE(dir.ok());
  const std::filesystem::path user = dir.path() / "holiday_00003.tga";
  write_file(user, filled(1000, 9));
  std::filesystem::create_symlink(user, dir.path() / "f_00003.tga");
  std::filesystem::create_hard_link(user, dir.path() / "f_00004.tga");
  std::this_thread::sleep_for(30ms);
  const StillReadTiming timing{.settle = 15ms};
  EXPECT_FALSE(read_at(dir.path() / "f_00003.tga", timing)) << "read through a link";
  EXPECT_FALSE(read_at(dir.path() / "f_00004.tga", timing)) << "read a second name of a user file";
}

// The ingest of a rewritten frame file: the frame decoded is one whole frame.
TEST(StillFileRead, TheIngestDecodesNoTornFrame) {
  testing::ScratchDir dir("vel-still-read");
  ASSERT_TRUE(dir.ok());
  const std::filesystem::path path = dir.path() / "f_00055.psd";
  write_file(path, filled(4096, 1));
  testing::arm_file_rewrite(path, {testing::FileRewrite::Act::InPlace, filled(4096, 2), 1});
  const std::optional<ByteBuffer> bytes = read_output_file(path);
  testing::disarm_file_rewrite();
  ASSERT_TRUE(bytes);
  EXPECT_TRUE(std::all_of(bytes->begin(), bytes->end(), [](uint8_t b) { return b == 2; }));
}

}  // namespace
}  // namespace vel
