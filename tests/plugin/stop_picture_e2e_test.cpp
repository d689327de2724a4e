// What reaches the picture once the panel takes up a stop, on both present
// paths with the default switches, read from screenshots a few milliseconds
// apart: a switch to the other composition while playing shows the old
// one's last picture until the new one's first frame, and the new one goes
// on from there; "Purge Velocinta" while playing never steps the picture
// back; a pause at 120 frames a second leaves the kept frame on screen and
// nothing past it. The frame is read from a white bar that moves 7
// composition pixels per frame, the composition from its backdrop.
#include <gtest/gtest.h>

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "plugin/frame_bar.h"
#include "plugin/paused_opening.h"
#include "plugin/scenario_steps.h"
#include "support/child_process.h"
#include "support/sanitized_build.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::after_frames;
using testing::event;
using testing::frame_on_screen;
using testing::kSanitized;
using testing::now;
using testing::read_text;

constexpr int kStopFrames = 240;
constexpr const char* kStopSwept = "S2 zone de travail en cache";
// The host's time in each composition: where a switch to it enters.
constexpr int kMainEntry = 8, kOtherEntry = 30;
// Loops short enough that every frame of both stays unpacked.
constexpr int kSwitchFrames = 48;

struct StopPath {
  const char* name;
  bool no_gpu;
};
constexpr StopPath kStopPaths[] = {{"cpu", true}, {"metal", false}};

json after_ms(int ms) { return {{"after_ms", ms}}; }

// What one screenshot shows: the composition (by its backdrop) and the frame.
struct Seen {
  std::string png;
  bool other = false;
  double frame = NAN;
  double ms = NAN;  // when it was drawn, on the host's monotonic clock
};

// The bar project: the bar over a backdrop alone, at `fps` frames a second,
// renders of 10 ms; with a second composition "Other", whose backdrop is
// green where Main's is blue.
fs::path write_project(const fs::path& to, int fps, bool with_other, int frames = kStopFrames) {
  json doc = json::parse(read_text(fs::path(VEL_DEMO_DIR) / "sample.aep"));
  json& comp = doc["compositions"][0];
  json backdrop = comp["layers"].back();
  comp["layers"] = json::array({backdrop});
  testing::add_frame_bar(comp, kStopFrames);
  comp["render_cost_ms"] = 10;
  comp["frame_duration"] = {1, fps};
  comp["duration"] = {frames, fps};
  comp["work_area"] = {{"start", {0, fps}}, {"duration", {frames, fps}}};
  for (json& key : comp["layers"][0]["transform"]["position"]["keyframes"]) key["time"][1] = fps;
  if (with_other) {
    comp["current_time"] = {kMainEntry, fps};
    json other = comp;
    other["name"] = "Other";
    other["current_time"] = {kOtherEntry, fps};
    other["layers"].back()["solid"]["color"] = {0.05, 0.3, 0.1};
    doc["compositions"].push_back(other);
  }
  std::ofstream(to) << doc.dump();
  return to;
}

// Whether the picture's backdrop is the green one, from the first of a few
// points on its middle row that the bar does not cover.
std::optional<bool> green_backdrop(const fs::path& png, const json& rect) {
  cairo_surface_t* s = cairo_image_surface_create_from_png(png.c_str());
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> keep(s, &cairo_surface_destroy);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  const double rx = rect.at(0).get<double>(), ry = rect.at(1).get<double>();
  const double rw = rect.at(2).get<double>(), rh = rect.at(3).get<double>();
  const int y = static_cast<int>(ry + rh / 2);
  if (y < 0 || y >= cairo_image_surface_get_height(s)) return std::nullopt;
  const unsigned char* row = cairo_image_surface_get_data(s) + static_cast<size_t>(y) * cairo_image_surface_get_stride(s);
  for (const double at : {0.02, 0.5, 0.98}) {
    const int x = static_cast<int>(rx + rw * at);
    if (x < 0 || x >= cairo_image_surface_get_width(s)) continue;
    uint32_t v;
    std::memcpy(&v, row + static_cast<size_t>(x) * 4, 4);
    const uint32_t r = (v >> 16) & 0xff, g = (v >> 8) & 0xff, b = v & 0xff;
    if (std::min({r, g, b}) >= 60) continue;  // on the bar
    return g > b;
  }
  return std::nullopt;
}

// How far `to` lies behind `from` in loop order over `frames` frames (0 when
// ahead or level): a step back of more than half the loop is the loop's wrap.
double behind(double from, double to, int frames = kStopFrames) {
  double d = from - to;
  if (d < -frames / 2.0) d += frames;
  if (d > frames / 2.0) d -= frames;
  return std::max(d, 0.0);
}

// How far `to` lies ahead of `from` in loop order: 0 when it lies up to half
// a frame behind (the bar's reading), the rest of the loop when further.
double ahead(double from, double to, int frames) {
  if (behind(from, to, frames) > 0.5) return frames - behind(from, to, frames);
  return std::max(0.0, std::fmod(std::fmod(to - from, frames) + frames + frames / 2.0, frames) - frames / 2.0);
}

// Whether the picture's steps since a stop, `travelled` frames in loop
// order, fit in what the playback clock can run from it in `elapsed_ms`:
// the picture never runs ahead of the clock, but may lag it by most of a
// loop on a slow GPU (a sanitizer's stand-in draws a few pictures a second),
// so a frame behind the one on screen is the loop come round only once the
// clock may have gone round to it.
bool clock_may_have_come_round(double travelled, double elapsed_ms, int fps) {
  return std::isfinite(elapsed_ms) && travelled <= elapsed_ms * fps / 1000.0 + 1.0;
}

class StopPicture : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    scratch_ = new testing::ScratchDir("vel-stop-picture");
    ASSERT_TRUE(scratch_->ok());
  }
  static void TearDownTestSuite() {
    if (getenv("KEEP")) return;
    delete scratch_;
    scratch_ = nullptr;
  }

  static fs::path root() { return scratch_->path(); }
  static std::string log_of(const std::string& name) {
    return (root() / ("home-" + name) / "Library" / "Logs" / "velocinta.log").string();
  }

  // Opens the panel at 960 × 540 points, paused before the first picture,
  // waits until the work area is cached, then runs `events`; the summary.
  static json run(const std::string& name, const StopPath& path, const fs::path& aep, const json& events, int scale) {
    const fs::path home = root() / ("home-" + name), out = root() / name;
    fs::create_directories(home / "tmp");
    fs::create_directories(out);
    json all = json::array({event(nullptr, "open_panel", {{"width", 960}, {"height", 540}, {"scale", scale}})});
    for (const json& e : testing::pause_before_first_picture(log_of(name))) all.push_back(e);
    all.push_back(event({{"file", log_of(name)}, {"has", kStopSwept}}, "wait"));
    for (const json& e : events) all.push_back(e);
    all.push_back(now("quit"));
    std::ofstream(out / "scenario.json") << json{{"events", all}}.dump();
    std::vector<std::string> args = {"--plugin",  VEL_PLUGIN_PATH, "--project", aep.string(),
                                     "--seconds", "150",           "--out",     out.string(),
                                     "--scenario", (out / "scenario.json").string()};
    if (path.no_gpu) args.push_back("--no-gpu");
    const std::vector<std::string> env = {"HOME=" + home.string(), "TMPDIR=" + (home / "tmp").string(),
                                          "VELOCINTA_PERF=1"};
    auto r = testing::run_child(VEL_SIMHOST_PATH, args, env, out.string(), 180);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    json s = json::parse(read_text(out / "summary.json"), nullptr, false);
    if (!s.is_object()) {
      ADD_FAILURE() << name << ": no summary: " << r.output;
      return json::object({{"panel", json::object()}, {"quit", false}});
    }
    EXPECT_TRUE(s.at("scenario_failures").empty()) << s.at("scenario_failures").dump();
    EXPECT_TRUE(s.value("quit", false)) << name << ": still waiting for " << s.value("still_waiting", "");
    return s;
  }

  // What each screenshot of run `name` shows, in order.
  static std::vector<Seen> seen(const std::string& name, const json& summary, const std::vector<std::string>& pngs,
                                int scale) {
    std::vector<Seen> out;
    if (!summary.at("panel").contains("picture_rect")) return out;
    json rect = summary.at("panel").at("picture_rect");
    for (json& v : rect) v = v.get<double>() * scale;
    for (const std::string& png : pngs) {
      Seen s{png};
      const fs::path file = root() / name / png;
      s.frame = frame_on_screen(file, rect).value_or(NAN);
      s.other = green_backdrop(file, rect).value_or(false);
      const json& drawn = summary.at("panel").value("screenshot_ms", json::object());
      if (auto at = drawn.find(file.string()); at != drawn.end()) s.ms = at->get<double>();
      out.push_back(s);
    }
    return out;
  }

  static testing::ScratchDir* scratch_;
};

testing::ScratchDir* StopPicture::scratch_ = nullptr;

fs::path StopPictureRoot() { return StopPicture::root(); }

// `count` screenshots `every` ms apart, named prefix-0.png on; their names.
std::vector<std::string> burst(json& events, const std::string& prefix, int count, int every) {
  std::vector<std::string> names;
  for (int j = 0; j < count; ++j) {
    names.push_back(prefix + "-" + std::to_string(j) + ".png");
    events.push_back(event(after_ms(every), "screenshot", {{"path", names.back()}}));
  }
  return names;
}

std::string describe(const std::vector<Seen>& shots) {
  std::string out;
  for (const Seen& s : shots) {
    char frame[32];
    std::snprintf(frame, sizeof frame, "%.1f", s.frame);
    out += std::string(out.empty() ? "" : " → ") + (s.other ? "Other " : "Main ") + frame;
  }
  return out;
}

// Playing, switches back and forth between two cached compositions, with a
// screenshot every 12 ms after each: the old composition's picture stands
// still from the switch on, and the new one shows first at its own entry
// (the host's time there) and goes on forward from it; never the new
// composition at the old one's frame.
TEST_F(StopPicture, ASwitchWhilePlayingShowsTheOldPictureUntilTheNewEntry) {
  // Fewer rounds under a sanitizer, whose runs take several times as long.
  constexpr int kSwitches = kSanitized ? 4 : 12, kShots = 24;
  // On a 2× screen, as the demo's: the stand-in GPU's draws take long
  // enough that the old composition's are still in flight at the switch.
  constexpr int kScale = kSanitized ? 1 : 2;
  const fs::path aep = write_project(root() / "two.aep", 24, true, kSwitchFrames);
  for (const StopPath& path : kStopPaths) {
    const std::string name = std::string("switch-") + path.name;
    SCOPED_TRACE(name);
    json events = json::array();
    // The plug-in says the work area is cached each time it takes a
    // composition up with its frames (at its first fill, then from the
    // frames it set aside): Main's fill comes before the first event.
    int sweeps = 1;
    auto taken_up = [&] { return event({{"file", log_of(name)}, {"has", kStopSwept}, {"count", ++sweeps}}, "wait"); };
    // Both compositions cached, then playing in Main once it is back on
    // screen (a loaded machine may take long to put each picture up).
    events.push_back(now("activate", {{"name", "Other"}}));
    events.push_back(event("picture_presented", "wait"));
    events.push_back(taken_up());
    events.push_back(now("activate", {{"name", "Main"}}));
    events.push_back(event("picture_presented", "wait"));
    events.push_back(taken_up());
    events.push_back(event(after_ms(300), "play"));
    std::vector<std::vector<std::string>> rounds;
    for (int i = 0; i < kSwitches; ++i) {
      const std::string k = std::to_string(i);
      const bool to_other = i % 2 == 0;
      // The composition played on screen before each switch: a slow GPU
      // (a sanitizer's, beside other runs on two cores) may take longer to
      // put a picture up than a round lasts, and every draw made before a
      // switch is rightly dropped.
      events.push_back(event(after_frames(2), "wait"));
      events.push_back(event(after_ms(250 + 37 * i), "screenshot", {{"path", "pre-" + k + ".png"}}));
      events.push_back(now("activate", {{"name", to_other ? "Other" : "Main"}}));
      // A key the panel ignores, in the turn after the idle call that takes
      // the switch up: the frames counted from here are the new
      // composition's (an old one's picture may still land before that call).
      events.push_back(event({{"idle_rounds", 1}}, "key", {{"chars", "x"}}));
      std::vector<std::string> pngs = {"pre-" + k + ".png"};
      for (const std::string& n : burst(events, "sw-" + k, kShots, 12)) pngs.push_back(n);
      // However slow the GPU, the round ends on the new composition's picture.
      events.push_back(event(after_frames(1), "screenshot", {{"path", "sw-" + k + "-shown.png"}}));
      pngs.push_back("sw-" + k + "-shown.png");
      rounds.push_back(pngs);
    }
    const json s = run(name, path, aep, events, kScale);
    int wrong_entry = 0;
    for (int i = 0; i < kSwitches; ++i) {
      const bool to_other = i % 2 == 0;
      const std::vector<Seen> shots = seen(name, s, rounds[static_cast<size_t>(i)], kScale);
      if (shots.size() != rounds[static_cast<size_t>(i)].size()) {
        ADD_FAILURE() << "the run ended before switch " << i;
        break;
      }
      std::cout << name << ": switch " << i << ": " << describe(shots) << "\n";
      ASSERT_EQ(shots[0].other, !to_other) << "switch " << i << " started in the other composition";
      const Seen* first_new = nullptr;
      const Seen* last_old = nullptr;
      bool entry_wrong = false;
      double travelled = 0;  // by the new composition's picture from its entry, in loop order
      for (size_t j = 1; j < shots.size(); ++j) {
        const Seen& shot = shots[j];
        SCOPED_TRACE(shot.png);
        if (shot.other != to_other) {
          EXPECT_EQ(first_new, nullptr) << "the old composition came back after the new one";
          // From the switch on, the old composition's picture stands still.
          if (last_old != nullptr) {
            EXPECT_NEAR(shot.frame, last_old->frame, 0.5) << "the old picture moved on";
          }
          last_old = &shot;
          continue;
        }
        // Playback keeps time from the switch (the screenshot before it is
        // drawn earlier still).
        const double since_switch = shot.ms - shots[0].ms;
        if (first_new == nullptr) {
          first_new = &shot;
          const int entry = to_other ? kOtherEntry : kMainEntry;
          // Its first picture is its entry, or a frame played on from it: a
          // slow GPU (as under a sanitizer) that puts the first picture up
          // late shows the frame due by then. Never the old composition's
          // frame number.
          const double due = std::isfinite(since_switch) ? since_switch * 24.0 / 1000.0 : 0.0;
          travelled = ahead(entry, shot.frame, kSwitchFrames);
          entry_wrong = travelled > std::max(4.0, due + 1.5);
          EXPECT_FALSE(entry_wrong) << "first picture of the new composition at " << shot.frame << ", entry " << entry
                                    << ", " << since_switch << " ms after the switch";
        } else {
          travelled += ahead(shots[j - 1].frame, shot.frame, kSwitchFrames);
          const bool back = behind(shots[j - 1].frame, shot.frame, kSwitchFrames) > 0.5 &&
                            !clock_may_have_come_round(travelled, since_switch, 24);
          EXPECT_FALSE(back) << "the new composition stepped back, " << since_switch << " ms after the switch";
          entry_wrong |= back;
        }
      }
      wrong_entry += entry_wrong;
      EXPECT_NE(first_new, nullptr) << "the new composition never showed";
    }
    std::cout << name << ": " << wrong_entry << " of " << kSwitches
              << " switches showed the new composition elsewhere than at its entry first\n";
  }
}

// Playing, "Purge Velocinta" with a screenshot every 10 ms after it: the
// picture holds the frame on screen, then goes on forward from it once the
// frames are made again; it never steps back.
void purge_while_playing(int fps) {
  constexpr int kPurges = kSanitized ? 1 : 2, kShots = 30, kLoop = 96;
  const fs::path aep = write_project(StopPictureRoot() / ("bar-" + std::to_string(fps) + ".aep"), fps, false, kLoop);
  // At 120 frames a second on a 2× screen several draws are in flight.
  const int scale = fps == 120 && !kSanitized ? 2 : 1;
  for (const StopPath& path : kStopPaths) {
    const std::string name = "purge-" + std::to_string(fps) + "-" + path.name;
    SCOPED_TRACE(name);
    json events = json::array({now("play")});
    std::vector<std::vector<std::string>> rounds;
    for (int i = 0; i < kPurges; ++i) {
      const std::string k = std::to_string(i);
      events.push_back(event(after_ms(400 + 70 * i), "screenshot", {{"path", "pre-" + k + ".png"}}));
      events.push_back(now("command", {{"name", "Purge Velocinta"}}));
      std::vector<std::string> pngs = {"pre-" + k + ".png"};
      for (const std::string& n : burst(events, "purged-" + k, kShots, 10)) pngs.push_back(n);
      rounds.push_back(pngs);
      // Cached again, playing.
      events.push_back(event({{"file", StopPicture::log_of(name)}, {"has", kStopSwept}, {"count", 2 + i}}, "wait"));
    }
    const json s = StopPicture::run(name, path, aep, events, scale);
    double worst = 0;
    for (int i = 0; i < kPurges; ++i) {
      const std::vector<Seen> shots = StopPicture::seen(name, s, rounds[static_cast<size_t>(i)], scale);
      if (shots.size() != rounds[static_cast<size_t>(i)].size()) {
        ADD_FAILURE() << "the run ended before purge " << i;
        break;
      }
      std::cout << name << ": purge " << i << ": " << describe(shots) << "\n";
      // The clock runs on from the kept frame while the frames are made
      // again, and on a slow GPU the picture may lag it by most of the loop:
      // a frame behind the one on screen is the loop come round, not a step
      // back, once the clock may have gone round to it since the purge (the
      // screenshot before it is drawn earlier still).
      double back = 0, travelled = 0;
      for (size_t j = 1; j < shots.size(); ++j) {
        ASSERT_FALSE(std::isnan(shots[j].frame)) << shots[j].png;
        ASSERT_FALSE(std::isnan(shots[j].ms)) << shots[j].png << ": no drawing time";
        const double d = behind(shots[j - 1].frame, shots[j].frame, kLoop);
        const double since_purge = shots[j].ms - shots[0].ms;
        travelled += ahead(shots[j - 1].frame, shots[j].frame, kLoop);
        if (d > 0.5 && clock_may_have_come_round(travelled, since_purge, fps)) {
          std::cout << name << ": purge " << i << ": the loop came round at " << shots[j].png << ", "
                    << since_purge << " ms after the purge\n";
        } else {
          back = std::max(back, d);
        }
      }
      worst = std::max(worst, back);
      EXPECT_LE(back, 0.5) << "purge " << i << " stepped the picture back";
    }
    std::cout << name << ": steps back after a purge: at most " << worst << " frames\n";
  }
}

TEST_F(StopPicture, APurgeWhilePlayingAt24NeverStepsThePictureBack) { purge_while_playing(24); }
TEST_F(StopPicture, APurgeWhilePlayingAt120NeverStepsThePictureBack) { purge_while_playing(120); }

// At 120 frames a second, pauses with a screenshot every 10 ms after each:
// from the pause on the picture is the frame the pause keeps, and no frame
// past it ever shows.
TEST_F(StopPicture, PausesAt120FramesASecondShowNothingPastTheKeptFrame) {
  constexpr int kPauses = kSanitized ? 3 : 8, kShots = 20;
  const fs::path aep = write_project(root() / "bar-120.aep", 120, false);
  const int scale = kSanitized ? 1 : 2;
  for (const StopPath& path : kStopPaths) {
    const std::string name = std::string("pauses-") + path.name;
    SCOPED_TRACE(name);
    json events = json::array();
    std::vector<std::vector<std::string>> rounds;
    for (int i = 0; i < kPauses; ++i) {
      const std::string k = std::to_string(i);
      events.push_back(event("text:\xE2\x96\xB6", "play"));
      events.push_back(event({{"frames", 8 + 3 * i}}, "pause"));
      std::vector<std::string> pngs = burst(events, "paused-" + k, kShots, 10);
      // The picture once it settled: the CPU path keeps the frame on screen
      // as it is; the Metal worker draws the kept frame again, last.
      events.push_back(path.no_gpu ? event("text:\xE2\x96\xB6", "screenshot", {{"path", "kept-" + k + ".png"}})
                                   : event("picture_presented", "screenshot", {{"path", "kept-" + k + ".png"}}));
      pngs.push_back("kept-" + k + ".png");
      rounds.push_back(pngs);
    }
    const json s = run(name, path, aep, events, scale);
    double worst = 0;
    for (int i = 0; i < kPauses; ++i) {
      const std::vector<Seen> shots = seen(name, s, rounds[static_cast<size_t>(i)], scale);
      if (shots.size() != rounds[static_cast<size_t>(i)].size()) {
        ADD_FAILURE() << "the run ended before pause " << i;
        break;
      }
      std::cout << name << ": pause " << i << ": " << describe(shots) << "\n";
      const double kept = shots.back().frame;
      ASSERT_FALSE(std::isnan(kept));
      double over = 0;
      for (const Seen& shot : shots) over = std::max(over, behind(shot.frame, kept));
      worst = std::max(worst, over);
      EXPECT_LE(over, 0.5) << "pause " << i << ": the picture ran past the kept frame " << kept;
      for (const Seen& shot : shots) EXPECT_NEAR(shot.frame, kept, 0.5) << "pause " << i << ": " << shot.png;
    }
    std::cout << name << ": overshoot after a pause: at most " << worst << " frames\n";
  }
}

}  // namespace
}  // namespace vel
