// The stand-in aerender run as the pool runs it: its files read back by the
// pool's ingest equal simhost's own render, its faults, and its render engine
// process. Every process here is the test's own: bounded, killed and reaped
// by pid.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "frame_image.h"
#include "pool/decode/frame_ingest.h"
#include "pool/decode/output_discovery.h"
#include "project/project_json.h"
#include "render/renderer.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;

const std::string kAerender = VEL_AERENDER_PATH;
const std::string kSample = std::string(VEL_DEMO_DIR) + "/sample.aep";

std::vector<std::string> pool_args(const fs::path& output, int first, int last, const std::string& om,
                                   const std::string& comp = "Main") {
  return {"-project", kSample, "-comp", comp, "-s", std::to_string(first), "-e", std::to_string(last),
          "-OMtemplate", om, "-mfr", "ON", "50", "-output", output.string(), "-continueOnMissingFootage"};
}

// simhost's render of the sample's "Main" at a frame, as 8-bit premultiplied.
sim::FrameImage simhost_frame(int frame, int downsample) {
  static const sim::Project project = [] {
    sim::Result<sim::Project> p = sim::load_project_file(kSample);
    return p ? p.value() : sim::Project{};
  }();
  for (const sim::Composition& c : project.comps) {
    if (c.name != "Main") continue;
    sim::Result<sim::RenderedFrame> r =
        sim::render_composition(c, {sim::HostTime{frame * c.frame_duration.value, c.frame_duration.scale},
                                    downsample, downsample, 8});
    if (r) return sim::frame_image_from_render(r.value());
  }
  return {};
}

class AerenderRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    worker_ = dir_.path() / "job_1" / "w0";
    fs::create_directories(worker_);
  }
  testing::ChildResult run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return testing::run_child(kAerender, args, env, "", 120);
  }
  ScratchDir dir_{"vel-aerender-run"};
  fs::path worker_;
};

TEST_F(AerenderRun, FilesReadBackEqualSimhostsOwnRender) {
  struct Variant {
    const char* om;
    const char* ext;
    std::vector<std::string> env;
    int downsample;
  };
  const std::vector<Variant> variants = {
      {"Photoshop", "psd", {}, 1},
      {"velocinta-tga-v1", "tga", {}, 1},
      {"velocinta-tga-v1", "tga", {"SIM_AERENDER_TGA=rle"}, 2},
      {"Photoshop", "psd", {"SIM_AERENDER_PSD=raw", "SIM_AERENDER_PSD_DEPTH=16"}, 2},
      // Rewritten in place with another frame's bytes (PackBits: of another
      // length), then its own: each file ends as the frame it names.
      {"velocinta-tga-v1", "tga", {"SIM_AERENDER_REWRITE_US=0"}, 1},
      {"Photoshop", "psd", {"SIM_AERENDER_REWRITE_US=0"}, 1},
  };
  for (const Variant& v : variants) {
    fs::remove_all(worker_);
    fs::create_directories(worker_);
    std::vector<std::string> args = pool_args(worker_ / (std::string("f_[#####].") + v.ext), 30, 31, v.om);
    if (v.downsample == 2) args.insert(args.end(), {"-RStemplate", "velocinta-half-v6"});
    const testing::ChildResult r = run(args, v.env);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    for (int frame : {30, 31}) {
      const fs::path file = worker_ / ("f_000" + std::to_string(frame) + "." + v.ext);
      const DecodedOutput out = ingest_frame_file(file, frame / 24.0, 1, true);
      ASSERT_EQ(out.outcome, FileDecodeOutcome::Decoded) << file;
      const sim::FrameImage want = simhost_frame(frame, v.downsample);
      ASSERT_EQ(out.frame->width, static_cast<uint32_t>(want.width));
      ASSERT_EQ(out.frame->height, static_cast<uint32_t>(want.height));
      const std::span<const uint8_t> got = out.frame->pixels.bytes();
      size_t off_by_more = 0;
      for (size_t i = 0; i < want.rgba.size(); ++i) off_by_more += std::abs(int(got[i]) - int(want.rgba[i])) > 1;
      EXPECT_EQ(off_by_more, 0u) << v.om << " " << v.ext << " frame " << frame;
    }
    for (const auto& e : fs::directory_iterator(worker_)) {
      EXPECT_FALSE(e.path().filename().string().starts_with("AEtemp")) << "temporary file left behind";
    }
  }
}

TEST_F(AerenderRun, DiscoveryReportsItsFilesReadFirst) {
  ASSERT_EQ(run(pool_args(worker_ / "f_[#####].tga", 3, 7, "velocinta-tga-v1"), {"SIM_AERENDER_SKIP=4"}).exit_code, 0);
  std::atomic<bool> stop{false};
  const auto files = scan_job_dir(worker_.parent_path(), "tga", {true, 6}, stop);
  ASSERT_TRUE(files);
  std::vector<int64_t> frames;
  for (const auto& f : *files) frames.push_back(f.frame);
  EXPECT_EQ(frames, (std::vector<int64_t>{6, 7, 3, 5}));
}

TEST_F(AerenderRun, UnknownNamesAreErrorsThatNameThem) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  std::vector<std::string> rs = pool_args(worker_ / "f_[#####].psd", 0, 0, "Photoshop");
  rs.insert(rs.end(), {"-RStemplate", "velocinta-tiny-v9"});
  for (const Case& c : std::vector<Case>{
           {pool_args(worker_ / "f_[#####].psd", 0, 0, "Photoshop", "Nope"),
            "aerender ERROR: No comp was found with the given name: Nope\n"},
           {pool_args(worker_ / "f_[#####].psd", 0, 0, "velocinta-memory-v1"),
            "aerender ERROR: No output module template was found with the given name: velocinta-memory-v1\n"},
           {rs, "aerender ERROR: No render settings template was found with the given name: velocinta-tiny-v9\n"}}) {
    const testing::ChildResult r = run(c.args);
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.output.find(c.line), std::string::npos) << r.output;
  }
  EXPECT_TRUE(fs::is_empty(worker_));
}

TEST_F(AerenderRun, FaultSwitches) {
  const fs::path out = worker_ / "f_[#####].psd";
  const testing::ChildResult crash = run(pool_args(out, 0, 5, "Photoshop"), {"SIM_AERENDER_CRASH_AFTER=2"});
  EXPECT_EQ(crash.exit_code, -1) << "killed by a signal";
  EXPECT_TRUE(fs::exists(worker_ / "f_00001.psd"));
  EXPECT_FALSE(fs::exists(worker_ / "f_00002.psd"));

  fs::remove_all(worker_);
  fs::create_directories(worker_);
  const testing::ChildResult damaged =
      run(pool_args(out, 0, 2, "Photoshop"), {"SIM_AERENDER_CORRUPT=1", "SIM_AERENDER_TRUNCATE=2"});
  ASSERT_EQ(damaged.exit_code, 0) << damaged.output;
  EXPECT_EQ(ingest_frame_file(worker_ / "f_00000.psd", 0, 1, true).outcome, FileDecodeOutcome::Decoded);
  EXPECT_EQ(ingest_frame_file(worker_ / "f_00001.psd", 0, 1, true).outcome, FileDecodeOutcome::DecodeFailed);
  EXPECT_EQ(ingest_frame_file(worker_ / "f_00002.psd", 0, 1, true).outcome, FileDecodeOutcome::DecodeFailed);

  const testing::ChildResult write_error = run(pool_args(out, 5, 9, "Photoshop"), {"SIM_AERENDER_WRITE_ERROR=6"});
  EXPECT_EQ(write_error.exit_code, 1);
  EXPECT_NE(write_error.output.find("aerender ERROR: Unable to write file: " + (worker_ / "f_00006.psd").string()),
            std::string::npos);
  EXPECT_TRUE(fs::exists(worker_ / "f_00005.psd"));
  EXPECT_FALSE(fs::exists(worker_ / "f_00007.psd"));
}

// A worker that misnumbers its frames: shifted, every frame lands one
// number on; doubled, each frame is also written 1000 numbers on.
TEST_F(AerenderRun, MisnumberedFrames) {
  const fs::path out = worker_ / "f_[#####].tga";
  const testing::ChildResult shifted = run(pool_args(out, 3, 5, "velocinta-tga-v1"), {"SIM_AERENDER_SHIFT=1"});
  ASSERT_EQ(shifted.exit_code, 0) << shifted.output;
  for (int f : {4, 5, 6}) EXPECT_TRUE(fs::exists(worker_ / ("f_0000" + std::to_string(f) + ".tga"))) << f;
  EXPECT_FALSE(fs::exists(worker_ / "f_00003.tga"));

  fs::remove_all(worker_);
  fs::create_directories(worker_);
  const testing::ChildResult doubled = run(pool_args(out, 3, 4, "velocinta-tga-v1"), {"SIM_AERENDER_ALSO_AS=1000"});
  ASSERT_EQ(doubled.exit_code, 0) << doubled.output;
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(worker_)) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 4u);
  EXPECT_EQ(testing::read_text(worker_ / "f_01003.tga"), testing::read_text(worker_ / "f_00003.tga"));
  EXPECT_TRUE(fs::exists(worker_ / "f_01004.tga"));
}

// A silent aerender, started as the pool starts its workers (own process
// group), with its output on a pipe the test reads line by line.
class SilentAerender {
 public:
  explicit SilentAerender(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    std::vector<std::string> argv_s{kAerender};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<std::string> env_s{"SIM_AERENDER_SILENT=1"};
    for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* v = getenv(keep)) env_s.push_back(std::string(keep) + "=" + v);
    }
    std::vector<char*> argv, envp;
    for (auto& a : argv_s) argv.push_back(a.data());
    for (auto& e : env_s) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      execve(kAerender.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }
  ~SilentAerender() {
    kill_and_reap();
    if (out_ >= 0) close(out_);
  }
  pid_t pid() const { return pid_; }
  // The next line of its output; nothing after 60 s or at its end.
  std::optional<std::string> line() {
    std::string text;
    char c;
    for (;;) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 60'000) <= 0) return std::nullopt;
      if (read(out_, &c, 1) != 1) return std::nullopt;
      if (c == '\n') return text;
      text.push_back(c);
    }
  }
  void kill_and_reap() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

TEST_F(AerenderRun, TheEngineIsMarkedWithItsClientAndEndsWithIt) {
  SilentAerender client(pool_args(worker_ / "f_[#####].psd", 0, 100, "Photoshop"));
  ASSERT_GT(client.pid(), 0);
  const std::optional<std::string> first = client.line();
  ASSERT_TRUE(first);
  const std::string prefix = "aerender: render engine pid ";
  ASSERT_TRUE(first->starts_with(prefix)) << *first;
  const pid_t engine = static_cast<pid_t>(std::stol(first->substr(prefix.size())));
  // Opened while the client lives, so the engine cannot have been reaped.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, engine, 0));
  if (pidfd < 0) GTEST_SKIP() << "pidfd_open unavailable";

  // The engine may still be inside its exec, its arguments not yet in place:
  // wait for them (bounded).
  std::string cmdline;
  for (int i = 0; i < 10'000 && cmdline.empty(); ++i) {
    cmdline = testing::read_text("/proc/" + std::to_string(engine) + "/cmdline");
    if (cmdline.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
  EXPECT_TRUE(cmdline.ends_with("aerendercore -noui -aerenderpid " + std::to_string(client.pid()) + " "))
      << cmdline;
  EXPECT_EQ(getpgid(engine), engine) << "a process group of its own";
  EXPECT_TRUE(fs::is_empty(worker_)) << "silent: nothing written";

  client.kill_and_reap();
  pollfd p{pidfd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 60'000), 1) << "the engine exits once its client is gone";
  close(pidfd);
}

}  // namespace
}  // namespace vel
