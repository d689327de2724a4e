#include "pool/process/aerender_lookup.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/log.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;

class AerenderLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    apps_ = dir_.path() / "Applications";
    fs::create_directories(apps_);
    ASSERT_TRUE(open_log_file_at(dir_.path() / "velocinta.log", LogRole::Host));
  }
  void TearDown() override { close_log_file(); }
  fs::path install(const std::string& folder) {
    fs::create_directories(apps_ / folder);
    std::ofstream(apps_ / folder / "aerender") << "#!/bin/sh\n";
    return apps_ / folder / "aerender";
  }
  std::string log() { return testing::read_text(dir_.path() / "velocinta.log"); }

  ScratchDir dir_{"vel-aerender"};
  fs::path apps_;
};

TEST_F(AerenderLookupTest, TheNewestInstalledHostWins) {
  install("Compositing Host 2024");
  const fs::path newest = install("Compositing Host 2025");
  fs::create_directories(apps_ / "Compositing Host 2026");  // no aerender inside
  install("Compositing Suite 2030");
  install("compositing host 2030");  // the prefix is case-sensitive
  AerenderLookup lookup;
  EXPECT_EQ(resolve_aerender(lookup, std::nullopt, apps_), newest);
  EXPECT_EQ(log(), "");
}

TEST_F(AerenderLookupTest, ALetterAfterThePrefixSortsAfterADigit) {
  install("Compositing Host 2025");
  const fs::path beta = install("Compositing Host (Beta)");
  const fs::path letter = install("Compositing Host Beta");
  AerenderLookup lookup;
  EXPECT_EQ(resolve_aerender(lookup, std::nullopt, apps_), letter);
  (void)beta;
}

TEST_F(AerenderLookupTest, AnInvalidVariableLogsOnceAndTheFolderDecides) {
  const fs::path installed = install("Compositing Host 2025");
  for (const fs::path& bad : {dir_.path(), dir_.path() / "missing"}) {
    AerenderLookup lookup;
    EXPECT_EQ(resolve_aerender(lookup, bad.string(), apps_), installed);
    EXPECT_EQ(resolve_aerender(lookup, bad.string(), apps_), installed);
  }
  const std::string text = log();
  EXPECT_NE(text.find("ERROR: pool: VELOCINTA_AERENDER invalide : " + dir_.path().string() + "\n"),
            std::string::npos);
  EXPECT_NE(text.find("ERROR: pool: VELOCINTA_AERENDER invalide : " + (dir_.path() / "missing").string() + "\n"),
            std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << "one line per lookup";
}

TEST_F(AerenderLookupTest, TheVariableWinsAndTheAnswerIsKeptForTheProcess) {
  const fs::path own = dir_.path() / "my-aerender";
  std::ofstream(own) << "x";
  AerenderLookup lookup;
  EXPECT_EQ(resolve_aerender(lookup, own.string(), apps_), own);

  AerenderLookup nothing;
  EXPECT_EQ(resolve_aerender(nothing, std::nullopt, apps_), std::nullopt);
  install("Compositing Host 2025");
  EXPECT_EQ(resolve_aerender(nothing, std::nullopt, apps_), std::nullopt) << "never looked up again";
  AerenderLookup no_folder;
  EXPECT_EQ(resolve_aerender(no_folder, std::nullopt, dir_.path() / "nowhere"), std::nullopt);
}

}  // namespace
}  // namespace vel
