#include "store/stream_dir.h"

#include <gtest/gtest.h>

#include "store/frame_file_io.h"
#include "store/frame_store.h"
#include "store/store_names.h"
#include "store/store_test_support.h"

namespace vel {
namespace {

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
