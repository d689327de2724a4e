// The typed calls over a fake host: values, error mapping, and the ledger
// of suites and memory handles after every call.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "core/process_flags.h"
#include "fake_host.h"
#include "host/comp_calls.h"
#include "host/frame_timing.h"
#include "host/item_calls.h"
#include "host/project_calls.h"
#include "host/utility_calls.h"
#include "log_capture.h"

namespace vel {
namespace {

class TypedCalls : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(host.outstanding(), 0) << "a suite was not released";
    EXPECT_TRUE(host.handles.empty()) << "a memory handle was not freed";
    EXPECT_EQ(host.bad_frees, 0);
  }
  fake::Host host;
  fake::LogCapture log;
};

TEST_F(TypedCalls, ItemNameIsDecodedAndItsHandleFreed) {
  const struct {
    std::u16string name;
    std::string utf8;
  } table[] = {
      {u"Comp 1", "Comp 1"},
      {u"", ""},
      {u"Sc\u00e8ne \U0001F3AC", "Sc\xC3\xA8ne \xF0\x9F\x8E\xAC"},
      {std::u16string{u'x', char16_t(0xD800)}, "x\xEF\xBF\xBD"},
  };
  for (const auto& row : table) {
    fake::Item item;
    item.name = row.name;
    AEGP_ItemH h = host.add_item(item);
    auto name = item_name(h, 7);
    ASSERT_TRUE(name.ok());
    EXPECT_EQ(name.value(), row.utf8);
  }
  EXPECT_EQ(host.frees, 4);
}

TEST_F(TypedCalls, ItemNameFailuresTakeNoHandle) {
  fake::Item item;
  item.name_err = A_Err_ALLOC;
  AEGP_ItemH h = host.add_item(item);
  auto name = item_name(h, 7);
  ASSERT_FALSE(name.ok());
  EXPECT_EQ(name.error().name(), "OutOfMemory");

  // Without the Memory suite the name is never asked for, so nothing leaks.
  host.hidden.insert(kAEGPMemorySuite);
  auto missing = item_name(host.add_item(fake::Item{}), 7);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), AeError(AeErrorKind::MissingSuite));
  EXPECT_EQ(host.of(kAEGPItemSuite, 14).acquired, 1);
}

TEST_F(TypedCalls, ItemAndCompValues) {
  AEGP_ItemH comp_item = host.add_item(fake::Item{});
  fake::Item folder;
  folder.type = AEGP_ItemType_FOLDER;
  AEGP_ItemH folder_item = host.add_item(folder);

  EXPECT_FALSE(active_item().value().has_value());
  host.active = comp_item;
  EXPECT_EQ(active_item().value(), std::optional<ItemH>(comp_item));

  EXPECT_EQ(item_dimensions(comp_item).value(), (Dimensions{1920, 1080}));
  EXPECT_EQ(item_duration(comp_item).value(), (HostTime{240, 24}));
  EXPECT_EQ(item_type(folder_item).value(), ItemType::Folder);
  EXPECT_FALSE(comp_from_item(folder_item).value().has_value());
  auto comp = comp_from_item(comp_item).value();
  ASSERT_TRUE(comp.has_value());
  EXPECT_EQ(comp_bg_color(*comp).value(), (ColorArgb{1, 0.25, 0.5, 0.75}));
  EXPECT_EQ(comp_num_layers(*comp).value(), 3);
  EXPECT_EQ(comp_work_area(*comp).value(), (WorkArea{{24, 24}, {48, 24}}));
  EXPECT_EQ(item_from_comp(*comp).value(), comp_item);

  auto bad = item_dimensions(reinterpret_cast<ItemH>(uintptr_t{99}));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().name(), "Parameter");
}

TEST_F(TypedCalls, CompFrameTimingReducesAndRefuses) {
  const struct {
    const char* name;
    fake::Item item;
    std::optional<CompFrameTiming> want;
  } table[] = {
      {"24 fps", {.frame_duration = {1, 24}}, CompFrameTiming{1, 24, 240, 24}},
      {"unreduced 24 fps", {.frame_duration = {100, 2400}}, CompFrameTiming{1, 24, 240, 24}},
      {"29.97 stays", {.frame_duration = {1001, 30000}}, CompFrameTiming{1001, 30000, 240, 24}},
      {"2/48 reduces", {.frame_duration = {2, 48}, .duration = {480, 48}}, CompFrameTiming{1, 24, 480, 48}},
      {"largest scale", {.frame_duration = {2, 4294967294u}}, CompFrameTiming{1, 2147483647u, 240, 24}},
      {"folder", {.type = AEGP_ItemType_FOLDER}, std::nullopt},
      {"footage", {.type = AEGP_ItemType_FOOTAGE}, std::nullopt},
      {"zero frame duration", {.frame_duration = {0, 24}}, std::nullopt},
      {"negative frame duration", {.frame_duration = {-1, 24}}, std::nullopt},
      {"zero scale", {.frame_duration = {1, 0}}, std::nullopt},
      {"zero duration", {.duration = {0, 24}}, std::nullopt},
      {"negative duration", {.duration = {-240, 24}}, std::nullopt},
      {"duration scale zero", {.duration = {240, 0}}, std::nullopt},
      {"type call fails", {.type_err = A_Err_GENERIC}, std::nullopt},
      {"frame duration call fails", {.frame_duration_err = A_Err_STRUCT}, std::nullopt},
      {"duration call fails", {.duration_err = 12345}, std::nullopt},
  };
  for (const auto& row : table) {
    AEGP_ItemH h = host.add_item(row.item);
    EXPECT_EQ(comp_frame_timing(h), row.want) << row.name;
  }
  EXPECT_EQ(comp_frame_timing(nullptr), std::nullopt);
  host.hidden.insert(kAEGPCompSuite);
  EXPECT_EQ(comp_frame_timing(host.add_item(fake::Item{})), std::nullopt);
}

TEST_F(TypedCalls, ScriptTextsAreDecodedAndHandlesFreedOnEveryOutcome) {
  host.script_result = "created\xFF";
  host.script_error = "";
  auto out = execute_script(7, "app.project");
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(host.script_seen, "app.project");
  EXPECT_EQ(out.value().result, "created\xEF\xBF\xBD");
  EXPECT_EQ(out.value().error, "");

  host.script_err = A_Err_GENERIC;  // handles given and an error: both still freed
  auto failed = execute_script(7, "x");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().name(), "Generic");

  host.script_err = A_Err_NONE;
  host.script_returns_handles = false;  // no handles at all: empty texts
  auto bare = execute_script(7, "x");
  ASSERT_TRUE(bare.ok());
  EXPECT_EQ(bare.value().result, "");

  host.script_seen.clear();
  auto refused = execute_script(7, std::string_view("a\0b", 3));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), AeError(AeErrorKind::InvalidParms));
  EXPECT_EQ(host.script_seen, "");
}

TEST_F(TypedCalls, SaveProjectConvertsThePathOrRefusesIt) {
  ProjectH p = project_by_index(0).value();
  ASSERT_TRUE(save_project_to_path(p, "/tmp/\xC3\xA9t\xC3\xA9/snap.aep").ok());
  EXPECT_EQ(host.saved_to, u"/tmp/\u00e9t\u00e9/snap.aep");

  host.saved_to.clear();
  const std::string_view refused[] = {"", "/tmp/\xFF.aep", std::string_view("/tmp/a\0b.aep", 12)};
  for (auto path : refused) {
    auto st = save_project_to_path(p, path);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error(), AeError(AeErrorKind::InvalidParms));
  }
  EXPECT_TRUE(host.saved_to.empty());
}

TEST_F(TypedCalls, ProjectFileState) {
  auto file = std::filesystem::temp_directory_path() / ("vel_host_proj_" + std::to_string(::getpid()) + ".aep");
  std::ofstream(file) << "x";
  std::u16string existing(file.native().begin(), file.native().end());
  const struct {
    const char* name;
    A_long projects;
    std::u16string path;
    A_Boolean dirty;
    bool some;
  } table[] = {
      {"no project", 0, existing, 0, false},
      {"never saved", 1, u"", 0, false},
      {"file gone", 1, u"/nonexistent/velocinta/x.aep", 0, false},
      {"clean", 1, existing, 0, true},
      {"dirty", 1, existing, 1, true},
  };
  for (const auto& row : table) {
    host.num_projects = row.projects;
    host.project_path = row.path;
    host.dirty = row.dirty;
    auto st = project_file_state();
    ASSERT_EQ(st.has_value(), row.some) << row.name;
    if (st) {
      EXPECT_EQ(st->path, file.string());
      EXPECT_EQ(st->dirty, row.dirty != 0);
    }
  }
  std::filesystem::remove(file);
}

// Runs once per process: the kept suite stays for the life of the process.
TEST(KeptUtilitySuite, EarlyIdleGoesThroughTheKeptSuiteUntilModalOrDying) {
  fake::Host host;
  fake::LogCapture log;
  EXPECT_FALSE(cause_idle_routines().ok());  // nothing kept yet
  ASSERT_TRUE(keep_utility_suite().ok());
  ASSERT_TRUE(keep_utility_suite().ok());  // idempotent: one acquisition
  EXPECT_TRUE(utility_suite_kept());
  EXPECT_EQ(host.of(kAEGPUtilitySuite, 13).acquired, 1);
  EXPECT_EQ(host.of(kAEGPUtilitySuite, 13).released, 0);

  request_early_idle();
  EXPECT_EQ(host.idle_requests, 1);
  modal_flag().store(true);
  request_early_idle();
  modal_flag().store(false);
  EXPECT_EQ(host.idle_requests, 1);
  request_early_idle();
  EXPECT_EQ(host.idle_requests, 2);

  // Worker threads ask for early idle calls while the main thread goes on.
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([] {
      for (int i = 0; i < 250; ++i) request_early_idle();
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(host.idle_requests, 1002);
}

}  // namespace
}  // namespace vel
