// The stand-in aerender's Targa and Photoshop writers against the pool's
// readers: two independent implementations of the same files must agree on
// every pixel, premultiplied, within one step of 8-bit rounding.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "aerender_command.h"
#include "aerender_faults.h"
#include "pool/decode/packbits.h"
#include "pool/decode/psd_decoder.h"
#include "pool/decode/tga_decoder.h"
#include "psd_writer.h"
#include "tga_writer.h"

namespace vel {
namespace {

// Premultiplied pixels, with the edge cases of alpha 0 and 255 well represented.
sim::FrameImage random_premultiplied(int w, int h, uint32_t seed) {
  std::mt19937 rng(seed);
  sim::FrameImage image{w, h, {}};
  for (int i = 0; i < w * h; ++i) {
    const int pick = static_cast<int>(rng() % 4);
    const uint8_t a = pick == 0 ? 0 : pick == 1 ? 255 : static_cast<uint8_t>(rng());
    for (int c = 0; c < 3; ++c) image.rgba.push_back(static_cast<uint8_t>(rng() % (a + 1u)));
    image.rgba.push_back(a);
    // Runs for the packers.
    if (rng() % 3 == 0 && i + 1 < w * h) {
      image.rgba.insert(image.rgba.end(), image.rgba.end() - 4, image.rgba.end());
      ++i;
    }
  }
  return image;
}

void expect_within_one(const sim::FrameImage& want, const DecodedImage& got, const char* what) {
  ASSERT_EQ(got.width, static_cast<uint64_t>(want.width)) << what;
  ASSERT_EQ(got.height, static_cast<uint64_t>(want.height)) << what;
  ASSERT_EQ(got.pixels.size(), want.rgba.size()) << what;
  for (size_t i = 0; i < want.rgba.size(); ++i) {
    ASSERT_LE(std::abs(int(got.pixels[i]) - int(want.rgba[i])), 1) << what << " byte " << i;
  }
}

TEST(FrameWritersCrossCheck, TargaRawAndRunLength) {
  const sim::FrameImage image = random_premultiplied(37, 23, 3);
  for (bool run_length : {false, true}) {
    for (bool footer : {false, true}) {
      const std::optional<DecodedImage> got =
          decode_tga(sim::encode_tga(image, {.run_length = run_length, .with_footer = footer}), 1);
      ASSERT_TRUE(got) << run_length << footer;
      expect_within_one(image, *got, run_length ? "rle" : "raw");
    }
  }
}

TEST(FrameWritersCrossCheck, PhotoshopRawAndPackBitsAtBothDepths) {
  const sim::FrameImage image = random_premultiplied(41, 19, 5);
  for (bool packbits : {false, true}) {
    for (int depth : {8, 16}) {
      const std::vector<uint8_t> file = sim::encode_psd(image, {.packbits = packbits, .depth = depth});
      const std::optional<DecodedImage> full = decode_psd(file);
      const std::optional<DecodedImage> sampled = decode_psd_sampled(file, 1);
      ASSERT_TRUE(full && sampled) << packbits << depth;
      expect_within_one(image, *full, "full");
      expect_within_one(image, *sampled, "sampled");
    }
  }
}

TEST(FrameWritersCrossCheck, PhotoshopWithoutAlphaIsOpaqueAndMattedOnBlack) {
  const sim::FrameImage image = random_premultiplied(23, 7, 8);
  for (bool packbits : {false, true}) {
    const std::vector<uint8_t> file = sim::encode_psd(image, {.packbits = packbits, .alpha_channel = false});
    const std::optional<DecodedImage> got = decode_psd_sampled(file, 1);
    ASSERT_TRUE(got);
    for (size_t i = 0; i < image.rgba.size(); ++i) {
      ASSERT_EQ(got->pixels[i], i % 4 == 3 ? 255 : image.rgba[i]) << packbits << " byte " << i;
    }
  }
}

TEST(FrameWritersCrossCheck, PackBitsRowsOfTheWriterUnpackExactly) {
  std::mt19937 rng(9);
  for (size_t len : {1u, 2u, 3u, 127u, 128u, 129u, 300u, 1000u}) {
    std::vector<uint8_t> row(len);
    for (size_t i = 0; i < len; ++i) row[i] = static_cast<uint8_t>(rng() % 3 == 0 ? 7 : rng());
    if (len >= 200) std::fill(row.begin() + 10, row.begin() + 150, 42);  // a run longer than 128
    std::vector<uint8_t> packed, out(len);
    sim::pack_bits_row(row.data(), len, packed);
    ASSERT_TRUE(unpack_bits_row(packed, len, out.data())) << len;
    EXPECT_EQ(out, row) << len;
  }
}

TEST(AerenderCommand, TheCommandLineOfTheRenderPool) {
  const std::vector<std::string> full = {"-project", "/p/snapshot.aep", "-comp", "Main", "-s", "12", "-e", "20",
                                         "-OMtemplate", "Photoshop", "-mfr", "ON", "40", "-output",
                                         "/j/w0/f_[#####].psd", "-continueOnMissingFootage", "-RStemplate",
                                         "velocinta-quarter-v6"};
  sim::Result<sim::AerenderCommand> cmd = sim::parse_aerender_command(full);
  ASSERT_TRUE(cmd) << cmd.error();
  EXPECT_EQ(cmd.value().comp, "Main");
  EXPECT_EQ(cmd.value().first_frame, 12);
  EXPECT_EQ(cmd.value().last_frame, 20);
  EXPECT_EQ(cmd.value().mfr_percent, 40u);
  EXPECT_TRUE(cmd.value().continue_on_missing_footage);
  EXPECT_EQ(cmd.value().render_settings_template, "velocinta-quarter-v6");

  struct Bad {
    const char* why;
    std::vector<std::string> args;
  };
  for (const Bad& b : std::vector<Bad>{
           {"no project", {"-comp", "Main", "-s", "0", "-e", "0", "-OMtemplate", "Photoshop", "-output", "f_[#].psd"}},
           {"end before start", {"-project", "p", "-comp", "M", "-s", "5", "-e", "4", "-OMtemplate", "Photoshop",
                                 "-output", "f_[#].psd"}},
           {"negative frame", {"-project", "p", "-comp", "M", "-s", "-1", "-e", "4", "-OMtemplate", "Photoshop",
                               "-output", "f_[#].psd"}},
           {"mfr without percentage", {"-project", "p", "-comp", "M", "-s", "0", "-e", "0", "-OMtemplate", "Photoshop",
                                       "-output", "f_[#].psd", "-mfr", "ON"}},
           {"unknown argument", {"-project", "p", "-comp", "M", "-s", "0", "-e", "0", "-OMtemplate", "Photoshop",
                                 "-output", "f_[#].psd", "-sound", "ON"}},
           {"missing value", {"-project"}},
       }) {
    EXPECT_FALSE(sim::parse_aerender_command(b.args)) << b.why;
  }
  EXPECT_EQ(sim::frame_file_path("/j/w0/f_[#####].tga", 12), "/j/w0/f_00012.tga");
  EXPECT_EQ(sim::frame_file_path("/j/w0/f_[##].tga", 123), "/j/w0/f_123.tga");
  EXPECT_EQ(sim::frame_file_path("/j/w0/f.tga", 1), std::nullopt);
  EXPECT_EQ(sim::render_settings_downsample("velocinta-half-v6"), 2);
  EXPECT_EQ(sim::output_template_format("velocinta-tga-v1"), sim::FrameFileFormat::Tga);
  EXPECT_EQ(sim::output_template_format("velocinta-memory-v1"), std::nullopt);
}

TEST(AerenderFaults, ReadFromTheEnvironment) {
  const std::map<std::string, std::string> env = {{"SIM_AERENDER_SKIP", "3,5"}, {"SIM_AERENDER_CRASH_AFTER", "2"},
                                                  {"SIM_AERENDER_TGA", "rle"}, {"SIM_AERENDER_PSD_DEPTH", "16"}};
  auto lookup = [&env](const char* name) -> std::optional<std::string> {
    auto it = env.find(name);
    return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
  };
  sim::Result<sim::AerenderFaults> f = sim::read_aerender_faults(lookup);
  ASSERT_TRUE(f);
  EXPECT_EQ(f.value().skip, (std::set<int64_t>{3, 5}));
  EXPECT_EQ(f.value().crash_after, 2u);
  EXPECT_TRUE(f.value().tga_run_length);
  EXPECT_EQ(f.value().psd_depth, 16);
  auto bad = [](const char* name) -> std::optional<std::string> {
    return std::string(name) == "SIM_AERENDER_SKIP" ? std::optional<std::string>("3,,x") : std::nullopt;
  };
  EXPECT_FALSE(sim::read_aerender_faults(bad));
}

}  // namespace
}  // namespace vel
