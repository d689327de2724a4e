// Frames of another size than the batch asked for (the composition's at the
// batch's file downsample), on every road a worker's frame comes in by: a
// Targa or Photoshop file (or any file the system decoder reads), and the
// shared-memory slot. Larger, smaller and of another aspect, at file
// downsamples 1, 2 and 4: each is refused where it is taken in, and one of
// the asked size still comes through.
#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "memout/output_consumer.h"
#include "memout/output_writer.h"
#include "pool/decode/decode_workers.h"
#include "pool/decode/frame_ingest.h"
#include "pool/decode/requested_size.h"
#include "psd_writer.h"
#include "support/scratch_dir.h"
#include "tga_writer.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

constexpr FrameDimensions kComp{64, 36};

// Sizes a worker may hand over for a request of `asked`.
struct SizeCase {
  const char* what;
  FrameDimensions (*of)(FrameDimensions asked);
  bool foreign;
};
const SizeCase kSizes[] = {
    {"asked", [](FrameDimensions a) { return a; }, false},
    {"larger", [](FrameDimensions a) { return FrameDimensions{a.width * 2, a.height * 2}; }, true},
    {"smaller", [](FrameDimensions a) { return FrameDimensions{(a.width + 1) / 2, (a.height + 1) / 2}; }, true},
    {"other aspect", [](FrameDimensions a) { return FrameDimensions{a.width, a.width * 3 / 4}; }, true},
    {"one row more", [](FrameDimensions a) { return FrameDimensions{a.width, a.height + 1}; }, true},
};
constexpr uint64_t kDownsamples[] = {1, 2, 4};

sim::FrameImage image_of(FrameDimensions d) {
  sim::FrameImage img{static_cast<int32_t>(d.width), static_cast<int32_t>(d.height), {}};
  img.rgba.assign(size_t{d.width} * d.height * 4, 0);
  for (size_t i = 0; i < img.rgba.size(); i += 4) {
    img.rgba[i] = static_cast<uint8_t>(i / 4), img.rgba[i + 1] = 80, img.rgba[i + 2] = 160, img.rgba[i + 3] = 255;
  }
  return img;
}

void write_bytes(const fs::path& p, const std::vector<uint8_t>& b) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

void write_png(const fs::path& p, FrameDimensions d) {
  FILE* f = std::fopen(p.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, d.width, d.height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<uint8_t> row(size_t{d.width} * 4, 200);
  for (uint32_t y = 0; y < d.height; ++y) png_write_row(png, row.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

// The file roads: what a worker writes, and how the ingest is asked.
struct FileRoad {
  const char* what;
  const char* extension;
  void (*write)(const fs::path&, FrameDimensions);
  bool sample_while_decoding;
};
const FileRoad kFileRoads[] = {
    {"targa", "tga", [](const fs::path& p, FrameDimensions d) { write_bytes(p, sim::encode_tga(image_of(d), {})); },
     true},
    {"targa rle", "tga",
     [](const fs::path& p, FrameDimensions d) { write_bytes(p, sim::encode_tga(image_of(d), {.run_length = true})); },
     true},
    {"photoshop", "psd", [](const fs::path& p, FrameDimensions d) { write_bytes(p, sim::encode_psd(image_of(d), {})); },
     true},
    {"photoshop decoded whole", "psd",
     [](const fs::path& p, FrameDimensions d) { write_bytes(p, sim::encode_psd(image_of(d), {})); }, false},
    {"photoshop raw 16-bit", "psd",
     [](const fs::path& p, FrameDimensions d) {
       write_bytes(p, sim::encode_psd(image_of(d), {.packbits = false, .depth = 16}));
     },
     true},
    {"system decoder", "png", [](const fs::path& p, FrameDimensions d) { write_png(p, d); }, true},
};

class ForeignSize : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  testing::ScratchDir dir_{"vel-foreign-size"};
};

TEST(RequestedFrameSize, IsTheCompositionsAtTheFileDownsampleRoundedUp) {
  EXPECT_EQ(requested_frame_size(FrameDimensions{1920, 1080}, 1), (FrameDimensions{1920, 1080}));
  EXPECT_EQ(requested_frame_size(FrameDimensions{1920, 1080}, 4), (FrameDimensions{480, 270}));
  EXPECT_EQ(requested_frame_size(FrameDimensions{1001, 563}, 2), (FrameDimensions{501, 282}));
  EXPECT_EQ(requested_frame_size(FrameDimensions{1001, 563}, 0), (FrameDimensions{1001, 563}));
  EXPECT_EQ(requested_frame_size(std::nullopt, 2), std::nullopt);
  EXPECT_EQ(requested_frame_size(FrameDimensions{0, 563}, 2), std::nullopt);
}

TEST_F(ForeignSize, AFrameFileOfAnotherSizeIsRefusedBeforeItIsDecoded) {
  int n = 0;
  for (const FileRoad& road : kFileRoads) {
    for (uint64_t ds : kDownsamples) {
      const std::optional<FrameDimensions> asked = requested_frame_size(kComp, ds);
      ASSERT_TRUE(asked);
      for (const SizeCase& size : kSizes) {
        const FrameDimensions made = size.of(*asked);
        const std::string what = std::string(road.what) + ", downsample " + std::to_string(ds) + ", " + size.what +
                                 " (" + std::to_string(made.width) + "x" + std::to_string(made.height) + ")";
        const fs::path file = dir_.path() / ("f_" + std::to_string(n++) + "." + road.extension);
        road.write(file, made);
        const DecodedOutput out = ingest_frame_file(file, 0.5, 1, road.sample_while_decoding, asked);
        if (size.foreign) {
          EXPECT_EQ(out.outcome, FileDecodeOutcome::ForeignSize) << what;
          EXPECT_FALSE(out.frame) << what;
          EXPECT_EQ(out.foreign_size, made) << what;
        } else {
          ASSERT_EQ(out.outcome, FileDecodeOutcome::Decoded) << what;
          ASSERT_TRUE(out.frame) << what;
          EXPECT_EQ(out.frame->width, asked->width) << what;
          EXPECT_EQ(out.frame->height, asked->height) << what;
          EXPECT_FALSE(out.foreign_size) << what;
        }
      }
    }
  }
}

// The step that reduces a frame for the preview applies after the check: a
// frame of the asked size still comes through reduced, and one of another
// size is refused whatever the step would have made of it.
TEST_F(ForeignSize, TheCheckIsOnTheSizeTheWorkerWroteNotTheReducedOne) {
  const FrameDimensions asked{64, 36};
  write_bytes(dir_.path() / "asked.tga", sim::encode_tga(image_of(asked), {}));
  write_bytes(dir_.path() / "double.tga", sim::encode_tga(image_of({128, 72}), {}));
  const DecodedOutput reduced = ingest_frame_file(dir_.path() / "asked.tga", 0.0, 2, true, asked);
  ASSERT_TRUE(reduced.frame);
  EXPECT_EQ(reduced.frame->width, 32u);
  // Reduced by 2 it would be 64 × 36, the asked size: still another picture.
  EXPECT_EQ(ingest_frame_file(dir_.path() / "double.tga", 0.0, 2, true, asked).outcome, FileDecodeOutcome::ForeignSize);
}

// A decoder hands the refusal on with the size it found, no pixels, and
// deletes the file: it never becomes a frame of this batch, so no later job
// reads it again.
TEST_F(ForeignSize, TheDecoderHandsTheRefusalOnAndDeletesTheFile) {
  const fs::path job_dir = dir_.path() / "job_0";
  fs::create_directories(job_dir / "w0");
  write_bytes(job_dir / "w0" / "f_00003.psd", sim::encode_psd(image_of({64, 48}), {}));
  auto [frame_tx, frame_rx] = make_bounded_channel<PoolFrameDelivery>(4);
  auto [job_tx, job_rx] = make_bounded_channel<DecodeJob>(4);
  DecodeWorkerContext context;
  context.frames = frame_tx;
  context.batch_start = std::chrono::steady_clock::now();
  context.stop = std::make_shared<std::atomic<bool>>(false);
  context.jobs = job_rx;
  context.ingest = [](const DecodeJob& job) {
    return ingest_frame_file(job.path, job.time_s, job.decimation_factor, true, job.requested_size);
  };
  ASSERT_EQ(job_tx.send(DecodeJob{job_dir / "w0" / "f_00003.psd", 3, 0.125, 1, FrameDimensions{64, 36}}),
            SendOutcome::Sent);
  job_tx = {};
  decode_worker_loop(std::move(context));
  std::optional<PoolFrameDelivery> d;
  ASSERT_EQ(frame_rx.try_recv(d), TryRecv::Value);
  EXPECT_EQ(d->frame, 3);
  EXPECT_FALSE(d->pixels);
  EXPECT_EQ(d->foreign_size, (FrameDimensions{64, 48}));
  ASSERT_TRUE(d->file);
  EXPECT_EQ(d->file->outcome, FileDecodeOutcome::ForeignSize);
  EXPECT_FALSE(fs::exists(job_dir / "w0" / "f_00003.psd"));
}

// The memory road: the output's contract holds the asked size, so the
// producer cannot publish a frame of another one and the consumer takes
// nothing; one of the asked size crosses.
TEST_F(ForeignSize, TheMemoryRoadsContractRefusesAnotherSize) {
  for (uint64_t ds : kDownsamples) {
    const FrameDimensions asked = *requested_frame_size(kComp, ds);
    for (const SizeCase& size : kSizes) {
      const FrameDimensions made = size.of(asked);
      const std::string what = "downsample " + std::to_string(ds) + ", " + size.what;
      const std::string output = (dir_.path() / ("out_" + std::to_string(ds) + "_" + size.what + ".vnm")).string();
      OutputRequest req;
      req.range_start = 0;
      req.range_end = 0;
      req.step = 1;
      req.key_scale = 24;
      req.width = asked.width;
      req.height = asked.height;
      auto consumer = create_memory_output(output, req);
      ASSERT_TRUE(consumer) << consumer.error().message;
      auto writer = read_output_manifest(output);
      ASSERT_TRUE(writer) << writer.error().message;
      std::vector<uint8_t> pixels;
      // The host's first look at the empty slot lets the first frame go.
      ASSERT_TRUE(receive_output_frame(*consumer, pixels));
      std::vector<uint8_t> argb(size_t{made.width} * made.height * 4, 0xFF);
      const ArgbFrame frame{argb.data(), argb.size(), uint64_t{made.width} * 4, made.width, made.height};
      auto wrote = write_frame_to_slot(*writer, 0, frame, true);
      auto got = receive_output_frame(*consumer, pixels);
      ASSERT_TRUE(got) << what << ": " << got.error().message;
      if (size.foreign) {
        ASSERT_FALSE(wrote) << what;
        EXPECT_EQ(wrote.error().message, "frame does not belong to this output contract") << what;
        EXPECT_FALSE(got->has_value()) << what;
      } else {
        ASSERT_TRUE(wrote) << what << ": " << wrote.error().message;
        ASSERT_TRUE(got->has_value()) << what;
        EXPECT_EQ((*got)->width, asked.width) << what;
        EXPECT_EQ(pixels.size(), size_t{asked.width} * asked.height * 4) << what;
      }
    }
  }
}

}  // namespace
}  // namespace vel
