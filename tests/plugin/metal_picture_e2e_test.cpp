// The panel's picture drawn through the Metal worker's GPU path, against the
// same picture drawn by the CPU path (VELOCINTA_METAL=0), both painted by
// the stand-in host into PNGs at full size.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "support/child_process.h"
#include "support/png_file.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The stand-in GPU rasterises on the CPU: full-size pictures under a
// sanitizer take minutes. These tests compare pixels, not threads; the
// threads of the same path run under the sanitizers in the panel's own
// end-to-end test.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif

using testing::Png;
using testing::read_png;

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
  bool contains(int px, int py) const { return px >= x && px < x + w && py >= y && py < y + h; }
};

// A rectangle of the summary (points from the top left) in device pixels,
// grown by `margin` pixels.
Rect device_rect(const json& r, double scale, int margin) {
  const auto v = [&](size_t i) { return r.at(i).get<double>() * scale; };
  const int x0 = static_cast<int>(std::floor(v(0))) - margin, y0 = static_cast<int>(std::floor(v(1))) - margin;
  const int x1 = static_cast<int>(std::ceil(v(0) + v(2))) + margin, y1 = static_cast<int>(std::ceil(v(1) + v(3))) + margin;
  return {x0, y0, x1 - x0, y1 - y0};
}

struct Shot {
  Png png;
  Rect picture;
  std::vector<Rect> texts;  // drawn over the picture: left out
  json summary;
};

struct Difference {
  int largest = 0;     // on any channel
  double psnr = 0.0;   // dB over the compared pixels
  size_t compared = 0;
  size_t grey_pixels = 0;  // pixels of the checkerboard's two greys
  size_t unlike_corner = 0;  // pixels unlike the picture's top-left one: the layers show
};

Difference compare(const Shot& a, const Shot& b);

class MetalPicture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kSanitizedBuild) GTEST_SKIP() << "full-size pictures are compared in the plain build";
    ASSERT_TRUE(scratch_.ok());
  }

  // Runs `project` at the given Size item in a panel of 960 × 578 points at
  // `scale`, scrubs to frame 107 and paints it. The scenario follows the
  // run's events, not the clock: the scrub waits for the opening frame on
  // screen (a first frame: while the panel plays, a slow GPU is never idle), the painting for the work area's sweep to end (the scrubbed frame
  // is rendered before the rest of the work area, which lies around it) and
  // then for the picture to have shown a frame since the scrub with none
  // after it; then the run quits. --seconds is only a bound: reaching it fails.
  Shot run(const std::string& name, bool metal, int quality, double scale, const fs::path& project) {
    const fs::path root = scratch_.path() / name;
    const fs::path home = root / "home";
    const fs::path options = home / "Library" / "Application Support" / "velocinta";
    fs::create_directories(options);
    fs::create_directories(root / "tmp");
    fs::create_directories(root / "out");
    std::ofstream(options / "panel_options.json") << R"({"quality":)" << quality << R"(,"speed":0,"autosave":false})";
    {
      std::ofstream sc(root / "scenario.json");
      sc << R"({"events": [{"at_ms": 0, "action": "open_panel", "width": 960, "height": 578, "scale": )" << scale
         << R"(}, {"when": {"frames": 1}, "action": "drag", "x": 100, "y": 300, "to_x": 430, "to_y": 300, "steps": 6})"
         << R"(, {"when": "no_text:VELOCINTAING", "action": "wait"})"
         << R"(, {"when": "picture_presented", "action": "screenshot", "path": "shot.png"})"
         << R"(, {"at_ms": 0, "action": "quit"}]})";
    }
    std::vector<std::string> env = {"HOME=" + home.string(), "TMPDIR=" + (root / "tmp").string()};
    if (!metal) env.push_back("VELOCINTA_METAL=0");
    const std::vector<std::string> args = {"--plugin", VEL_PLUGIN_PATH, "--project", project.string(),
                                           "--seconds", "100", "--out", (root / "out").string(),
                                           "--scenario", (root / "scenario.json").string()};
    auto r = testing::run_child(VEL_SIMHOST_PATH, args, env, root.string(), 150);
    Shot shot;
    EXPECT_EQ(r.exit_code, 0) << r.output;
    std::ifstream in(root / "out" / "summary.json");
    shot.summary = json::parse(in, nullptr, false);
    if (!shot.summary.is_object()) {
      ADD_FAILURE() << "no summary: " << r.output;
      return shot;
    }
    EXPECT_TRUE(shot.summary.value("quit", false))
        << name << ": the run reached its bound still waiting for " << shot.summary.value("still_waiting", "");
    EXPECT_TRUE(shot.summary["scenario_failures"].empty()) << shot.summary["scenario_failures"].dump();
    const json& panel = shot.summary["panel"];
    shot.png = read_png(root / "out" / "shot.png");
    shot.picture = device_rect(panel.at("picture_rect"), scale, 0);
    for (const json& t : panel.at("texts_over_picture")) shot.texts.push_back(device_rect(t, scale, 2));
    // The scrubbed frame shows the sample's layers; the one at opening has none.
    if (!shot.png.px.empty()) {
      const Difference self = compare(shot, shot);
      EXPECT_GT(self.unlike_corner, self.compared / 20) << name << ": the scrubbed frame is not on screen";
    }
    return shot;
  }

  // The sample with a work area of frames 66 to 109: its sweep ends soon
  // after the scrubbed frame 107, which it reaches near its end; without the
  // full-frame backdrop when `transparent`: transparent around the layers.
  fs::path sample(bool transparent = false) {
    std::ifstream in(fs::path(VEL_DEMO_DIR) / "sample.aep");
    json doc = json::parse(in);
    json& comp = doc["compositions"][0];
    comp["work_area"] = {{"start", {66, 24}}, {"duration", {44, 24}}};
    if (transparent) comp["layers"].erase(comp["layers"].size() - 1);
    const fs::path out = scratch_.path() / (transparent ? "transparent.aep" : "sample.aep");
    std::ofstream(out) << doc.dump();
    return out;
  }

  testing::ScratchDir scratch_{"vel-metal-picture"};
};

Difference compare(const Shot& a, const Shot& b) {
  Difference d;
  double sq = 0.0;
  const Rect& r = a.picture;
  for (int y = r.y; y < r.y + r.h; ++y) {
    for (int x = r.x; x < r.x + r.w; ++x) {
      bool over_text = false;
      for (const Rect& t : a.texts) over_text = over_text || t.contains(x, y);
      if (over_text || x >= a.png.width || y >= a.png.height) continue;
      const uint32_t p = a.png.at(x, y), q = b.png.at(x, y);
      for (int shift : {0, 8, 16}) {
        const int e = static_cast<int>((p >> shift) & 0xff) - static_cast<int>((q >> shift) & 0xff);
        d.largest = std::max(d.largest, std::abs(e));
        sq += static_cast<double>(e) * e;
      }
      const uint32_t rgb = p & 0xffffff;
      if (rgb != (a.png.at(r.x, r.y) & 0xffffff)) ++d.unlike_corner;
      if (rgb == 0x999999 || rgb == 0x666666) ++d.grey_pixels;
      ++d.compared;
    }
  }
  const double mse = d.compared ? sq / (3.0 * static_cast<double>(d.compared)) : 0.0;
  d.psnr = mse > 0.0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : 99.0;
  return d;
}

void expect_presented_by(const Shot& s, const char* backend) {
  EXPECT_GT(s.summary["presentations"].value(backend, uint64_t{0}), 0u) << s.summary["presentations"].dump();
  EXPECT_TRUE(s.summary["metal_validation"].empty()) << s.summary["metal_validation"].dump();
}

// Each size is a test of its own: two full-size runs each, side by side
// under ctest rather than six in a row.
struct FullSize {
  const char* name;
  double scale;
  int width;  // the picture in device pixels
  bool transparent;
};
class MetalPictureAtSize : public MetalPicture, public ::testing::WithParamInterface<FullSize> {};

TEST_P(MetalPictureAtSize, FullSizePicturesEqualTheCpuPathWithinOne) {
  const FullSize c = GetParam();
  const fs::path project = sample(c.transparent);
  const Shot gpu = run(std::string(c.name) + "-gpu", true, 3, c.scale, project);
  const Shot cpu = run(std::string(c.name) + "-cpu", false, 3, c.scale, project);
  expect_presented_by(gpu, "metal-gpu");
  expect_presented_by(cpu, "appkit");
  ASSERT_EQ(gpu.picture.w, c.width);
  ASSERT_EQ(gpu.png.width, cpu.png.width);
  ASSERT_EQ(gpu.png.height, cpu.png.height);
  const Difference d = compare(gpu, cpu);
  EXPECT_GT(d.compared, static_cast<size_t>(c.width) * c.width * 9 / 32) << "most of the picture is compared";
  EXPECT_LE(d.largest, 1) << "psnr " << d.psnr;
  // The checkerboard shows where the composition is transparent, and its
  // squares line up in both pictures (else the greys would differ above).
  if (c.transparent) {
    EXPECT_GT(d.grey_pixels, d.compared / 10);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MetalPictureAtSize,
                         ::testing::Values(FullSize{"halved_960", 1.0, 960, false},
                                           FullSize{"native_1920", 2.0, 1920, false},
                                           FullSize{"transparent_960", 1.0, 960, true}),
                         [](const ::testing::TestParamInfo<FullSize>& info) { return std::string(info.param.name); });

// Magnified, the GPU path sharpens in the shader and the CPU path with its
// own 3 × 3 kernel before the window server scales it: close, not equal.
TEST_F(MetalPicture, MagnifiedPictureIsCloseToTheCpuPath) {
  const Shot gpu = run("magnified-gpu", true, 2, 2.0, sample());
  const Shot cpu = run("magnified-cpu", false, 2, 2.0, sample());
  expect_presented_by(gpu, "metal-gpu");
  const Difference d = compare(gpu, cpu);
  std::printf("magnified 1/2 res in 1920 x 1080: PSNR %.2f dB, largest difference %d\n", d.psnr, d.largest);
  EXPECT_GE(d.psnr, 40.0);
}

}  // namespace
}  // namespace vel
