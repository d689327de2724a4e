#include "store/store_sweep.h"

#include <gtest/gtest.h>

#include "store/store_test_support.h"

namespace vel {
namespace {

StreamUsage usage(const char* key_dir, const char* stream, int64_t last_use, uint64_t size) {
  return StreamUsage{last_use, 0, size, std::filesystem::path("/store") / key_dir / stream};
}

std::vector<std::string> names(const std::vector<StreamUsage>& u, const std::vector<size_t>& picked) {
  std::vector<std::string> out;
  for (size_t i : picked) out.push_back(u[i].path.parent_path().filename().string() + "/" + u[i].path.filename().string());
  return out;
}

constexpr uint64_t kGiB = uint64_t{1} << 30;

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
    test::put_file(dir / "v0_s24.vnf", std::vector<uint8_t>(bytes, 1));
    test::put_file(dir / ".v1_s24.vnf.tmp", std::vector<uint8_t>(bytes, 1));  // a crash's leftover counts too
    const auto t = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(age_s);
    std::filesystem::last_write_time(dir, t);
    return dir;
  };
  const auto old_a = stream("A", "rgba-premul-v1-1", 300, 100);
  const auto new_a = stream("A", "rgba-premul-v1-2", 200, 100);
  const auto b = stream("B", "rgba-premul-v1-3", 100, 100);
  // A use marker newer than the folder makes the stream the newer one.
  test::put_file(old_a / ".last_used", {});

  std::vector<StreamUsage> u = collect_stream_usage(root);
  ASSERT_EQ(u.size(), 3u);
  for (const StreamUsage& s : u) EXPECT_EQ(s.size, 200u) << "direct entries, the marker empty";

  auto removed = sweep_store(root, 400, 1, b);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0].first, new_a);
  EXPECT_EQ(removed[0].second, 200u);
  EXPECT_TRUE(std::filesystem::exists(old_a));
  EXPECT_TRUE(std::filesystem::exists(b));
  EXPECT_TRUE(sweep_store(root / "absent", 0, 1, std::nullopt).empty());
}

}  // namespace
}  // namespace vel
