#include "store/stream_dir.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <string>

#include "store/frame_file_io.h"
#include "store/frame_store.h"
#include "store/store_names.h"
#include "store/store_test_support.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

TEST(StreamDir, TwoNamesWithOneStemNeverShareFrames) {
  testing::ScratchDir scratch;
  const auto root = scratch.path();
  const uint64_t fp = 0x1234;
  // "Comp 1" takes the plain layout and writes a frame.
  auto comp1 = choose_stream_dir(root, "Comp 1", fp);
  ASSERT_TRUE(comp1);
  EXPECT_EQ(*comp1, root / "Comp_1" / stream_dir_name(fp));
  ASSERT_TRUE(claim_stream_dir(*comp1, "Comp 1"));
  ASSERT_TRUE(write_raw_frame_file(*comp1, {0, 24}, test::pattern_frame(4, 4, 1)));
  EXPECT_EQ(choose_stream_dir(root, "Comp 1", fp), comp1) << "the owner comes back to its stream";

  // "Comp-1" sanitizes alike but gets a key folder of its own.
  auto comp_dash = choose_stream_dir(root, "Comp-1", fp);
  ASSERT_TRUE(comp_dash);
  EXPECT_NE(comp_dash->parent_path(), comp1->parent_path());
  EXPECT_EQ(comp_dash->parent_path().filename(), "Comp_1_" + hex16(fnv1a64("Comp-1")));
  LoadContext ctx;
  EXPECT_FALSE(load_frame_file(*comp_dash, {0, 24}, ctx));
  EXPECT_FALSE(claim_stream_dir(*comp1, "Comp-1"));

  // Two non-Latin names of one length.
  ASSERT_TRUE(claim_stream_dir(*choose_stream_dir(root, "東京", fp), "東京"));
  EXPECT_NE(choose_stream_dir(root, "大阪", fp), choose_stream_dir(root, "東京", fp));
}

TEST(StreamDir, OwnershipTable) {
  testing::ScratchDir scratch;
  const auto dir = scratch.path() / "s";
  EXPECT_EQ(stream_owner(dir, "A"), StreamOwner::Unclaimed) << "absent";
  ASSERT_TRUE(write_raw_frame_file(dir, {0, 24}, test::pattern_frame(1, 1)));
  EXPECT_EQ(stream_owner(dir, "A"), StreamOwner::Foreign) << "frames without an owner are nobody's to trust";
  std::filesystem::remove(dir / frame_file_name({0, 24}));
  EXPECT_EQ(stream_owner(dir, "A"), StreamOwner::Unclaimed);
  ASSERT_TRUE(claim_stream_dir(dir, "A"));
  EXPECT_EQ(stream_owner(dir, "A"), StreamOwner::Ours);
  EXPECT_EQ(stream_owner(dir, "a"), StreamOwner::Foreign);
  EXPECT_EQ(stream_owner(dir, "A "), StreamOwner::Foreign);
  std::filesystem::remove(dir / kStreamOwnerFile);
  std::filesystem::create_directory(dir / kStreamOwnerFile);
  EXPECT_EQ(stream_owner(dir, "A"), StreamOwner::Foreign) << "an owner file that is no file";
}

// What stands at a stream folder's name that is no folder would keep the
// composition's store off in every run: the name is the store's, so it goes.
// A key folder's name may be anything of the user's: it is passed by.
TEST(StreamDir, WhatBlocksAStreamsNameIsMendedAndAUsersNameIsPassedBy) {
  testing::ScratchDir scratch;
  const auto root = scratch.path() / "store";
  const auto user = scratch.path() / "user";
  test::put_file(user / "mine.txt", {'m'});
  const uint64_t fp = 0xabc;
  const std::string name = stream_dir_name(fp);
  struct Row {
    const char* what;
    std::function<void(const fs::path&)> plant;
  };
  const Row rows[] = {
      {"a plain file", [](const fs::path& p) { test::put_file(p, {'x'}); }},
      {"a link to the user's folder", [&](const fs::path& p) { fs::create_symlink(user, p); }},
      {"a dangling link", [&](const fs::path& p) { fs::create_symlink(user / "absent", p); }},
      {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
  };
  int n = 0;
  for (const Row& r : rows) {
    const std::string key = "Comp" + std::to_string(n++);
    fs::create_directories(root / key);
    r.plant(root / key / name);
    const auto dir = choose_stream_dir(root, key, fp);
    ASSERT_TRUE(dir) << r.what;
    EXPECT_EQ(*dir, root / key / name) << r.what;
    ASSERT_TRUE(claim_stream_dir(*dir, key)) << r.what;
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(*dir))) << r.what;
    EXPECT_TRUE(write_raw_frame_file(*dir, {0, 24}, test::pattern_frame(2, 2))) << r.what;
  }
  EXPECT_EQ(testing::read_text(user / "mine.txt"), "m");
  EXPECT_EQ(std::distance(fs::directory_iterator(user), fs::directory_iterator()), 1) << "nothing written there";

  // A file of the user's named like a key folder stays; the name takes the
  // key folder a second name of the same stem would.
  test::put_file(root / "Notes", {'u'});
  const auto notes = choose_stream_dir(root, "Notes", fp);
  ASSERT_TRUE(notes);
  EXPECT_EQ(notes->parent_path().filename(), "Notes_" + hex16(fnv1a64("Notes")));
  EXPECT_EQ(testing::read_text(root / "Notes"), "u");
  fs::create_symlink(user, root / "Linked");
  const auto linked = choose_stream_dir(root, "Linked", fp);
  ASSERT_TRUE(linked);
  EXPECT_NE(linked->parent_path(), root / "Linked") << "a linked key folder is not followed";
}

TEST(StreamDir, FingerprintFollowsTheBytesAndRefusesWhatIsNoFile) {
  testing::ScratchDir scratch;
  const auto p = scratch.path() / "project.aep";
  std::vector<uint8_t> bytes(100000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31);
  test::put_file(p, bytes);
  auto go = [] { return true; };
  auto fp = fingerprint_file(p, go);
  ASSERT_TRUE(fp);
  EXPECT_EQ(*fp, fnv1a64(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())))
      << "chunks hash as one stream";
  bytes[99999] ^= 1;
  test::put_file(p, bytes);
  EXPECT_NE(fingerprint_file(p, go), fp);
  EXPECT_FALSE(fingerprint_file(scratch.path(), go)) << "a folder";
  EXPECT_FALSE(fingerprint_file(scratch.path() / "absent", go));
  int calls = 0;
  EXPECT_FALSE(fingerprint_file(p, [&] { return ++calls < 2; })) << "a generation moved during the read";
}

}  // namespace
}  // namespace vel
