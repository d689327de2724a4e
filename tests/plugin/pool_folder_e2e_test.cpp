// The pool's folder in the temporary directory, unusable from the start:
// a link, a folder others may write into, a plain file, another user's
// folder. The host says once that the pool is off for the session, shows it
// in the panel, leaves what it found alone and writes nothing more about it,
// however long the user keeps the pool turned on.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "plugin/simhost_pool_run.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

size_t count_of(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

class PoolFolderRun : public testing::SimhostPoolRun {};

TEST_F(PoolFolderRun, AnUnusablePoolFolderIsSaidOnceAndLeftAlone) {
  struct Row {
    const char* name;
    std::function<void(const fs::path& pool, const fs::path& root)> make;
    std::function<bool(const fs::path& pool, const fs::path& root)> intact;
  };
  const auto user_folder = [](const fs::path& root) { return root / "elsewhere"; };
  std::vector<Row> rows = {
      {"a link to a folder",
       [&](const fs::path& pool, const fs::path& root) {
         fs::create_directories(user_folder(root));
         ::chmod(user_folder(root).c_str(), 0700);
         std::ofstream(user_folder(root) / "keep.txt") << "mine";
         fs::create_directory_symlink(user_folder(root), pool);
       },
       [&](const fs::path& pool, const fs::path& root) {
         return fs::is_symlink(pool) && testing::read_text(user_folder(root) / "keep.txt") == "mine" &&
                std::distance(fs::directory_iterator(user_folder(root)), fs::directory_iterator()) == 1;
       }},
      {"a folder others may write into",
       [](const fs::path& pool, const fs::path&) {
         fs::create_directory(pool);
         ::chmod(pool.c_str(), 0777);
       },
       [](const fs::path& pool, const fs::path&) {
         return fs::is_directory(pool) && fs::is_empty(pool);
       }},
      {"a plain file",
       [](const fs::path& pool, const fs::path&) { std::ofstream(pool) << "notes"; },
       [](const fs::path& pool, const fs::path&) {
         return fs::is_regular_file(pool) && testing::read_text(pool) == "notes";
       }},
  };
  if (::geteuid() == 0) {
    rows.push_back({"another user's folder",
                    [](const fs::path& pool, const fs::path&) {
                      fs::create_directory(pool);
                      ::chmod(pool.c_str(), 0700);
                      ASSERT_EQ(::chown(pool.c_str(), 65534, 65534), 0);
                    },
                    [](const fs::path& pool, const fs::path&) { return fs::is_directory(pool) && fs::is_empty(pool); }});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    row.make(pool_dir(), root_);
    // The pool stays on until the first pipeline report, five seconds in:
    // long enough for a pump that retried to write its line dozens of times.
    json events = pool_on_events();
    events.push_back({{"when", "text:Render engines off for this session"}, {"action", "wait"}});
    events.push_back(when_logged("PIPELINE(5s)", 1, {{"action", "quit"}}));
    auto r = run({}, events, 60.0);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const json s = summary();
    EXPECT_EQ(s["quit"], true) << s["still_waiting"];
    const std::string text = log();
    EXPECT_EQ(count_of(text, "ERROR: pool: DÉSACTIVÉ pour la session — "), 1u) << text;
    EXPECT_EQ(count_of(text, "pool: snapshot"), 0u) << text;
    EXPECT_EQ(count_of(text, "ERROR"), 1u) << text;
    EXPECT_TRUE(row.intact(pool_dir(), root_));
    EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
    fs::remove_all(root_);
  }
}

}  // namespace
}  // namespace vel
