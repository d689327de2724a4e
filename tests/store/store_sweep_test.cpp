#include "store/store_sweep.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

#include "store/store_names.h"
#include "store/store_test_support.h"
#include "store/byte_sizes.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

StreamUsage usage(const char* key_dir, const char* stream, int64_t last_use, uint64_t size) {
  return StreamUsage{last_use, 0, size, std::filesystem::path("/store") / key_dir / stream};
}

std::vector<std::string> names(const std::vector<StreamUsage>& u, const std::vector<size_t>& picked) {
  std::vector<std::string> out;
  for (size_t i : picked) out.push_back(u[i].path.parent_path().filename().string() + "/" + u[i].path.filename().string());
  return out;
}


TEST(StoreSweep, SelectionTable) {
  using V = std::vector<std::string>;
  struct Row {
    const char* what;
    std::vector<StreamUsage> usages;
    std::optional<std::filesystem::path> active;
    V removed;
  };
  const Row rows[] = {
      {"one stream per name survives, far below the cap",
       {usage("A", "old", 1, 10), usage("A", "new", 2, 10)}, std::nullopt, V{"A/old"}},
      {"the active stream is never removed, the newer stays by rule",
       {usage("A", "old", 1, 10), usage("A", "new", 2, 10)}, "/store/A/old", V{}},
      {"over the cap only the oldest goes",
       {usage("A", "s", 2, 6 * kGiB), usage("B", "s", 1, 6 * kGiB), usage("C", "s", 3, 6 * kGiB)}, std::nullopt,
       V{"B/s"}},
      {"the active stream alone over the cap stays",
       {usage("A", "s", 1, 20 * kGiB)}, "/store/A/s", V{}},
      {"equal times keep the listing order, oldest first",
       {usage("A", "s", 5, 9 * kGiB), usage("B", "s", 5, 9 * kGiB)}, std::nullopt, V{"A/s"}},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(names(r.usages, select_streams_to_remove(r.usages, kStoreCapBytes, 1, r.active)), r.removed) << r.what;
  }
}

TEST(StoreSweep, MeasuresAndRemovesRealFolders) {
  testing::ScratchDir scratch;
  const auto root = scratch.path();
  auto stream = [&](const char* key, const char* name, int64_t age_s, size_t bytes) {
    const auto dir = root / key / name;
    test::put_file(dir / ".composition", {});
    test::put_file(dir / "v0_s24.vnf", std::vector<uint8_t>(bytes, 1));
    test::put_file(dir / ".v1_s24.vnf.tmp", std::vector<uint8_t>(bytes, 1));  // a crash's leftover counts too
    const auto t = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(age_s);
    std::filesystem::last_write_time(dir, t);
    return dir;
  };
  const auto old_a = stream("A", stream_dir_name(1).c_str(), 300, 100);
  const auto new_a = stream("A", stream_dir_name(2).c_str(), 200, 100);
  const auto b = stream("B", stream_dir_name(3).c_str(), 100, 100);
  // A use marker newer than the folder makes the stream the newer one.
  test::put_file(old_a / ".last_used", {});

  std::vector<StreamUsage> u = collect_stream_usage(root);
  ASSERT_EQ(u.size(), 3u);
  // The disk the files take: a block each, not their 100 bytes.
  const uint64_t stream_bytes = 2 * test::disk_use(root, 100);
  for (const StreamUsage& s : u) EXPECT_EQ(s.size, stream_bytes) << "direct entries, the marker empty";

  auto removed = sweep_store(root, 2 * stream_bytes, 1, b);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0].first, new_a);
  EXPECT_EQ(removed[0].second, stream_bytes);
  EXPECT_TRUE(std::filesystem::exists(old_a));
  EXPECT_TRUE(std::filesystem::exists(b));
  EXPECT_TRUE(sweep_store(root / "absent", 0, 1, std::nullopt).empty());
}

// Every file of a tree, with its bytes: what must come out of a sweep or a
// purge unchanged.
std::map<std::string, std::string> tree_of(const fs::path& top) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator(); ++it) {
    out[fs::relative(it->path(), top).string()] = it->is_regular_file() ? testing::read_text(it->path()) : "<dir>";
  }
  return out;
}

// The cache moved to another disk by a link, into a folder of the user's
// own: the sweep follows the link and takes away only the streams the store
// made; folders two levels down are not streams by their depth alone.
class LinkedStoreRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    for (const char* d : {"projA/2019", "projA/2020", "projA/2021", "photos/trip", "photos/family"}) {
      test::put_file(user_ / d / "picture.jpg", std::vector<uint8_t>(64, 7));
    }
    // Looks like a stream by its name, but the store never made it.
    test::put_file(user_ / "Comp_1" / stream_dir_name(9) / "notes.txt", {'n'});
    fs::create_directories(scratch_.path() / "Caches");
    fs::create_symlink(user_, root_);
  }
  fs::path stream(const char* key, uint64_t fp, int64_t age_s) {
    const fs::path dir = root_ / key / stream_dir_name(fp);
    test::put_file(dir / ".composition", {'C'});
    test::put_file(dir / frame_file_name({0, 24}), std::vector<uint8_t>(100, 1));
    test::put_file(dir / ".last_used", {});
    const auto t = fs::file_time_type::clock::now() - std::chrono::seconds(age_s);
    fs::last_write_time(dir / ".last_used", t);
    fs::last_write_time(dir, t);
    return dir;
  }
  testing::ScratchDir scratch_{"vel-sweep"};
  fs::path user_ = scratch_.path() / "ExternalDisk";
  fs::path root_ = scratch_.path() / "Caches" / "framestore-fast-v1";
};

TEST_F(LinkedStoreRootTest, TheSweepTouchesNothingButTheStoresOwnStreams) {
  const auto users = tree_of(user_);
  const fs::path old_s = stream("Comp_1", 1, 300);
  const fs::path new_s = stream("Comp_1", 2, 100);
  // A stream of the store's holding a file of the user's: the store's files
  // go, the user's file and so the folder stay.
  const fs::path mixed = stream("Comp_2", 3, 400);
  test::put_file(mixed / "keep.txt", {'k'});
  fs::last_write_time(mixed, fs::file_time_type::clock::now() - std::chrono::seconds(400));
  (void)stream("Comp_2", 4, 50);

  const auto usages = collect_stream_usage(root_);
  EXPECT_EQ(usages.size(), 4u) << "only folders with a stream's name and the owner file";
  const auto removed = sweep_store(root_, kStoreCapBytes, 1, std::nullopt);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0].first, old_s);
  EXPECT_FALSE(fs::exists(old_s));
  EXPECT_TRUE(fs::exists(new_s / frame_file_name({0, 24})));
  EXPECT_EQ(testing::read_text(mixed / "keep.txt"), "k");
  EXPECT_FALSE(fs::exists(mixed / ".composition"));
  EXPECT_FALSE(fs::exists(mixed / frame_file_name({0, 24})));
  EXPECT_TRUE(fs::is_symlink(root_));
  fs::remove_all(new_s);
  fs::remove_all(user_ / "Comp_2" / stream_dir_name(4));
  fs::remove(mixed / ".last_used");
  auto after = tree_of(user_);
  after.erase("Comp_2/" + stream_dir_name(3) + "/keep.txt");
  after.erase("Comp_2/" + stream_dir_name(3));
  after.erase("Comp_2");
  EXPECT_EQ(after, users) << "every file and folder of the user's is still there";
}

TEST_F(LinkedStoreRootTest, AStreamSwappedForALinkAfterMeasuringIsNotFollowed) {
  const fs::path old_s = stream("Comp_1", 1, 300);
  (void)stream("Comp_1", 2, 100);
  const auto usages = collect_stream_usage(root_);
  ASSERT_EQ(usages.size(), 2u);
  // Between the walk and the removal the old stream becomes a link to the
  // user's folder, a stream's files planted in it.
  fs::remove_all(old_s);
  test::put_file(user_ / "projA" / "2019" / ".composition", {'C'});
  test::put_file(user_ / "projA" / "2019" / frame_file_name({0, 24}), {'f'});
  fs::create_symlink(user_ / "projA" / "2019", old_s);
  EXPECT_TRUE(sweep_store(root_, kStoreCapBytes, 1, std::nullopt).empty());
  EXPECT_TRUE(fs::exists(user_ / "projA" / "2019" / frame_file_name({0, 24})));
}

TEST_F(LinkedStoreRootTest, APurgeRemovesTheStoresStreamsAndKeepsTheLink) {
  const auto users = tree_of(user_);
  (void)stream("Comp_1", 1, 300);
  (void)stream("Main", 2, 100);
  EXPECT_TRUE(purge_store(root_));
  EXPECT_TRUE(fs::is_symlink(root_));
  EXPECT_FALSE(fs::exists(user_ / "Main")) << "an emptied key folder goes";
  EXPECT_EQ(tree_of(user_), users);

  // A real root holding nothing else goes as a whole.
  const fs::path real = scratch_.path() / "real";
  test::put_file(real / "Main" / stream_dir_name(5) / ".composition", {'C'});
  EXPECT_TRUE(purge_store(real));
  EXPECT_FALSE(fs::exists(real));
  EXPECT_TRUE(purge_store(real)) << "nothing to purge";
}

}  // namespace
}  // namespace vel
