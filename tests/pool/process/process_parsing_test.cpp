// The readers of what the kernel and ps say about processes, and the engine
// rule every kill and sweep relies on.
#include <gtest/gtest.h>

#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "pool/process/engine_match.h"
#include "pool/process/proc_facts.h"
#include "pool/process/process_control.h"
#include "pool/process/process_listing.h"

namespace vel {
namespace {

using namespace std::string_literals;

TEST(ProcStat, NameWithBlanksAndParenthesesIsReadFromTheLastParenthesis) {
  const std::string text =
      "4242 (a) b) (c ) S 17 4242 4242 0 -1 4194560 100 0 0 0 250 75 0 0 20 0 1 0 987654 1000 200 "
      "18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 17 3 0 0 0 0 0\n";
  const auto s = parse_proc_stat(text);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->pid, 4242);
  EXPECT_EQ(s->comm, "a) b) (c ");
  EXPECT_EQ(s->state, 'S');
  EXPECT_EQ(s->ppid, 17);
  EXPECT_EQ(s->pgrp, 4242);
  EXPECT_EQ(s->cpu_ticks, 325u);
  EXPECT_EQ(s->start_ticks, 987654u);
}

TEST(ProcStat, DamagedTextsAreRefused) {
  for (const char* text : {"", "12 (x", "12 x) S 1 1", "12 (x) S 1", "x (y) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20",
                           "12 (x) SS 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20",
                           "12 (x) S -1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20"}) {
    EXPECT_FALSE(parse_proc_stat(text)) << text;
  }
}

// Field 51, after a name that may hold ")": 0 while an exec is under way,
// nothing from a kernel whose line stops earlier.
TEST(ProcStat, TheEnvironmentsEndTellsAnExecUnderWay) {
  const std::string head = "4242 (a) b) S 17 4242 4242 0 -1 4194560 100 0 0 0 250 75 0 0 20 0 1 0 987654 1000 200 "
                           "18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 17 3 0 0 0 0 0 0 0 0 0 ";
  const struct {
    std::string text;
    std::optional<uint64_t> env_end;
  } rows[] = {
      {head + "94000 94100 94100 94900 0\n", 94900},
      {head + "0 0 0 0 0\n", 0},
      {head + "94000 94100 94100\n", std::nullopt},
      {head + "94000 94100 94100 x 0\n", std::nullopt},
      {"12 (x", std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(parse_proc_stat_env_end(row.text), row.env_end) << row.text;
  // This process is long past its exec.
  const auto own = read_small_file("/proc/self/stat", 4096);
  ASSERT_TRUE(own);
  EXPECT_GT(parse_proc_stat_env_end(*own).value_or(0), 0u);
}

TEST(ProcCmdline, ArgumentsAreExactIncludingBlanks) {
  EXPECT_EQ(parse_cmdline("a\0b c\0\0d\0"s), (std::vector<std::string>{"a", "b c", "", "d"}));
  EXPECT_TRUE(parse_cmdline("").empty());
  EXPECT_EQ(parse_cmdline("no-terminator"), std::vector<std::string>{"no-terminator"});
}

TEST(ProcCmdline, JoinedStraightFromTheBytesAsFromTheArguments) {
  for (const std::string& bytes : {""s, "\0"s, "a"s, "a\0"s, "a\0b\0"s, "a\0\0b\0\0"s, "a b\0-x\0"s}) {
    EXPECT_EQ(cmdline_joined(bytes), join_arguments(parse_cmdline(bytes))) << bytes.size();
  }
}

TEST(ProcFileReader, ReadsAsTheWholeFileReadDoesAndReusesItsBuffer) {
  ProcFileReader reader;
  const pid_t self = ::getpid();
  // maps is usually beyond the first 4096 bytes the buffer starts with.
  for (const char* name : {"stat", "maps", "cmdline", "status"}) {
    const auto whole = read_small_file("/proc/" + std::to_string(self) + "/" + name, 1 << 20);
    const auto read = reader.read(self, name, 1 << 20);
    ASSERT_TRUE(whole && read) << name;
    // Files a process changes as it runs: compare what does not move.
    if (std::string_view(name) == "cmdline") {
      EXPECT_EQ(*read, *whole);
    }
    EXPECT_FALSE(read->empty()) << name;
  }
  const auto cut = reader.read(self, "maps", 100);
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->size(), 100u) << "bounded";
  EXPECT_FALSE(reader.read(self, "no-such-file", 100));
  EXPECT_FALSE(reader.read(0x7ffffff0, "stat", 100)) << "no such process";
}

TEST(ProcStatus, EffectiveUidAndResidentPages) {
  EXPECT_EQ(parse_status_uid("Name:\tx\nUid:\t1000\t1001\t1000\t1000\nGid:\t5\n"), 1001u);
  EXPECT_FALSE(parse_status_uid("Name:\tx\n"));
  EXPECT_EQ(parse_statm_resident("1000 250 30 1 0 100 0\n"), 250u);
  EXPECT_FALSE(parse_statm_resident("1000"));
}

TEST(PidText, OnlyCanonicalDecimalPids) {
  EXPECT_EQ(parse_pid_text("123"), 123);
  for (const char* bad : {"", "0", "007", "+5", "-5", "12a", "2147483648", "99999999999"}) {
    EXPECT_FALSE(parse_pid_text(bad)) << bad;
  }
}

struct EngineArgsCase {
  std::vector<std::string> args;
  std::optional<pid_t> client;
};

TEST(EngineRule, ReadsTheExactArgumentList) {
  const std::vector<EngineArgsCase> cases = {
      {{"aerendercore", "-noui", "-aerenderpid", "123"}, 123},
      {{"/opt/ae/aerendercore", "-aerenderpid", "7"}, 7},
      {{"aerendercore", "-aerenderpid", "1234"}, 1234},
      // The whole marker inside one argument is not an engine.
      {{"sleep", "x aerendercore -aerenderpid 77"}, std::nullopt},
      {{"aerendercore", "x -aerenderpid", "77"}, std::nullopt},
      {{"myaerendercore", "-aerenderpid", "77"}, std::nullopt},
      {{"aerendercore", "-aerenderpid", "77", "extra"}, std::nullopt},
      {{"aerendercore", "-aerenderpid", "077"}, std::nullopt},
      {{"aerendercore", "-aerenderpid", "0"}, std::nullopt},
      {{"-aerenderpid", "77"}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(engine_client_pid(c.args), c.client) << c.args.back();
}

TEST(EngineRule, AClientIsNotThePrefixOfAnother) {
  const EngineCandidate engine{50, 1234, 1000, 0, {"aerendercore", "-aerenderpid", "1234"}};
  EXPECT_FALSE(engine_belongs_to(engine, {123, std::nullopt}, 1000));
  EXPECT_TRUE(engine_belongs_to(engine, {1234, std::nullopt}, 1000));
}

TEST(EngineRule, ReapedClientsOwnOnlyEarlierEnginesTheyNoLongerParent) {
  EngineCandidate engine{50, 1, 1000, 100, {"aerendercore", "-aerenderpid", "40"}};
  const EngineClient reaped{40, 200};
  EXPECT_TRUE(engine_belongs_to(engine, reaped, 1000));
  EXPECT_FALSE(engine_belongs_to(engine, reaped, 1001)) << "another user's";
  engine.ppid = 40;
  EXPECT_FALSE(engine_belongs_to(engine, reaped, 1000)) << "a live client that reused the pid";
  engine.ppid = 1;
  engine.start_boot_ns = 300;
  EXPECT_FALSE(engine_belongs_to(engine, reaped, 1000)) << "started after the client ended";
  EXPECT_TRUE(engine_belongs_to(engine, {40, std::nullopt}, 1000)) << "an unreaped client's pid is its own";
}

TEST(EngineRule, PidsBelowTwoAndOurOwnAreNeverSignalled) {
  EXPECT_FALSE(signallable_pid(0));
  EXPECT_FALSE(signallable_pid(1));
  EXPECT_FALSE(signallable_pid(-5));
  EXPECT_FALSE(signallable_pid(::getpid()));
  EXPECT_FALSE(signallable_pid(::getpgrp()));
}

TEST(EngineClients, ChunksOfForty) {
  EXPECT_EQ(client_chunk_sizes(85), (std::vector<size_t>{40, 40, 5}));
  EXPECT_EQ(client_chunk_sizes(40), (std::vector<size_t>{40}));
  EXPECT_TRUE(client_chunk_sizes(0).empty());
}

TEST(WaitStatus, DescribedAsThePlatformDoes) {
  EXPECT_EQ(describe_wait_status(3 << 8), "exit status: 3");
  EXPECT_EQ(describe_wait_status(9), "signal: 9 (SIGKILL)");
  EXPECT_EQ(describe_wait_status(6 | 0x80), "signal: 6 (SIGABRT) (core dumped)");
}

TEST(ShortWindow, BoundsOfBytesAndTime) {
  const uint64_t t = 1'000'000'000;
  EXPECT_FALSE(short_window_open({0, 10, std::nullopt}, t));
  EXPECT_TRUE(short_window_open({1, (1u << 25) - 1, std::nullopt}, t));
  EXPECT_FALSE(short_window_open({1, 1u << 25, std::nullopt}, t));
  EXPECT_TRUE(short_window_open({1, 10, t}, t + 1'999'999));
  EXPECT_FALSE(short_window_open({1, 10, t}, t + 2'000'000));
}

struct CpuTimeCase {
  const char* text;
  std::optional<uint64_t> ns;
};

TEST(PsCpuTime, FormsOfTheTimeColumn) {
  constexpr uint64_t s = 1'000'000'000;
  const std::vector<CpuTimeCase> cases = {
      {"0:01.50", 1 * s + s / 2},
      {"12:34.5", 754 * s + s / 2},
      {"1:02:03", 3723 * s},
      {"2-01:00:00", 176'400 * s},
      {"00:00:10", 10 * s},
      {"1-02:03:04", (86'400 + 2 * 3600 + 3 * 60 + 4) * s},
      {"0:00.123456789", 123'456'789},
      {"90:00", 5400 * s},
      {"1:60:00", std::nullopt},
      {"0:60", std::nullopt},
      {"1-5:00", std::nullopt},
      {"1-24:00:00", std::nullopt},
      {"0:00.1234567890", std::nullopt},
      {"0:00.", std::nullopt},
      {"1:2:3:4", std::nullopt},
      {"-1:00", std::nullopt},
      {"+1:00", std::nullopt},
      {":00", std::nullopt},
      {"10", std::nullopt},
      {"", std::nullopt},
      {"213503982334601-00:00:00", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_ps_cpu_time(c.text), c.ns) << c.text;
}

TEST(MemoryListing, BadLinesAreSkippedNotTheListing) {
  const std::string text =
      "  10     1  1000  2048 /usr/bin/aerender -project p\n"
      "  11    10  1000     0 aerendercore -aerenderpid 10\r\n"
      "\n"
      "  12    10  1000  abc broken\n"
      "  13    10  1000    64\n"
      "  14    10  1000  18014398509481984 too-big\n"
      "  15     1  1000     8 caf\xe9 latin1\n";
  const MemoryListing l = parse_memory_listing(text);
  EXPECT_TRUE(l.usable);
  ASSERT_EQ(l.rows.size(), 3u);
  EXPECT_EQ(l.rows[0].rss_bytes, 2048u * 1024);
  EXPECT_EQ(l.args_of(l.rows[0]), "/usr/bin/aerender\0-project\0p"s);
  EXPECT_EQ(engine_client_pid(l.args_of(l.rows[1])), 10);
  EXPECT_EQ(l.rows[1].rss_bytes, 0u) << "a zero line is kept; its client gets no total";
  EXPECT_EQ(l.rows[2].pid, 15u);
}

TEST(MemoryListing, ARepeatedPidMakesItUnusable) {
  const struct {
    const char* text;
    bool usable;
  } cases[] = {
      {"1 0 0 4 a\n2 1 0 4 b\n1 0 0 4 c\n", false},
      {"1 0 0 4 a\n2 1 0 4 b\n2 0 0 4 c\n", false},  // in order, repeated side by side
      {"1 0 0 4 a\n2 1 0 4 b\n3 0 0 4 c\n", true},
      {"3 0 0 4 a\n1 1 0 4 b\n2 0 0 4 c\n", true},  // out of order, none repeated
  };
  for (const auto& c : cases) EXPECT_EQ(parse_memory_listing(c.text).usable, c.usable) << c.text;
}

TEST(CpuListing, FiveWordStartTimesAndSkippedLines) {
  const auto l = parse_cpu_listing(
      "  10 00:00:10 Mon Dec  7 11:00:00 2026\n"
      "  11 bad Mon Dec  7 11:00:00 2026\n"
      "  12 00:01:00 Mon Dec 7 11:00:00\n"
      "  13 1-00:00:00 Tue Dec  8 01:02:03 2026\n");
  ASSERT_TRUE(l);
  ASSERT_EQ(l->size(), 2u);
  EXPECT_EQ(l->at(10).start_text, "Mon Dec 7 11:00:00 2026");
  EXPECT_EQ(l->at(13).cpu_ns, 86'400ull * 1'000'000'000);
  EXPECT_FALSE(parse_cpu_listing("1 0:01 a b c d e\n1 0:02 a b c d e\n")) << "repeated pid";
  EXPECT_FALSE(parse_cpu_listing("garbage\n")) << "no entry";
}

}  // namespace
}  // namespace vel
