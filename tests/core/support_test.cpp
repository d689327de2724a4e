#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/ffi_boundary.h"
#include "core/format.h"
#include "core/machine.h"
#include "core/threads.h"

namespace vel {
namespace {

TEST(ThreadNames, OsNameFitsFifteenBytes) {
  struct Case {
    const char* full;
    const char* os;
  } cases[] = {
      {"velocinta-pack", "velocinta-pack"},
      {"velocinta-unpack", "vel-unpack"},
      {"velocinta-raster-12", "vel-raster-12"},
      {"velocinta-pool-memory", "vel-pool-memory"},
      {"velocinta-witness-dump", "vel-itness-dump"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(os_thread_name(c.full), c.os);
    EXPECT_LE(os_thread_name(c.full).size(), 15u);
  }
}

TEST(ThreadNames, FullNameIsKeptInsideTheThread) {
  std::string seen;
  auto t = spawn_named_thread("velocinta-witness-dump", [&] { seen = current_thread_name(); });
  ASSERT_TRUE(t.ok()) << t.error();
  t.value().join();
  EXPECT_EQ(seen, "velocinta-witness-dump");
}

TEST(Format, ShortestRoundTrip) {
  struct Case {
    double v;
    const char* text;
  } cases[] = {{0.1, "0.1"}, {3.0, "3.0"}, {-2.5, "-2.5"}, {1e21, "1e+21"}, {16.666666666666668, "16.666666666666668"}};
  for (const auto& c : cases) EXPECT_EQ(fmt_f64(c.v), c.text);
  EXPECT_EQ(fmt_f64(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(fmt_opt(std::optional<double>(2.0)), "Some(2.0)");
  EXPECT_EQ(fmt_opt(std::optional<double>()), "None");
  EXPECT_EQ(fmt_opt(std::optional<uint64_t>(7)), "Some(7)");
  EXPECT_EQ(fmt_2dp(3.14159), "3.14");
  EXPECT_EQ(fmt_fixed(1234.56, 1), "1234.6");
  EXPECT_EQ(fmt_fixed(0.0004, 3), "0.000");
  EXPECT_EQ(fmt_fixed(7.0, 0), "7");
  EXPECT_EQ(fmt_fixed(-std::numeric_limits<double>::infinity(), 1), "-inf");
  EXPECT_EQ(fmt_fixed(std::numeric_limits<double>::max(), 40).size(), 309u + 1 + 9);
}

TEST(Machine, MemAvailableParsing) {
  struct Case {
    const char* text;
    std::optional<uint64_t> bytes;
  } cases[] = {
      {"MemTotal:  100 kB\nMemFree: 5 kB\nMemAvailable:   2048 kB\n", 2048ull * 1024},
      {"MemAvailable: 1 kB", 1024},
      {"MemTotal: 100 kB\n", std::nullopt},
      {"XMemAvailable: 5 kB\n", std::nullopt},
      {"MemAvailable: abc kB\n", std::nullopt},
      {"MemAvailable: 99999999999999999999 kB\n", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_mem_available(c.text), c.bytes) << c.text;
  EXPECT_TRUE(physical_memory_bytes().has_value());
  EXPECT_GT(mono_ns(), 0u);
}

TEST(FfiBoundary, FailureBecomesTheChosenAnswer) {
  EXPECT_EQ(ffi_boundary("t", -1, [] { return 5; }), 5);
  EXPECT_EQ(ffi_boundary("t", -1, []() -> int { throw std::runtime_error("boom"); }), -1);
  EXPECT_EQ(ffi_boundary("t", -1, []() -> int { throw 42; }), -1);
}

TEST(FfiBoundary, FailureTexts) {
  auto text_of = [](auto thrower) {
    try {
      thrower();
    } catch (...) {
      return current_failure_text();
    }
    return std::string();
  };
  EXPECT_EQ(text_of([] { throw std::runtime_error("boom"); }), "boom");
  EXPECT_EQ(text_of([] { throw std::string("texte"); }), "texte");
  EXPECT_EQ(text_of([] { throw 42; }), "panic (payload non-string)");
}

}  // namespace
}  // namespace vel
