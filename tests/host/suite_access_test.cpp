#include "host/suite_access.h"

#include <gtest/gtest.h>

#include "fake_host.h"
#include "host/suite_probe.h"
#include "log_capture.h"

namespace vel {
namespace {

// Paths a caller may take after acquiring; every one must give the suite back.
Status<AeError> use_and_fail_early() {
  VEL_TRY_SUITE(items, AEGP_ItemSuite14);
  (void)items;
  return Err{AeError(AeErrorKind::Generic)};
}
Status<AeError> use_two_and_miss_the_second() {
  VEL_TRY_SUITE(items, AEGP_ItemSuite14);
  VEL_TRY_SUITE(comps, AEGP_CompSuite25);
  (void)items;
  (void)comps;
  return ok_unit();
}

TEST(SuiteGuard, ReleasesOnEveryPath) {
  const struct {
    const char* name;
    void (*path)();
  } table[] = {
      {"scope end", [] { auto g = acquire_suite<AEGP_ItemSuite14>(); ASSERT_TRUE(g.ok()); }},
      {"early error return", [] { (void)use_and_fail_early(); }},
      {"second suite missing", [] {
         fake::Host::current().hidden.insert(kAEGPCompSuite);
         EXPECT_FALSE(use_two_and_miss_the_second().ok());
       }},
      {"moved into another guard", [] {
         auto g = acquire_suite<AEGP_ItemSuite14>();
         ASSERT_TRUE(g.ok());
         SuiteGuard<AEGP_ItemSuite14> moved = std::move(g.value());
         SuiteGuard<AEGP_ItemSuite14> assigned = std::move(moved);
         EXPECT_NE(assigned.get(), nullptr);
         EXPECT_EQ(moved.get(), nullptr);
       }},
      {"move-assigned over a held guard", [] {
         auto a = acquire_suite<AEGP_ItemSuite14>();
         auto b = acquire_suite<AEGP_ItemSuite14>();
         ASSERT_TRUE(a.ok() && b.ok());
         a.value() = std::move(b.value());
         EXPECT_EQ(fake::Host::current().outstanding(), 1);
       }},
      {"exception through the scope", [] {
         try {
           auto g = acquire_suite<AEGP_ItemSuite14>();
           throw 1;
         } catch (int) {
         }
       }},
  };
  for (const auto& row : table) {
    fake::Host host;
    fake::LogCapture log;
    row.path();
    EXPECT_EQ(host.outstanding(), 0) << row.name;
    EXPECT_GT(host.of(kAEGPItemSuite, 14).acquired, 0) << row.name;
  }
}

TEST(SuiteGuard, MissingSuiteIsOneLineAndMissingSuiteError) {
  const struct {
    const char* name;
    void (*arrange)(fake::Host&);
  } table[] = {
      {"hidden by the host", [](fake::Host& h) { h.hidden.insert(kAEGPItemSuite); }},
      {"wrong version only", [](fake::Host& h) {
         h.tables.erase({kAEGPItemSuite, 14});
         h.tables[{kAEGPItemSuite, 13}] = h.tables.begin()->second;
       }},
      {"success without a table", [](fake::Host& h) { h.acquire_succeeds_without_table = true; }},
      {"no basic suite stored", [](fake::Host&) { store_basic_suite(nullptr); }},
  };
  for (const auto& row : table) {
    fake::Host host;
    fake::LogCapture log;
    row.arrange(host);
    auto g = acquire_suite<AEGP_ItemSuite14>();
    ASSERT_FALSE(g.ok()) << row.name;
    EXPECT_EQ(g.error(), AeError(AeErrorKind::MissingSuite)) << row.name;
    EXPECT_EQ(g.error().name(), "MissingSuite");
    auto lines = log.lines_with("Suite not found: ");
    ASSERT_EQ(lines.size(), 1u) << row.name;
    EXPECT_NE(lines[0].find("ERROR: Suite not found: AEGP_ItemSuite14, kAEGPItemSuite, kAEGPItemSuiteVersion14"),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(host.outstanding(), 0) << row.name;
  }
}

// Asked for on every idle call, a lacking suite is written once; when the
// host offers it again, one line says how often it was missed meanwhile.
TEST(MissingSuite, RepeatsAreCountedUntilTheSuiteTurnsUp) {
  fake::Host host;
  fake::LogCapture log;
  host.hidden.insert(kAEGPItemSuite);
  for (int i = 0; i < 300; ++i) ASSERT_FALSE(acquire_suite<AEGP_ItemSuite14>().ok());
  ASSERT_TRUE(acquire_suite<AEGP_CompSuite25>().ok()) << "another suite does not end the condition";
  EXPECT_EQ(log.lines_with("Suite not found: ").size(), 1u);
  host.hidden.clear();
  ASSERT_TRUE(acquire_suite<AEGP_ItemSuite14>().ok());
  auto summary = log.lines_with("repeated");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_NE(summary[0].find("INFO: Suite not found: AEGP_ItemSuite14, kAEGPItemSuite, kAEGPItemSuiteVersion14 "
                            "(repeated 299 more times, then stopped)"),
            std::string::npos)
      << summary[0];
  EXPECT_EQ(host.outstanding(), 0);
}

TEST(SuiteProbe, CountsMissingSuitesAndGivesEveryOtherBack) {
  fake::Host host;
  fake::LogCapture log;
  // The fake offers Memory, Item, Comp, Proj, Utility and Layer 13 of the twelve.
  EXPECT_EQ(probe_host_suites(), 6u);
  EXPECT_EQ(log.lines_with("Suite not found: ").size(), 6u);
  EXPECT_EQ(host.outstanding(), 0);
}

}  // namespace
}  // namespace vel
