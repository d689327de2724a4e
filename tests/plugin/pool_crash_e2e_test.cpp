// What a host leaves behind when it dies, and a renderer that never starts,
// end to end in the stand-in host with the default switches, inside a
// private pid namespace.
//
// A host killed mid-batch cannot end its own workers: the next host, on the
// same home and temporary folder, must. The two hosts run one after the
// other in one namespace, so this test re-executes itself inside the
// namespace wrapper as the driver of both runs, which finds the first
// host's leftovers by pid and checks each of them by pid (and start time)
// once the second host has loaded.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "plugin/simhost_pool_run.h"
#include "pool/process/proc_facts.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;

constexpr const char* kDriverRoot = "VEL_CRASH_DRIVER_ROOT";

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// A live process of the namespace: pid, start time and name.
struct Left {
  pid_t pid;
  uint64_t start_ticks;
  std::string comm;
};

// Every live (not zombie) process but pid 1 and this one.
std::vector<Left> live_processes() {
  std::vector<Left> out;
  for (pid_t pid : list_process_ids()) {
    if (pid == 1 || pid == ::getpid()) continue;
    const auto text = read_small_file("/proc/" + std::to_string(pid) + "/stat", 4096);
    const auto stat = text ? parse_proc_stat(*text) : std::nullopt;
    if (!stat || stat->state == 'Z' || stat->state == 'X') continue;
    out.push_back({pid, stat->start_ticks, stat->comm});
  }
  return out;
}

bool still_alive(const Left& p) {
  const auto text = read_small_file("/proc/" + std::to_string(p.pid) + "/stat", 4096);
  const auto stat = text ? parse_proc_stat(*text) : std::nullopt;
  return stat && stat->start_ticks == p.start_ticks && stat->state != 'Z' && stat->state != 'X';
}

std::string self_path() {
  char buf[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

class PoolCrashRun : public testing::SimhostPoolRun {
 protected:
  std::vector<std::string> output_env;  // the workers' output, the default (PSD files) when empty

  std::vector<std::string> host_env(std::vector<std::string> extra) const {
    extra.push_back("HOME=" + (root_ / "home").string());
    extra.push_back("TMPDIR=" + (root_ / "tmp").string());
    extra.push_back("VELOCINTA_DEV=1");
    extra.push_back("VELOCINTA_PERF=1");
    extra.push_back("VELOCINTA_ASYNC=0");
    extra.push_back(std::string("VELOCINTA_AERENDER=") + VEL_AERENDER_PATH);
    return extra;
  }
  std::vector<std::string> host_args(const char* run, const json& events, double seconds) const {
    const fs::path scenario = root_ / (std::string("scenario_") + run + ".json");
    std::ofstream(scenario) << json{{"events", events}}.dump();
    fs::create_directories(root_ / run);
    return {"--plugin", VEL_PLUGIN_PATH, "--project", project_.string(), "--seconds", std::to_string(seconds),
            "--out", (root_ / run).string(), "--scenario", scenario.string()};
  }
  std::vector<std::string> with_output(std::vector<std::string> env) const {
    env.insert(env.end(), output_env.begin(), output_env.end());
    return env;
  }
  // True once worker 0 of a batch has written `frames` frames.
  bool worker_zero_wrote(int frames) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(pool_dir(), ec)) {
      if (e.path().filename().string().rfind("job_", 0) != 0) continue;
      if (count_of(read_text(e.path() / "w0.log"), "PROGRESS: frame") >= static_cast<size_t>(frames)) return true;
    }
    return false;
  }

  // Inside the namespace: the first host killed once its worker 0 hangs,
  // then the second host loaded and quit.
  void drive(const fs::path& root) {
    root_ = root;
    project_ = root_ / "project.aep";
    json events = json::array({command(50, "Velocinta"), {{"at_ms", 60}, {"action", "pause"}},
                               command(100, "velocinta: pool (toggle)"), {{"at_ms", 60000}, {"action", "quit"}}});
    const auto first = testing::run_child(VEL_SIMHOST_PATH, host_args("first", events, 90),
                                          host_env(with_output({"SIM_AERENDER_HANG_AFTER=w0:2"})), (root_ / "cwd").string(), 100,
                                          [&] { return worker_zero_wrote(2); });
    ASSERT_EQ(first.exit_code, -1) << "killed mid-batch\n" << first.output << log();
    ASSERT_FALSE(first.timed_out) << "worker 0 never hung\n" << first.output << log();
    const std::vector<Left> left = live_processes();
    size_t clients = 0, engines = 0;
    for (const Left& p : left) {
      clients += p.comm == "aerender" ? 1 : 0;
      engines += p.comm == "aerendercore" ? 1 : 0;
    }
    ASSERT_GE(clients, 1u) << "the hung worker outlives its host";
    ASSERT_GE(engines, 1u) << "and so does its engine";

    const auto second = testing::run_child(VEL_SIMHOST_PATH,
                                           host_args("second", json::array({{{"at_ms", 100}, {"action", "quit"}}}), 30),
                                           host_env(with_output({})), (root_ / "cwd").string(), 60);
    ASSERT_EQ(second.exit_code, 0) << second.output;
    for (const Left& p : left) {
      EXPECT_FALSE(still_alive(p)) << "pid " << p.pid << " (" << p.comm << ") of the first host still runs";
    }
    const std::string text = log();
    EXPECT_EQ(text.find("AEIO AddFrame"), std::string::npos) << text;
    EXPECT_EQ(text.find("worker record refused"), std::string::npos) << text;
  }
};

// Frame files, and the memory output whose orphan would write into the
// next session's log.
class PoolCrashByOutput : public PoolCrashRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(PoolCrashByOutput, AHostKilledMidBatchLeavesNothingRunningOnceTheNextHostLoads) {
  if (std::string(GetParam()) != "psd") output_env = {std::string("VELOCINTA_OUTPUT_FORMAT=") + GetParam()};
  if (const char* root = std::getenv(kDriverRoot)) {
    drive(root);
    return;
  }
  const std::string self = self_path();
  ASSERT_FALSE(self.empty());
  const std::string filter = std::string("--gtest_filter=") + ::testing::UnitTest::GetInstance()->current_test_suite()->name() +
                             "." + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  const auto r = testing::run_child(VEL_NAMESPACE_WRAPPER, {self, filter},
                                    {std::string(kDriverRoot) + "=" + root_.string()}, (root_ / "cwd").string(), 200);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("[  PASSED  ] 1 test"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
}

INSTANTIATE_TEST_SUITE_P(Outputs, PoolCrashByOutput, ::testing::Values("psd", "memory"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// A renderer without its execute bit: a few launches, each waited out, then
// the pool off with one line, and no job folder left.
TEST_F(PoolCrashRun, AnAerenderThatCannotStartIsTriedAFewTimesThenThePoolTurnsOff) {
  const fs::path bin = root_ / "bin";
  fs::create_directories(bin);
  const fs::path built = VEL_AERENDER_PATH;
  for (const char* name : {"aerender", "aerendercore"})
    fs::copy_file(built.parent_path() / name, bin / name, fs::copy_options::overwrite_existing);
  fs::permissions(bin / "aerender", fs::perms::owner_read | fs::perms::owner_write);
  json events = json::array({command(50, "Velocinta"), {{"at_ms", 60}, {"action", "pause"}},
                             command(100, "velocinta: pool (toggle)")});
  events.push_back(when_logged("pool: DÉSACTIVÉ pour la session", 1, {{"action", "wait"}}));
  events.push_back(when_no_job_folder({{"action", "quit"}}));
  const auto r = run({"VELOCINTA_AERENDER=" + (bin / "aerender").string()}, events, 60);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
  EXPECT_EQ(summary()["still_waiting"], "") << log();
  const std::string text = log();
  // One line when it first fails; at quit, one more counting the repeats.
  EXPECT_EQ(count_of(text, "ERROR: pool: spawn aerender: Permission denied (os error 13)\n"), 1u) << text;
  EXPECT_EQ(count_of(text, "pool: DÉSACTIVÉ pour la session — aerender ne démarre pas : " + (bin / "aerender").string()),
            1u)
      << text;
  EXPECT_EQ(count_of(text, "DÉSACTIVÉ"), 1u) << text;
  // Three launches, each trying its ranges (at most one per worker the
  // pool plans for) once; the repeats of the spawn line are counted, not
  // written.
  std::smatch m;
  static const std::regex workers(R"(chargé \([^\n]*, workers ([0-9]+)\))");
  ASSERT_TRUE(std::regex_search(text, m, workers)) << text;
  const unsigned long planned = std::stoul(m[1].str());
  static const std::regex repeats(R"(pool: spawn aerender: [^\n]*\(repeated ([0-9]+) more times)");
  const unsigned long tries = std::regex_search(text, m, repeats) ? std::stoul(m[1].str()) + 1 : 1;
  EXPECT_LE(tries, 3 * planned) << text;
  EXPECT_TRUE(job_dirs().empty());
}

}  // namespace
}  // namespace vel
