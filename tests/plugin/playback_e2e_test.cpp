// Playback and scrubbing as a user sees them, with the default switches
// (frames far from the playhead are packed): the stand-in host runs the
// plug-in on the sample project with a white bar added on top that moves 7
// composition pixels per frame, so a screenshot tells which frame is on
// screen. A first run fills the disk store; the later runs start from a copy
// of its home, so every frame is there from the start and most of them end
// up packed. Under ctest the first run is a test of its own, run once
// before the others, which copy the home it left in the build folder; a
// test run alone fills a home of its own. The scenarios follow what the run
// shows, not the clock: they hold under a sanitizer and on two cores.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>

#include "plugin/frame_bar.h"
#include "plugin/paused_opening.h"
#include "plugin/scenario_steps.h"
#include "plugin/summary_marks.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;
using testing::work_area_lines;

constexpr int kLoopFrames = 240;
constexpr const char* kLoopSwept = "S2 zone de travail en cache";
using testing::find_mark;
using testing::frame_on_screen;

// The figures of every "PIPELINE(5s)" line of a log, by name.
std::vector<uint64_t> pipeline_figures(const std::string& log, const std::string& name) {
  std::vector<uint64_t> out;
  const std::regex re("PIPELINE\\(5s\\):.* " + name + "=([0-9]+)");
  for (std::sregex_iterator it(log.begin(), log.end(), re), end; it != end; ++it) out.push_back(std::stoull((*it)[1]));
  return out;
}

// The times in ms of every "PIPELINE(5s)" line of a log, by name; 0 where
// the line has none ("n/a" while not playing).
std::vector<double> pipeline_times(const std::string& log, const std::string& name) {
  std::vector<double> out;
  const std::regex re("PIPELINE\\(5s\\):.* " + name + "=([0-9.]+|n/a)");
  for (std::sregex_iterator it(log.begin(), log.end(), re), end; it != end; ++it) {
    out.push_back((*it)[1] == "n/a" ? 0.0 : std::stod((*it)[1]));
  }
  return out;
}

// The log's stamps (ms) of the lines holding `text`.
std::vector<double> line_stamps(const std::string& log, const std::string& text) {
  std::vector<double> out;
  const std::regex re("\\[([0-9]+)\\] [A-Z]+: " + text + "\n");
  for (std::sregex_iterator it(log.begin(), log.end(), re), end; it != end; ++it) out.push_back(std::stod((*it)[1]));
  return out;
}

// In every five-second report of a log, each frame that fell due at 24 per
// second while playing was either put on screen (the head advances: a frame
// whose pixels are already on screen is not drawn again, yet shown) or
// counted as missed once its time had passed, and none twice. A report sums
// up the last five seconds; its clock time counts since the one before. Of
// the frames due, those that fell due since the last presentation may still
// be undecided (a frame in flight, a worker waiting for its drawable, the
// one whose time still runs); the other ones were shown or counted, give or
// take one at each edge of the window. A frame in flight is decided within
// a second: longer without a presentation is a stall, which must show as
// missed frames. The clock time of the report that holds the play also
// holds the opening, which is paused before the first picture, so that no
// clock runs: there frames fall due from the play on. (Paused only after the
// first picture, the frames missed meanwhile were counted in that report
// and read as frames counted twice.)
void expect_every_due_frame_counted_once(const std::string& log) {
  const std::vector<uint64_t> shown = pipeline_figures(log, "head_advanced");
  const std::vector<uint64_t> missed = pipeline_figures(log, "missed_total");
  const std::vector<uint64_t> dropped = pipeline_figures(log, "dropped_total");
  const std::vector<double> playing_ms = pipeline_times(log, "requested_ms");
  const std::vector<double> undecided_ms = pipeline_times(log, "no_submission_ms");
  ASSERT_FALSE(missed.empty()) << "no PIPELINE report";
  const std::vector<double> reported_at = line_stamps(log, "PIPELINE\\(5s\\):[^\n]*");
  const std::vector<double> played_at = line_stamps(log, "velocinta: lecture");
  ASSERT_TRUE(shown.size() == missed.size() && dropped.size() == missed.size() &&
              playing_ms.size() == missed.size() && undecided_ms.size() == missed.size() &&
              reported_at.size() == missed.size() && !played_at.empty());
  const double play = played_at.back();
  for (size_t i = 0; i < missed.size(); ++i) {
    if (reported_at[i] < play) continue;
    double since = playing_ms[i] - (i ? playing_ms[i - 1] : 0.0);
    if (i == 0 || reported_at[i - 1] < play) since = std::min(since, std::max(reported_at[i] - play, 0.0));
    const auto due = static_cast<uint64_t>(std::min(since, 5000.0) * 24.0 / 1000.0);
    const auto undecided = static_cast<uint64_t>(std::ceil(std::min(undecided_ms[i], 1000.0) * 24.0 / 1000.0));
    const uint64_t counted = shown[i] + missed[i] - (i ? missed[i - 1] : 0) + dropped[i] - (i ? dropped[i - 1] : 0);
    EXPECT_GE(counted + undecided + 2, due) << "report " << i << ": " << shown[i] << " shown and "
                                            << counted - shown[i] << " missed or dropped of " << due << " due, "
                                            << undecided << " undecided";
    EXPECT_LE(counted, due + 2) << "report " << i << ": " << shown[i] << " shown and " << counted - shown[i]
                                << " missed or dropped of " << due << " due: frames counted twice";
  }
}

// Where ctest's run of PlaybackFill leaves the filled home and its project
// for the other tests of this file; none outside ctest.
std::optional<fs::path> shared_fill() {
  const char* bin = std::getenv("VEL_TEST_BIN_DIR");
  if (bin == nullptr || *bin == '\0') return std::nullopt;
  return fs::path(bin) / "tests" / "shared" / "playback";
}

class Playback : public ::testing::Test {
 protected:
  // The sample with the bar on top, renders made cheaper than the
  // sample's, and a home whose store holds the whole work area: the one
  // PlaybackFill left when there is one, else filled here.
  static void SetUpTestSuite() {
    scratch_ = new testing::ScratchDir("vel-playback");
    ASSERT_TRUE(scratch_->ok());
    if (const auto shared = shared_fill(); shared && fs::exists(*shared / "filled")) {
      project_ = *shared / "sample-with-bar.aep";
      fs::copy(*shared / "filled", root() / "filled", fs::copy_options::recursive);
      return;
    }
    project_ = root() / "sample-with-bar.aep";
    fill(root() / "filled");
  }
  static void TearDownTestSuite() {
    delete scratch_;
    scratch_ = nullptr;
  }

  // The first run plays until the whole work area is cached, then lets the
  // store write it.
  static void fill(const fs::path& home) {
    ASSERT_TRUE(testing::write_sample_with_bar(fs::path(VEL_DEMO_DIR) / "sample.aep", project(), kLoopFrames, 10));
    const std::string log = log_of(home);
    const json events = {{{"at_ms", 0}, {"action", "open_panel"}, {"width", 480}, {"height", 270}, {"scale", 1}},
                         {{"when", {{"file", log}, {"has", kLoopSwept}}}, {"action", "wait"}},
                         {{"when", {{"after_ms", 1000}}}, {"action", "quit"}}};
    const json s = run_in(home, "fill", events, true);
    ASSERT_TRUE(s.value("quit", false)) << "the fill run ended still waiting for " << s.value("still_waiting", "");
    fs::remove(log);
  }

  static fs::path root() { return scratch_->path(); }
  static fs::path project() { return project_; }
  static std::string log_of(const fs::path& home) { return (home / "Library" / "Logs" / "velocinta.log").string(); }

  // Runs simhost with `events` in `home`; the summary, or null.
  static json run_in(const fs::path& home, const std::string& name, const json& events, bool no_gpu,
                     const fs::path& project_file = project(), const char* seconds = "100") {
    return testing::run_scenario(name, home, root() / name, project_file, events, no_gpu, seconds);
  }

  // `events`, whose first opens the panel, paused before the first picture.
  static json paused_before_first_picture(const fs::path& home, json events) {
    const json pause = testing::pause_before_first_picture(log_of(home));
    events.insert(events.begin() + 1, pause.begin(), pause.end());
    return events;
  }

  // A home holding the filled store.
  static fs::path filled_home(const std::string& name) {
    const fs::path home = root() / ("home-" + name);
    fs::copy(root() / "filled", home, fs::copy_options::recursive);
    return home;
  }

  static testing::ScratchDir* scratch_;
  static fs::path project_;
};

testing::ScratchDir* Playback::scratch_ = nullptr;
fs::path Playback::project_;

// The run the others start from, once for all of them under ctest: it
// fills a home and leaves it, with its project, where they copy it from.
class PlaybackFill : public Playback {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new testing::ScratchDir("vel-playback-fill");
    ASSERT_TRUE(scratch_->ok());
    project_ = root() / "sample-with-bar.aep";
  }
};

TEST_F(PlaybackFill, TheFirstRunStoresTheWholeWorkArea) {
  ASSERT_NO_FATAL_FAILURE(fill(root() / "filled"));
  const auto shared = shared_fill();
  if (!shared) return;
  // Written beside its place and renamed into it: a test never copies a
  // half-written home.
  std::error_code ec;
  fs::remove_all(*shared, ec);
  const fs::path next = shared->string() + ".next";
  fs::remove_all(next, ec);
  fs::create_directories(next);
  fs::copy(root() / "filled", next / "filled", fs::copy_options::recursive);
  fs::copy_file(project(), next / "sample-with-bar.aep");
  fs::rename(next, *shared);
}

// The tests that run once on each present path: the CPU path's and the
// Metal worker's, each run a test of its own.
struct PresentPath {
  const char* name;
  bool no_gpu;
  const char* backend;  // what the summary counts its presentations as
};
class PlaybackOnPath : public Playback, public ::testing::WithParamInterface<PresentPath> {};
INSTANTIATE_TEST_SUITE_P(BothPresentPaths, PlaybackOnPath,
                         ::testing::Values(PresentPath{"cpu", true, "appkit"}, PresentPath{"metal", false, "metal-gpu"}),
                         [](const ::testing::TestParamInfo<PresentPath>& info) { return std::string(info.param.name); });

// Paused on a filled store, a click on the cache strip at frame 100, "i",
// and a click at frame 180 (three quarters along): the frame clicked last is
// the one on screen, although the host's current time stays at 0 and the
// frame was packed. Settled, the paused panel asks the host for no idle call
// of its own.
TEST_F(Playback, FarClickShowsTheClickedFrameAndThePausedPanelStaysQuiet) {
  const fs::path home = filled_home("click");
  // Paused from the start: the first picture settled after a click is the
  // clicked frame's.
  const json events = paused_before_first_picture(home, {
      {{"at_ms", 0}, {"action", "open_panel"}, {"width", 960}, {"height", 540}, {"scale", 1}},
      {{"when", {{"file", log_of(home)}, {"has", kLoopSwept}}}, {"action", "click"}, {"x", 402}, {"y", 32}},
      {{"when", {{"frames", 1}}}, {"action", "wait"}},
      {{"when", "picture_presented"}, {"action", "screenshot"}, {"path", "at-100.png"}},
      {{"at_ms", 0}, {"action", "key"}, {"chars", "i"}},
      {{"at_ms", 0}, {"action", "click"}, {"x", 720}, {"y", 32}},
      {{"when", {{"frames", 1}}}, {"action", "wait"}},
      {{"when", "picture_presented"}, {"action", "screenshot"}, {"path", "at-180.png"}},
      // The frames ahead of the clicked one are unpacked meanwhile; then
      // nothing is left to do.
      {{"when", {{"after_ms", 2000}}}, {"action", "mark"}, {"name", "settled"}},
      {{"when", {{"after_ms", 2000}}}, {"action", "mark"}, {"name", "end"}},
      {{"at_ms", 0}, {"action", "quit"}}});
  const json s = run_in(home, "click", events, true);
  ASSERT_TRUE(s.value("quit", false)) << "still waiting for " << s.value("still_waiting", "");
  const json& rect = s.at("panel").at("picture_rect");
  const std::optional<double> first = frame_on_screen(root() / "click" / "at-100.png", rect);
  const std::optional<double> far = frame_on_screen(root() / "click" / "at-180.png", rect);
  ASSERT_TRUE(first && far) << "the frame bar is not on screen";
  EXPECT_NEAR(*first, 100.0, 0.5);
  EXPECT_NEAR(*far, 180.0, 0.5);

  const json* settled = find_mark(s, "settled");
  const json* end = find_mark(s, "end");
  ASSERT_TRUE(settled && end);
  EXPECT_EQ(end->at("early_idle_requests").get<uint64_t>(), settled->at("early_idle_requests").get<uint64_t>());
  EXPECT_EQ(end->at("picture_frames").get<uint64_t>(), settled->at("picture_frames").get<uint64_t>())
      << "a paused panel shows nothing new";
  EXPECT_NE(read_text(log_of(home)).find("240 image(s) rechargée(s) du disque"), std::string::npos)
      << "every frame came from the store";
}

// Played on a filled store, once the work area is cached, for more frames
// than the work area holds: the picture went round the whole loop, every
// frame that fell due was shown or counted missed, once, across the wraps
// (a loaded machine or a sanitizer may make frames late, never uncounted),
// and the summary counts the pictures put on screen on either path.
TEST_P(PlaybackOnPath, LoopOverTheWorkAreaShowsEveryFrameTheClockAskedFor) {
  const PresentPath c = GetParam();
  SCOPED_TRACE(c.name);
  const fs::path home = filled_home(std::string("loop-") + c.name);
  const json events = paused_before_first_picture(
      home, {{{"at_ms", 0}, {"action", "open_panel"}, {"width", 480}, {"height", 270}, {"scale", 1}},
             {{"when", {{"file", log_of(home)}, {"has", kLoopSwept}}}, {"action", "play"}},
             {{"when", {{"frames", kLoopFrames + 10}}}, {"action", "mark"}, {"name", "looped"}},
             {{"at_ms", 0}, {"action", "quit"}}});
  const json s = run_in(home, std::string("loop-") + c.name, events, c.no_gpu);
  EXPECT_TRUE(s.value("quit", false)) << "the loop stalled: still waiting for " << s.value("still_waiting", "");
  EXPECT_GT(s.at("presentations").value(c.backend, uint64_t{0}), static_cast<uint64_t>(kLoopFrames));
  const json& p = s.at("presentations");
  EXPECT_EQ(s.at("panel").at("picture").value("frames_shown", uint64_t{0}),
            p.value("appkit", uint64_t{0}) + p.value("metal-gpu", uint64_t{0}) + p.value("metal-blit", uint64_t{0}) +
                p.value("metal-direct", uint64_t{0}))
      << s.at("panel").dump();

  expect_every_due_frame_counted_once(read_text(log_of(home)));
}

// A first play, every frame rendered as it falls due, by a renderer slower
// than the composition's rate: most frames come late. Each one that fell due
// is shown or missed, once, on both paths (a frame shown late was counted
// twice: missed while it was not ready, and shown).
TEST_P(PlaybackOnPath, FirstPlayBehindTheRendererCountsEveryDueFrameOnce) {
  std::ifstream in(project());
  json doc = json::parse(in);
  doc["compositions"][0]["render_cost_ms"] = 60;
  const fs::path slow = root() / "slow-renders.aep";
  std::ofstream(slow) << doc.dump();
  const bool no_gpu = GetParam().no_gpu;
  const std::string name = no_gpu ? "first-cpu" : "first-metal";
  SCOPED_TRACE(name);
  const fs::path home = root() / ("home-" + name);
  const json events = paused_before_first_picture(
      home, {{{"at_ms", 0}, {"action", "open_panel"}, {"width", 480}, {"height", 270}, {"scale", 1}},
             {{"when", {{"after_ms", 100}}}, {"action", "play"}},
             {{"when", {{"file", log_of(home)}, {"has", "PIPELINE(5s)"}, {"count", 3}}}, {"action", "quit"}}});
  const json s = run_in(home, name, events, no_gpu, slow);
  EXPECT_TRUE(s.value("quit", false)) << "still waiting for " << s.value("still_waiting", "");
  const std::string log = read_text(log_of(home));
  expect_every_due_frame_counted_once(log);
  EXPECT_GT(pipeline_figures(log, "missed_total").back(), 0u) << "the renderer kept up";
}

// Strip positions (window points) of a panel 960 points wide at scale 1.
int loop_x(int frame) { return static_cast<int>(std::lround(4.5 + 954.0 * (frame + 0.3) / kLoopFrames)); }

// The work area of a project file's first composition, as frames.
std::pair<int64_t, int64_t> work_area_of(const fs::path& aep) {
  const json doc = json::parse(read_text(aep));
  const json& wa = doc.at("compositions").at(0).at("work_area");
  const int64_t start = wa.at("start").at(0).get<int64_t>(), length = wa.at("duration").at(0).get<int64_t>();
  return {start, start + length - 1};
}

// Playing from frame 40 on a filled store, "o" and then "i" are pressed
// while the picture moves: each mark lands on the frame on screen at the
// key (the host's time stays at 0), the host's composition is given the new
// work area, and playback goes on inside it on both paths. At 24 and at 120
// frames a second, each rate a test of its own.
class PlaybackAtRate : public Playback, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(Rates, PlaybackAtRate, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "fps120" : "fps24");
                         });

TEST_P(PlaybackAtRate, KeysWhilePlayingMarkTheFrameOnScreen) {
  // The same 240 frames at 120 per second, the bar still 7 pixels a frame;
  // its store is filled by the run itself.
  json doc = json::parse(read_text(project()));
  json& comp = doc["compositions"][0];
  comp["frame_duration"] = {1, 120};
  comp["duration"] = {kLoopFrames, 120};
  comp["work_area"] = {{"start", {0, 120}}, {"duration", {kLoopFrames, 120}}};
  for (json& key : comp["layers"][0]["transform"]["position"]["keyframes"]) key["time"][1] = 120;
  const fs::path fast = root() / "sample-120fps.aep";
  std::ofstream(fast) << doc.dump();
  struct Case {
    const char* name;
    bool no_gpu;
    bool at_120;
  };
  const bool at_120 = GetParam();
  for (const Case c : {Case{"keys-cpu", true, false}, Case{"keys-metal", false, false},
                       Case{"keys-cpu-120", true, true}, Case{"keys-metal-120", false, true}}) {
    if (c.at_120 != at_120) continue;
    const std::string name = c.name;
    const bool no_gpu = c.no_gpu;
    SCOPED_TRACE(name);
    // The first 120-frame run fills its store; the second starts from it.
    fs::path home = root() / ("home-" + name);
    if (!c.at_120) {
      home = filled_home(name);
    } else if (fs::path filled = root() / "home-keys-cpu-120"; name != "keys-cpu-120" && fs::exists(filled)) {
      fs::copy(filled, home, fs::copy_options::recursive);
      fs::remove(log_of(home));
    }
    const json events = paused_before_first_picture(
        home,
        {{{"at_ms", 0}, {"action", "open_panel"}, {"width", 960}, {"height", 540}, {"scale", 1}},
         {{"when", {{"file", log_of(home)}, {"has", kLoopSwept}}}, {"action", "click"}, {"x", loop_x(40)}, {"y", 32}},
         {{"when", {{"frames", 1}}}, {"action", "play"}},
         {{"when", {{"frames", 48}}}, {"action", "screenshot"}, {"path", "at-o.png"}},
         {{"at_ms", 0}, {"action", "key"}, {"chars", "o"}},
         {{"when", {{"after_ms", 1}}}, {"action", "screenshot"}, {"path", "after-o.png"}},
         {{"when", {{"frames", 36}}}, {"action", "screenshot"}, {"path", "inside-1.png"}},
         {{"when", {{"frames", 60}}}, {"action", "screenshot"}, {"path", "at-i.png"}},
         {{"at_ms", 0}, {"action", "key"}, {"chars", "i"}},
         {{"when", {{"after_ms", 1}}}, {"action", "screenshot"}, {"path", "after-i.png"}},
         {{"when", {{"frames", 12}}}, {"action", "screenshot"}, {"path", "inside-2.png"}},
         {{"when", {{"frames", 24}}}, {"action", "screenshot"}, {"path", "inside-3.png"}},
         {{"at_ms", 0}, {"action", "save"}, {"path", "marked.aep"}},
         {{"at_ms", 0}, {"action", "quit"}}});
    const json s = run_in(home, name, events, no_gpu, c.at_120 ? fast : project());
    ASSERT_TRUE(s.value("quit", false)) << "still waiting for " << s.value("still_waiting", "");
    const fs::path out = root() / name;
    const json& rect = s.at("panel").at("picture_rect");
    const std::optional<double> at_o = frame_on_screen(out / "at-o.png", rect);
    const std::optional<double> at_i = frame_on_screen(out / "at-i.png", rect);
    const std::optional<double> after_o = frame_on_screen(out / "after-o.png", rect);
    const std::optional<double> after_i = frame_on_screen(out / "after-i.png", rect);
    ASSERT_TRUE(at_o && at_i && after_o && after_i) << "the frame bar is not on screen";
    const auto lines = work_area_lines(read_text(log_of(home)));
    ASSERT_EQ(lines.size(), 2u);
    std::cout << name << ": O pressed on frame " << *at_o << " (then " << *after_o << "), marked " << lines[0].second
              << "; I pressed on frame " << *at_i << " (then " << *after_i << "), marked " << lines[1].first << "\n";
    EXPECT_EQ(lines[0].first, 0);
    // The key is taken in the tick after the picture before it: the mark is
    // the frame on screen then, which lies between that picture and the
    // next one (the same frame or the one after, unless the machine is so
    // slow that a draw lands between the two). A next picture that wrapped
    // to the loop's start bounds nothing.
    auto latest = [](double at, double after) { return std::max(at, after) + 2.0; };
    EXPECT_GE(static_cast<double>(lines[0].second), *at_o - 2.0);
    EXPECT_LE(static_cast<double>(lines[0].second), latest(*at_o, *after_o));
    EXPECT_GE(static_cast<double>(lines[1].first), *at_i - 2.0);
    EXPECT_LE(static_cast<double>(lines[1].first), latest(*at_i, *after_i));
    EXPECT_EQ(lines[1].second, lines[0].second);
    EXPECT_EQ(work_area_of(out / "marked.aep"), lines[1]) << "the host's composition holds the new work area";
    // Playing on (the pictures the scenario waited for came), inside the loop
    // 0..OUT, then IN..OUT.
    const std::optional<double> inside1 = frame_on_screen(out / "inside-1.png", rect);
    ASSERT_TRUE(inside1);
    EXPECT_LE(*inside1, static_cast<double>(lines[0].second) + 0.5);
    for (const char* png : {"inside-2.png", "inside-3.png"}) {
      const std::optional<double> f = frame_on_screen(out / png, rect);
      ASSERT_TRUE(f) << png;
      EXPECT_GE(*f, static_cast<double>(lines[1].first) - 0.5) << png;
      EXPECT_LE(*f, static_cast<double>(lines[1].second) + 0.5) << png;
    }
  }
}

// The work area 60..179 set by the keys, paused on frame 0 or 230, play:
// the first picture is IN's, within a frame or so, and every frame follows
// from there on both paths.
TEST_P(PlaybackOnPath, PlayFromOutsideTheWorkAreaStartsAtIn) {
  const bool no_gpu = GetParam().no_gpu;
  for (const int from : {0, 230}) {
    const std::string name = std::string(no_gpu ? "outside-cpu-" : "outside-metal-") + std::to_string(from);
    SCOPED_TRACE(name);
    const fs::path home = filled_home(name);
    const json events = paused_before_first_picture(
        home,
        {{{"at_ms", 0}, {"action", "open_panel"}, {"width", 960}, {"height", 540}, {"scale", 1}},
         {{"when", {{"file", log_of(home)}, {"has", kLoopSwept}}}, {"action", "click"}, {"x", loop_x(60)}, {"y", 32}},
         {{"when", {{"frames", 1}}}, {"action", "key"}, {"chars", "i"}},
         {{"when", {{"file", log_of(home)}, {"has", "workarea: IN 60 "}}},
          {"action", "click"}, {"x", loop_x(179)}, {"y", 32}},
         {{"when", {{"frames", 1}}}, {"action", "key"}, {"chars", "o"}},
         {{"when", {{"file", log_of(home)}, {"has", "OUT 179\n"}}},
          {"action", "click"}, {"x", loop_x(from)}, {"y", 32}},
         {{"when", {{"frames", 1}}}, {"action", "screenshot"}, {"path", "before.png"}},
         {{"when", {{"after_ms", 300}}}, {"action", "play"}},
         {{"at_ms", 0}, {"action", "mark"}, {"name", "play"}},
         {{"when", {{"frames", 1}}}, {"action", "screenshot"}, {"path", "first.png"}},
         {{"at_ms", 0}, {"action", "mark"}, {"name", "first"}},
         {{"when", {{"frames", 47}}}, {"action", "screenshot"}, {"path", "later.png"}},
         {{"at_ms", 0}, {"action", "mark"}, {"name", "later"}},
         {{"at_ms", 0}, {"action", "quit"}}});
    const json s = run_in(home, name, events, no_gpu);
    ASSERT_TRUE(s.value("quit", false)) << "still waiting for " << s.value("still_waiting", "");
    const fs::path out = root() / name;
    const json& rect = s.at("panel").at("picture_rect");
    const std::optional<double> before = frame_on_screen(out / "before.png", rect);
    const std::optional<double> first = frame_on_screen(out / "first.png", rect);
    const std::optional<double> later = frame_on_screen(out / "later.png", rect);
    ASSERT_TRUE(before && first && later) << "the frame bar is not on screen";
    EXPECT_NEAR(*before, from, 1.5) << "the click, outside the work area";
    const json* play = find_mark(s, "play");
    const json* shown = find_mark(s, "first");
    const json* end = find_mark(s, "later");
    ASSERT_TRUE(play && shown && end);
    const double to_first = shown->at("at_ms").get<double>() - play->at("at_ms").get<double>();
    const double to_later = end->at("at_ms").get<double>() - shown->at("at_ms").get<double>();
    std::cout << name << ": first frame " << *first << " " << to_first << " ms after play; " << *later << " after "
              << to_later << " ms more\n";
    // Playback starts at IN; a machine so slow that the clock's first step
    // came more than a frame time after the play (a sanitizer) steps over
    // what fell due by then, as it would inside the loop.
    const double fell_due = std::floor(to_first / (1000.0 / 24.0));
    EXPECT_GE(*first, 59.5) << "playback starts at IN";
    EXPECT_LE(*first, 60.5 + fell_due) << "playback starts at IN";
    // 47 pictures since the play: the frames after IN, in loop order (a
    // loaded machine may miss some, which are counted, or show one twice).
    EXPECT_GT(*later, 60.5);
    EXPECT_LE(*later, 179.5);
    EXPECT_EQ(work_area_lines(read_text(log_of(home))).back(), (std::pair<int64_t, int64_t>{60, 179}));
  }
}

// A pause pressed as the panel opens, before the composition is taken up,
// holds; so does a pause across "Purge Velocinta" and a switch to another
// composition and back, on both paths: only the play control plays.
TEST_P(PlaybackOnPath, APauseHoldsAcrossOpeningPurgeAndSwitch) {
  json doc = json::parse(read_text(project()));
  json other = doc["compositions"][0];
  other["name"] = "Other";
  other["duration"] = {48, 24};
  other["work_area"] = {{"start", {0, 24}}, {"duration", {48, 24}}};
  doc["compositions"].push_back(other);
  const fs::path two = root() / "two-comps.aep";
  std::ofstream(two) << doc.dump();
  const bool no_gpu = GetParam().no_gpu;
  const std::string name = no_gpu ? "pause-cpu" : "pause-metal";
  SCOPED_TRACE(name);
  const fs::path home = root() / ("home-" + name);
  auto settled = [](const std::string& mark, const std::string& png) {
    return json::array({json{{"when", {{"after_ms", 1500}}}, {"action", "mark"}, {"name", mark}},
                        json{{"at_ms", 0}, {"action", "screenshot"}, {"path", png}}});
  };
  json events = {{{"at_ms", 0}, {"action", "open_panel"}, {"width", 960}, {"height", 540}, {"scale", 1}},
                 {{"at_ms", 0}, {"action", "pause"}},
                 {{"when", {{"frames_total", 1}}}, {"action", "mark"}, {"name", "opened"}}};
  auto add = [&](const json& more) { events.insert(events.end(), more.begin(), more.end()); };
  add(settled("opened-settled", "opened.png"));
  add(json::array({json{{"at_ms", 0}, {"action", "command"}, {"name", "Purge Velocinta"}},
                   json{{"when", {{"frames", 1}}}, {"action", "mark"}, {"name", "purged"}}}));
  add(settled("purged-settled", "purged.png"));
  add(json::array({json{{"at_ms", 0}, {"action", "activate"}, {"name", "Other"}},
                   json{{"when", {{"after_ms", 1500}}}, {"action", "activate"}, {"name", "Main"}},
                   json{{"when", {{"after_ms", 500}}}, {"action", "mark"}, {"name", "back"}}}));
  add(settled("back-settled", "back.png"));
  add(json::array({json{{"when", "text:\xE2\x96\xB6"}, {"action", "play"}},
                   json{{"when", {{"frames", 24}}}, {"action", "quit"}}}));
  const json s = run_in(home, name, events, no_gpu, two);
  ASSERT_TRUE(s.value("quit", false)) << "still waiting for " << s.value("still_waiting", "");
  const json& rect = s.at("panel").at("picture_rect");
  for (const char* mark : {"opened", "purged", "back"}) {
    const json* at = find_mark(s, mark);
    const json* settled_at = find_mark(s, std::string(mark) + "-settled");
    ASSERT_TRUE(at && settled_at) << mark;
    EXPECT_LE(settled_at->at("picture_frames").get<uint64_t>(), at->at("picture_frames").get<uint64_t>() + 1)
        << mark << ": playback started under the pause";
    const std::optional<double> f = frame_on_screen(root() / name / (std::string(mark) + ".png"), rect);
    ASSERT_TRUE(f) << mark;
    EXPECT_NEAR(*f, 0.0, 0.5) << mark;
  }
  EXPECT_NE(read_text(log_of(home)).find("velocinta: lecture en pause"), std::string::npos);
}

// A composition of 1/4294967295 s frames, valid in a project file: every
// wake of the clock steps over millions of frames. Counting them one by one
// kept the clock's thread from the picture for tens of seconds (the main
// thread on the CPU path, whose reports then showed no head advance). They
// are counted, and the picture keeps moving on both paths.
TEST_P(PlaybackOnPath, BillionsOfFramesASecondAreCountedWhileThePictureMoves) {
  std::ifstream in(fs::path(VEL_DEMO_DIR) / "sample.aep");
  json doc = json::parse(in);
  json& comp = doc["compositions"][0];
  comp["frame_duration"] = {1, 4294967295u};
  comp["duration"] = {10, 1};
  comp["work_area"] = {{"start", {0, 1}}, {"duration", {10, 1}}};
  const fs::path huge = root() / "huge-rate.aep";
  std::ofstream(huge) << doc.dump();
  const bool no_gpu = GetParam().no_gpu;
  const std::string name = no_gpu ? "huge-cpu" : "huge-metal";
  SCOPED_TRACE(name);
  const fs::path home = root() / ("home-" + name);
  // Two reports while playing.
  const json events = {
      {{"at_ms", 0}, {"action", "open_panel"}, {"width", 480}, {"height", 270}, {"scale", 1}},
      {{"when", {{"file", log_of(home)}, {"has", "PIPELINE(5s)"}, {"count", 2}}}, {"action", "quit"}}};
  const json s = run_in(home, name, events, no_gpu, huge);
  EXPECT_TRUE(s.value("quit", false)) << "still waiting for " << s.value("still_waiting", "");
  const std::string log = read_text(log_of(home));
  const std::vector<uint64_t> moved = pipeline_figures(log, "head_advanced");
  const std::vector<uint64_t> missed = pipeline_figures(log, "missed_total");
  ASSERT_EQ(moved.size(), 2u);
  ASSERT_EQ(missed.size(), 2u);
  EXPECT_GT(moved[1], 1u) << "the picture stood still";
  EXPECT_GT(missed[1], missed[0]) << "frames fell due without being counted";
}

}  // namespace
}  // namespace vel
