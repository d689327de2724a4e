// Workers that render another size than the composition's (a template that
// crops or pads, another version of the project: the stand-in's
// SIM_AERENDER_SIZE), with the pool on and every switch at its default, on
// both present paths. The user plays, pauses and clicks three frames once
// the work area is cached: every picture equals the one a run without the
// pool shows (the host's own render), no frame of another size enters the
// cache or the disk store, the refusal is logged once for the batch with
// its count, and the work area still fills.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "plugin/frame_bar.h"
#include "plugin/simhost_pool_run.h"
#include "support/png_file.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;

constexpr int kPictureFrames[] = {40, 120, 200};

using testing::Png;
using testing::read_png;

bool inside(const json& r, int x, int y) {
  const double rx = r.at(0).get<double>(), ry = r.at(1).get<double>();
  return x >= rx - 2 && y >= ry - 2 && x < rx + r.at(2).get<double>() + 2 && y < ry + r.at(3).get<double>() + 2;
}

// Pixels of the picture's rectangle (points at scale 1) that differ between
// two pictures by more than 2 on any channel, outside the texts drawn over
// the picture (`texts`, the status lines of either run); -1 when they
// cannot be compared.
int64_t pixels_off(const Png& a, const Png& b, const json& rect, const json& texts) {
  if (a.px.empty() || a.width != b.width || a.height != b.height) return -1;
  const int x0 = static_cast<int>(rect.at(0).get<double>()), y0 = static_cast<int>(rect.at(1).get<double>());
  const int x1 = std::min(a.width, x0 + static_cast<int>(rect.at(2).get<double>()));
  const int y1 = std::min(a.height, y0 + static_cast<int>(rect.at(3).get<double>()));
  int64_t off = 0;
  for (int y = std::max(y0, 0); y < y1; ++y) {
    for (int x = std::max(x0, 0); x < x1; ++x) {
      bool over_text = false;
      for (const json& t : texts) over_text = over_text || inside(t, x, y);
      if (over_text) continue;
      const uint32_t p = a.px[static_cast<size_t>(y) * a.width + x], q = b.px[static_cast<size_t>(y) * a.width + x];
      for (int shift : {0, 8, 16}) {
        if (std::abs(static_cast<int>((p >> shift) & 0xff) - static_cast<int>((q >> shift) & 0xff)) > 2) {
          ++off;
          break;
        }
      }
    }
  }
  return off;
}

struct SizePath {
  const char* name;
  bool no_gpu;
};

class PoolForeignSize : public testing::SimhostPoolRun, public ::testing::WithParamInterface<SizePath> {
 protected:
  void SetUp() override {
    SimhostPoolRun::SetUp();
    host_renders_async_ = true;
    // The sample as it ships, 2D (its 3D copy keeps the pool waiting while
    // the host renders), with the frame bar on top.
    json p = json::parse(read_text(std::string(VEL_DEMO_DIR) + "/sample.aep"));
    json& comp = p["compositions"][0];
    for (auto& layer : comp["layers"]) layer["three_d"] = false;
    testing::add_frame_bar(comp, 240);
    write_project(p);
  }
  std::vector<std::string> path_args() const {
    return GetParam().no_gpu ? std::vector<std::string>{"--no-gpu"} : std::vector<std::string>{};
  }
  // Play, pause at the first frame, and once the work area is cached click
  // each of kPictureFrames on the strip and take a picture of it.
  json journey(bool pool) {
    json events = json::array({{{"at_ms", 0}, {"action", "open_panel"}, {"width", 960}, {"height", 540}, {"scale", 1}}});
    if (pool) events.push_back(command(0, "velocinta: pool (toggle)"));
    events.push_back(json{{"when", {{"frames", 1}}}, {"action", "pause"}});
    events.push_back(when_logged("S2 zone de travail en cache", 1, {{"action", "wait"}}));
    // The pool's worker hands its first frame over (and has it refused)
    // before the clicks, however busy the machine.
    if (pool) events.push_back(when_logged("d'une autre taille refusée", 1, {{"action", "wait"}}));
    for (int f : kPictureFrames) {
      events.push_back(json{{"at_ms", 0}, {"action", "click"}, {"x", f * 4 + 1}, {"y", 32}});
      events.push_back(json{{"when", "picture_presented"},
                            {"action", "screenshot"},
                            {"path", "frame-" + std::to_string(f) + ".png"}});
    }
    events.push_back(json{{"at_ms", 0}, {"action", "quit"}});
    return events;
  }
  // Runs the journey and moves its home and output aside under `name`.
  fs::path run_journey(const std::string& name, std::vector<std::string> env, bool pool) {
    auto r = run(std::move(env), journey(pool), 110.0, path_args());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
    const json s = summary();
    EXPECT_TRUE(s.value("quit", false)) << name << ": still waiting for " << s.value("still_waiting", "") << "\n"
                                        << log();
    const fs::path kept = root_ / name;
    fs::create_directories(kept);
    fs::rename(root_ / "home", kept / "home");
    fs::rename(root_ / "out", kept / "out");
    fs::create_directories(root_ / "home");
    fs::create_directories(root_ / "out");
    return kept;
  }
  // The sizes of the frames in the disk store, "WxH" → count.
  static std::map<std::string, int> stored_sizes(const fs::path& home) {
    std::map<std::string, int> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(home / "Library" / "Caches", ec); it != fs::end(it);
         it.increment(ec)) {
      if (it->path().extension() != ".vnf") continue;
      const std::string bytes = read_text(it->path());
      if (bytes.size() < 20 || (bytes.compare(0, 4, "VNF2") != 0 && bytes.compare(0, 4, "VNF3") != 0)) continue;
      uint32_t w = 0, h = 0;
      std::memcpy(&w, bytes.data() + 12, 4);
      std::memcpy(&h, bytes.data() + 16, 4);
      ++out[std::to_string(w) + "x" + std::to_string(h)];
    }
    return out;
  }
  // Whether w × h is the sample's 1920 × 1080 at some downsample.
  static bool composition_size(uint32_t w, uint32_t h) {
    for (uint32_t d = 1; d <= 16; d *= 2)
      if (w == (1920 + d - 1) / d && h == (1080 + d - 1) / d) return true;
    return false;
  }
  static size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
};

TEST_P(PoolForeignSize, NoFrameOfAnotherSizeIsCachedStoredOrShown) {
  const fs::path foreign = run_journey("foreign", {"SIM_AERENDER_SIZE=1920x1440"}, true);
  const fs::path own = run_journey("own", {}, false);
  const std::string text = read_text(foreign / "home" / "Library" / "Logs" / "velocinta.log");

  // The pool ran, its worker's frames were refused, once for the batch,
  // and the work area was cached all the same.
  ASSERT_NE(text.find("DELIVERY use_pool=true reason=pool_next_batch_ready"), std::string::npos) << text;
  const std::regex refusal("pool: lot arrêté — ([0-9]+) image\\(s\\) d'une autre taille refusée\\(s\\) "
                           "\\(([0-9]+)x([0-9]+) au lieu de ([0-9]+)x([0-9]+)\\)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, refusal)) << text;
  EXPECT_GE(std::stoi(m[1]), 1);
  EXPECT_EQ(std::stoi(m[3]) * 1080 / 1440, std::stoi(m[5])) << "the worker's 4:3 against the composition's 16:9";
  EXPECT_EQ(count(text, "d'une autre taille refusée"), 1u) << text;
  EXPECT_EQ(count(text, "pool: DÉSACTIVÉ pour la session"), 1u) << text;
  EXPECT_NE(text.find("S2 zone de travail en cache"), std::string::npos);

  // Nothing of another size in the cache, nor in the disk store.
  const std::regex cached("S5 pool : image [0-9]+/[0-9]+ en cache \\(([0-9]+)x([0-9]+)\\)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), cached); it != std::sregex_iterator(); ++it)
    EXPECT_TRUE(composition_size(std::stoul((*it)[1]), std::stoul((*it)[2]))) << it->str();
  const std::map<std::string, int> stored = stored_sizes(foreign / "home");
  EXPECT_FALSE(stored.empty()) << "the run stored no frame: nothing checked";
  for (const auto& [size, n] : stored) {
    const size_t x = size.find('x');
    EXPECT_TRUE(composition_size(std::stoul(size.substr(0, x)), std::stoul(size.substr(x + 1))))
        << n << " frame(s) of " << size << " stored";
  }

  // What the user sees is what the host renders.
  const json panel = json::parse(read_text(foreign / "out" / "summary.json"))["panel"];
  const json& rect = panel["picture_rect"];
  json texts = panel["texts_over_picture"];
  const json own_summary = json::parse(read_text(own / "out" / "summary.json"));
  for (const json& t : own_summary["panel"]["texts_over_picture"]) texts.push_back(t);
  for (int f : kPictureFrames) {
    const std::string png = "frame-" + std::to_string(f) + ".png";
    const std::optional<double> shown = testing::frame_on_screen(foreign / "out" / png, rect);
    ASSERT_TRUE(shown) << png << ": the frame bar is not on screen";
    EXPECT_NEAR(*shown, f, 0.5) << png;
    const int64_t off = pixels_off(read_png(foreign / "out" / png), read_png(own / "out" / png), rect, texts);
    EXPECT_EQ(off, 0) << png << ": pixels unlike the host's own render";
    RecordProperty("pixels_off_frame_" + std::to_string(f), std::to_string(off));
  }
  std::cout << GetParam().name << ": " << m[0] << "\n";
}

INSTANTIATE_TEST_SUITE_P(BothPresentPaths, PoolForeignSize,
                         ::testing::Values(SizePath{"cpu", true}, SizePath{"metal", false}),
                         [](const ::testing::TestParamInfo<SizePath>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vel
