#include "core/options.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "core/log.h"

#include "support/scratch_dir.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

TEST(PersistedOptions, EncodeIsCompactAndRoundTrips) {
  PersistedOptions o{2, 3, false, 16};
  EXPECT_EQ(encode_persisted_options(o), R"({"quality":2,"speed":3,"autosave":false,"depth":16})");
  auto back = decode_persisted_options(encode_persisted_options(o));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, o);
}

TEST(PersistedOptions, DecodeTable) {
  struct Case {
    const char* text;
    bool ok;
    PersistedOptions want;
  } cases[] = {
      {"{}", true, {}},
      {R"({"quality":9,"speed":7})", true, {3, 3, true, 8}},
      {R"({"depth":12})", true, {1, 0, true, 8}},
      {R"({"quality":-1})", false, {}},
      {R"({"quality":"2"})", false, {}},
      {R"({"autosave":1})", false, {}},
      {"[1,2]", false, {}},
      {"{\"quality\":", false, {}},
      {"", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto got = decode_persisted_options(c.text);
    ASSERT_EQ(got.has_value(), c.ok);
    if (c.ok) {
      EXPECT_EQ(*got, c.want);
    }
  }
}

class OptionsFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
  testing::ScratchDir scratch_{"vel-opts"};
  fs::path dir_ = scratch_.path();
};

TEST_F(OptionsFileTest, SaveThenLoadWithSpeedCap) {
  fs::path f = dir_ / "sub" / "panel_options.json";
  ASSERT_TRUE(save_persisted_options(f, {0, 3, false, 32}));
  EXPECT_EQ(load_persisted_options(f, 3), (PersistedOptions{0, 3, false, 32}));
  EXPECT_EQ(load_persisted_options(f, 1).speed, 1u);
  // No temporary file is left beside it.
  size_t entries = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(f.parent_path())) ++entries;
  EXPECT_EQ(entries, 1u);
}

TEST_F(OptionsFileTest, CorruptOrMissingFileGivesDefaultsAndStays) {
  fs::path f = dir_ / "panel_options.json";
  EXPECT_EQ(load_persisted_options(f, 3), PersistedOptions{});
  std::ofstream(f) << "{\"quality\": 2, garbage";
  EXPECT_EQ(load_persisted_options(f, 3), PersistedOptions{});
  EXPECT_TRUE(fs::exists(f));
}

// Whatever a user's home holds at the options' name, the load answers at
// once with the defaults and one line, and leaves it where it is.
TEST_F(OptionsFileTest, WhatIsNoOptionsFileGivesDefaultsWithOneLine) {
  const fs::path log = dir_ / "velocinta.log";
  ASSERT_TRUE(open_log_file_at(log, LogRole::Worker));
  struct Row {
    const char* what;
    std::function<void(const fs::path&)> make;
  };
  const Row rows[] = {
      {"a FIFO (opening it would wait for a writer)", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"a link to /dev/zero (reading it never ends)", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
      {"a folder", [](const fs::path& p) { fs::create_directory(p); }},
      {"a file over the limit", [](const fs::path& p) {
         std::ofstream(p) << "{\"quality\":2" << std::string(kOptionsFileLimit, ' ') << "}";
       }},
  };
  int n = 0;
  for (const Row& r : rows) {
    const fs::path f = dir_ / ("options-" + std::to_string(n++) + ".json");
    r.make(f);
    const std::string before = testing::read_text(log);
    EXPECT_EQ(load_persisted_options(f, 3), PersistedOptions{}) << r.what;
    const std::string added = testing::read_text(log).substr(before.size());
    EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), 1) << r.what << ": " << added;
    EXPECT_NE(added.find("options: fichier refusé, réglages par défaut : " + f.string()), std::string::npos) << added;
    EXPECT_TRUE(fs::exists(fs::symlink_status(f))) << r.what;
  }
  // A link to a regular file is how settings in a linked folder look.
  const fs::path real = dir_ / "real.json";
  ASSERT_TRUE(save_persisted_options(real, {2, 1, false, 16}));
  fs::create_symlink(real, dir_ / "linked.json");
  EXPECT_EQ(load_persisted_options(dir_ / "linked.json", 3), (PersistedOptions{2, 1, false, 16}));
  close_log_file();
}

}  // namespace
}  // namespace vel
