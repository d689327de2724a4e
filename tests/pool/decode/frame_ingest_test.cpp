#include "pool/decode/frame_ingest.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <fstream>

#include "core/log.h"
#include "pool/decode/image_bytes.h"
#include "support/scratch_dir.h"
#include "tga_writer.h"
#include "pool/decode/file_bytes.h"

namespace vel {
namespace {

using testing::write_file;
using testing::Bytes;
using testing::ScratchDir;

// A PNG of `channels` samples of `depth` bits, each sample `value` (alpha
// channels `alpha`).
void write_png(const std::filesystem::path& p, int w, int h, int channels, int depth, int value, int alpha) {
  FILE* f = std::fopen(p.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  const int type = channels == 4 ? PNG_COLOR_TYPE_RGBA : channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
  png_set_IHDR(png, info, w, h, depth, type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const int bytes = depth / 8;
  std::vector<uint8_t> row(static_cast<size_t>(w * channels * bytes));
  for (int x = 0; x < w * channels; ++x) {
    const int v = (channels == 4 && x % 4 == 3) ? alpha : value;
    for (int k = 0; k < bytes; ++k) row[static_cast<size_t>(x * bytes + k)] = static_cast<uint8_t>(v);
  }
  for (int y = 0; y < h; ++y) png_write_row(png, row.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

class FrameIngest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(open_log_file_at(dir_.path() / "velocinta.log", LogRole::Host));
  }
  void TearDown() override { close_log_file(); }
  std::string log() { return testing::read_text(dir_.path() / "velocinta.log"); }
  ScratchDir dir_{"vel-ingest"};
};

TEST_F(FrameIngest, MissingFileIsUnreadable) {
  const DecodedOutput out = ingest_frame_file(dir_.path() / "w0" / "f_00001.tga", 1.0, 1, true);
  EXPECT_EQ(out.outcome, FileDecodeOutcome::ReadFailed);
  EXPECT_FALSE(out.frame);
  EXPECT_EQ(out.file_bytes, 0u);
  EXPECT_EQ(out.decode_ms, 0.0);
  write_file(dir_.path() / "empty.psd", {});
  EXPECT_EQ(ingest_frame_file(dir_.path() / "empty.psd", 1.0, 1, true).outcome, FileDecodeOutcome::ReadFailed);
}

TEST_F(FrameIngest, UpperCaseTgaIsTargaAndABrokenOneIsNotTriedElsewhere) {
  sim::FrameImage image{4, 2, std::vector<uint8_t>(32, 0)};
  for (size_t i = 0; i < 8; ++i) image.rgba[i * 4 + 0] = 40, image.rgba[i * 4 + 3] = 80;
  const Bytes tga = sim::encode_tga(image, {});
  write_file(dir_.path() / "f_00012.TGA", tga);
  const DecodedOutput out = ingest_frame_file(dir_.path() / "f_00012.TGA", 0.5, 1, true);
  ASSERT_EQ(out.outcome, FileDecodeOutcome::Decoded);
  EXPECT_EQ(out.file_bytes, tga.size());
  EXPECT_EQ(out.frame->width, 4u);
  EXPECT_EQ(out.frame->time, 0.5);
  EXPECT_EQ(out.frame->pixels.bytes()[0], 40);
  EXPECT_EQ(out.frame->pixels.bytes()[3], 80);

  // A PNG under a .tga name: the Targa reader refuses it and nothing else is tried.
  write_png(dir_.path() / "f_00013.tga", 2, 2, 3, 8, 9, 0);
  EXPECT_EQ(ingest_frame_file(dir_.path() / "f_00013.tga", 0.5, 1, true).outcome, FileDecodeOutcome::DecodeFailed);
  EXPECT_EQ(log(), "");
}

TEST_F(FrameIngest, OtherFilesFallBackToTheBitmapDecoderPremultiplied) {
  write_png(dir_.path() / "f_00001.png", 100, 75, 4, 8, 200, 128);
  for (bool sample_while_decoding : {true, false}) {
    const DecodedOutput out = ingest_frame_file(dir_.path() / "f_00001.png", 2.0, 2, sample_while_decoding);
    ASSERT_EQ(out.outcome, FileDecodeOutcome::Decoded);
    EXPECT_EQ(out.frame->width, 50u);
    EXPECT_EQ(out.frame->height, 37u);
    EXPECT_EQ(out.frame->pixels.size(), 50u * 37 * 4);
    EXPECT_EQ(out.frame->pixels.bytes()[0], 100) << "straight 200 under alpha 128";
    EXPECT_EQ(out.frame->pixels.bytes()[3], 128);
  }
  write_png(dir_.path() / "rgb.png", 3, 3, 3, 8, 7, 0);
  const DecodedOutput rgb = ingest_frame_file(dir_.path() / "rgb.png", 0.0, 4, true);
  ASSERT_EQ(rgb.outcome, FileDecodeOutcome::Decoded);
  EXPECT_EQ(rgb.frame->width, 1u);
  EXPECT_EQ(rgb.frame->height, 1u);
  EXPECT_EQ((std::vector<uint8_t>(rgb.frame->pixels.bytes().begin(), rgb.frame->pixels.bytes().end())),
            (std::vector<uint8_t>{7, 7, 7, 255}));
  EXPECT_EQ(log(), "");
}

TEST_F(FrameIngest, UnsupportedBitmapLayoutsAreLoggedAndUndecoded) {
  write_png(dir_.path() / "deep.png", 2, 2, 4, 16, 1, 1);
  EXPECT_EQ(ingest_frame_file(dir_.path() / "deep.png", 0.0, 1, true).outcome, FileDecodeOutcome::DecodeFailed);
  write_png(dir_.path() / "grey.png", 2, 2, 1, 8, 1, 1);
  EXPECT_EQ(ingest_frame_file(dir_.path() / "grey.png", 0.0, 1, true).outcome, FileDecodeOutcome::DecodeFailed);
  const std::string text = log();
  EXPECT_NE(text.find("ERROR: pool ingest: format non géré (2x2, 4 samples, 16 bits, planar=false) : " +
                      (dir_.path() / "deep.png").string() + "\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("(2x2, 1 samples, 8 bits, planar=false)"), std::string::npos) << text;
}

TEST_F(FrameIngest, FourChannelPhotoshopFileIsPremultipliedAtEveryStep) {
  Bytes psd = testing::psd_header({.channels = 4, .width = 2});
  psd.insert(psd.end(), {200, 200, 100, 100, 50, 50, 128, 128});
  write_file(dir_.path() / "f_00002.psd", psd);
  for (bool sample_while_decoding : {true, false}) {
    for (uint64_t step : {1u, 2u}) {
      const DecodedOutput out = ingest_frame_file(dir_.path() / "f_00002.psd", 0.0, step, sample_while_decoding);
      ASSERT_EQ(out.outcome, FileDecodeOutcome::Decoded);
      EXPECT_EQ(out.frame->width, 2u / step);
      EXPECT_EQ(out.frame->pixels.bytes()[0], 100);
      EXPECT_EQ(out.frame->pixels.bytes()[2], 25);
    }
  }
}

TEST_F(FrameIngest, APhotoshopFileCutShortIsNotGuessedByTheBitmapDecoder) {
  Bytes psd = testing::psd_header({.channels = 4, .width = 8, .height = 8});
  psd.resize(psd.size() + 4 * 64, 90);
  write_file(dir_.path() / "whole.psd", psd);
  EXPECT_EQ(ingest_frame_file(dir_.path() / "whole.psd", 0.0, 1, true).outcome, FileDecodeOutcome::Decoded);
  psd.resize(psd.size() - 100);
  write_file(dir_.path() / "cut.psd", psd);
  for (bool sample_while_decoding : {true, false}) {
    EXPECT_EQ(ingest_frame_file(dir_.path() / "cut.psd", 0.0, 1, sample_while_decoding).outcome,
              FileDecodeOutcome::DecodeFailed);
  }
}

TEST(SampleToRgba, RefusesLayoutsOutsideItsBytes) {
  const std::vector<uint8_t> bytes(2 * 8 + 6, 1);  // two rows of 8 bytes, the last one 6
  EXPECT_TRUE(sample_to_rgba(bytes, 2, 3, 8, 3, 1, 0.0, false));
  EXPECT_FALSE(sample_to_rgba(bytes, 2, 3, 8, 4, 1, 0.0, false)) << "last pixel past the end";
  EXPECT_FALSE(sample_to_rgba(bytes, 2, 3, 5, 3, 1, 0.0, false)) << "rows shorter than their pixels";
  EXPECT_FALSE(sample_to_rgba(bytes, 2, 3, 8, 2, 1, 0.0, false)) << "2 bytes a pixel";
  EXPECT_FALSE(sample_to_rgba(bytes, 2, 3, 8, 3, 0, 0.0, false)) << "step 0";
  EXPECT_FALSE(sample_to_rgba(bytes, 0, 3, 8, 3, 1, 0.0, false)) << "no width";
  EXPECT_FALSE(sample_to_rgba(bytes, 2, UINT64_MAX / 4, 8, 3, 1, 0.0, false)) << "overflowing height";
}

TEST(WorkerDirName, OnlyWFollowedByADecimalNumber) {
  struct Case {
    const char* path;
    std::optional<uint64_t> worker;
  };
  for (const Case& c : std::vector<Case>{{"/job/w3/f_00001.psd", 3},
                                         {"/job/w12/f_00001.psd", 12},
                                         {"/job/w+12/f_00001.psd", 12},
                                         {"/job/w0/f.psd", 0},
                                         {"/job/w18446744073709551615/f.psd", UINT64_MAX},
                                         {"/job/w18446744073709551616/f.psd", std::nullopt},
                                         {"/job/w/f.psd", std::nullopt},
                                         {"/job/w+/f.psd", std::nullopt},
                                         {"/job/w-1/f.psd", std::nullopt},
                                         {"/job/w12a/f.psd", std::nullopt},
                                         {"/job/W12/f.psd", std::nullopt},
                                         {"/job/worker3/f.psd", std::nullopt},
                                         {"f.psd", std::nullopt}}) {
    EXPECT_EQ(parse_worker_dir_name(c.path), c.worker) << c.path;
  }
}

}  // namespace
}  // namespace vel
