#include "memout/active_outputs.h"

#include <gtest/gtest.h>

#include "core/log.h"
#include "memout/output_consumer.h"
#include "memout_test_support.h"

namespace vel {
namespace {

using testing::make_argb;

constexpr int64_t kStart = 10;
constexpr int64_t kEnd = 13;
// 30000 / 1001 in 16.16.
constexpr uint64_t kFps = (30000ull << 16) / 1001;

HostOutputFacts matching_facts() {
  HostOutputFacts f;
  f.depth = 32;
  f.width = 8;
  f.height = 4;
  f.start_frame = kStart;
  f.fps_fixed = kFps;
  f.alpha_version = 0x0101;
  return f;
}

class ActiveOutputsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    set_memory_module_facts({true, std::chrono::steady_clock::now()});
  }
  void TearDown() override {
    for (const int* s : {&spec_, &other_}) (void)flush_memory_output(s);
  }
  // The host's side of the output, as the pool prepares it.
  void prepare(const std::string& name = "output.vnm") {
    OutputRequest req;
    req.range_start = kStart;
    req.range_end = kEnd;
    req.step = 1001;
    req.key_scale = 30000;
    req.width = 8;
    req.height = 4;
    auto made = create_memory_output(dir_.file(name), req);
    ASSERT_TRUE(made) << made.error().message;
    consumers_.push_back(std::move(*made));
  }
  Status<> open_with(const HostOutputFacts& facts, const void* spec = nullptr) {
    Status<> opened = open_memory_output(spec ? spec : &spec_, dir_.file("output.vnm"),
                                         [facts]() -> Result<HostOutputFacts> { return facts; });
    // The host's first look at the empty slot lets the first frame go.
    if (opened && !consumers_.empty()) drain();
    return opened;
  }
  Status<> add(int64_t ordinal, HostFrameCall call = {}) {
    call.ordinal = ordinal;
    HostFrameWorld world{img_.width, img_.height, static_cast<int64_t>(img_.row_bytes), img_.bytes.data(), 0, 0};
    return add_output_frame(&spec_, call, &world, {}, {});
  }
  // Frames are taken by the test as the reader would.
  void drain() {
    auto got = receive_output_frame(consumers_.front(), pixels_);
    ASSERT_TRUE(got) << got.error().message;
  }

  testing::ScratchDir dir_;
  std::vector<MemoryOutputConsumer> consumers_;
  std::vector<uint8_t> pixels_;
  testing::ArgbImage img_ = make_argb(8, 4, 16, 5);
  int spec_ = 0;
  int other_ = 0;
};

TEST_F(ActiveOutputsTest, AWholeRangeMarksTheSegmentFinished) {
  prepare();
  ASSERT_TRUE(open_with(matching_facts()));
  for (int64_t i = 0; i <= kEnd - kStart; ++i) {
    ASSERT_TRUE(add(i));
    drain();
  }
  ASSERT_TRUE(finish_memory_output(&spec_));
  EXPECT_EQ(output_completion(consumers_.front()), OutputCompletion::Complete);
  EXPECT_EQ(active_output_count(), 0u);
}

TEST_F(ActiveOutputsTest, OpenRefusals) {
  HostOutputFacts start = matching_facts();
  start.start_frame = kStart + 1;
  HostOutputFacts rate_one_off = matching_facts();
  rate_one_off.fps_fixed = kFps + 1;
  HostOutputFacts rate_two_off = matching_facts();
  rate_two_off.fps_fixed = kFps - 2;
  HostOutputFacts premultiplied = matching_facts();
  premultiplied.alpha = OutputAlpha::Premultiplied;
  HostOutputFacts flagged = matching_facts();
  flagged.alpha_flags = 1;
  HostOutputFacts version = matching_facts();
  version.alpha_version = 0x0100;
  HostOutputFacts deep = matching_facts();
  deep.depth = 64;
  HostOutputFacts negative = matching_facts();
  negative.width = -8;
  const struct {
    const char* name;
    HostOutputFacts facts;
    std::string want;  // empty: accepted
  } cases[] = {
      {"start", start, "output differs from manifest: depth=32 size=8x4 start=11, expected=8x4 start=10"},
      {"rate 1 off", rate_one_off, ""},
      {"rate 2 off", rate_two_off,
       "output frame rate differs from manifest: fixed=" + std::to_string(kFps - 2) +
           ", expected=" + std::to_string(kFps)},
      {"premultiplied", premultiplied, "output alpha must match verified Straight (Unmatted) template"},
      {"alpha flags", flagged, "output alpha must match verified Straight (Unmatted) template"},
      {"alpha version", version, "unsupported alpha label"},
      {"depth", deep, "output differs from manifest: depth=64 size=8x4 start=10, expected=8x4 start=10"},
      {"negative", negative, "output differs from manifest: depth=32 size=-8x4 start=10, expected=8x4 start=10"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    consumers_.clear();
    prepare();
    Status<> opened = open_with(c.facts);
    if (c.want.empty()) {
      EXPECT_TRUE(opened);
      EXPECT_TRUE(flush_memory_output(&spec_));
    } else {
      ASSERT_FALSE(opened);
      EXPECT_EQ(opened.error(), c.want);
      EXPECT_EQ(active_output_count(), 0u);
    }
  }
}

TEST_F(ActiveOutputsTest, NoManifestOrNoEngineRefusesTheOpen) {
  EXPECT_FALSE(open_with(matching_facts()));
  prepare();
  set_memory_module_facts({false, std::chrono::steady_clock::now()});
  auto refused = open_with(matching_facts());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "memory export requires an owned headless render engine");
}

TEST_F(ActiveOutputsTest, ASkippedOrdinalFailsThenFinishesIncomplete) {
  prepare();
  ASSERT_TRUE(open_with(matching_facts()));
  ASSERT_TRUE(add(0));
  drain();
  ASSERT_TRUE(add(1));
  drain();
  auto skipped = add(3);
  ASSERT_FALSE(skipped);
  EXPECT_EQ(skipped.error(), "nonsequential output ordinal 3; expected 2");
  EXPECT_TRUE(output_failure_raised());
  auto finished = finish_memory_output(&spec_);
  ASSERT_FALSE(finished);
  EXPECT_EQ(finished.error(), "memory output incomplete; consumer must use fallback");
  EXPECT_EQ(testing::header_word(consumers_.front().segment(), HeaderWord::Finished), 0u);
}

TEST_F(ActiveOutputsTest, FrameRefusals) {
  prepare();
  ASSERT_TRUE(open_with(matching_facts()));
  const char* const kShape = "unsupported frame world dimensions, origin, or stride";
  const char* const kCall = "unsupported repeated, compressed, or cropped frame";
  uint8_t px[4] = {};
  const struct {
    const char* name;
    HostFrameCall call;
    HostFrameWorld world;
    const char* want;
  } cases[] = {
      {"two frames", {0, 2, false, {}}, {8, 4, 32, px}, kCall},
      {"compressed", {0, 1, true, {}}, {8, 4, 32, px}, kCall},
      {"origin", {0, 1, false, std::pair<int64_t, int64_t>{1, 0}}, {8, 4, 32, px}, kCall},
      {"negative width", {}, {-1, 4, 32, px}, "negative width"},
      {"negative height", {}, {8, -1, 32, px}, "negative height"},
      {"negative stride", {}, {8, 4, -1, px}, "negative row stride"},
      {"too wide", {}, {30001, 1, 120004, px}, kShape},
      {"short rows", {}, {8, 4, 31, px}, kShape},
      {"null pixels", {}, {8, 4, 32, nullptr}, kShape},
      {"world origin", {}, {8, 4, 32, px, 0, 1}, kShape},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = add_output_frame(&spec_, c.call, &c.world, {}, {});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), c.want);
  }
  auto no_world = add_output_frame(&spec_, {}, nullptr, {}, {});
  EXPECT_EQ(no_world.error(), "null frame world");
  HostFrameWorld world{8, 4, 48, img_.bytes.data()};
  auto format = add_output_frame(&spec_, {}, &world, [] { return Status<>(err("unsupported output pixel format 3; require ARGB8")); }, {});
  EXPECT_EQ(format.error(), "unsupported output pixel format 3; require ARGB8");
  // Every refusal raised the process-wide flag: a later good frame fails too.
  auto after = add(0);
  ASSERT_FALSE(after);
  EXPECT_EQ(after.error(), "nonsequential output ordinal 0; expected 0");
}

TEST_F(ActiveOutputsTest, CancelFlushAndTheOutputLimit) {
  prepare();
  ASSERT_TRUE(open_with(matching_facts()));
  HostFrameWorld world{8, 4, 48, img_.bytes.data()};
  auto cancelled = add_output_frame(&spec_, {}, &world, {}, [] { return true; });
  ASSERT_FALSE(cancelled);
  EXPECT_EQ(cancelled.error(), "output cancelled");
  ASSERT_TRUE(flush_memory_output(&spec_));
  EXPECT_EQ(testing::header_word(consumers_.front().segment(), HeaderWord::Finished), 0u);

  // Sixteen open outputs (each its own segment); the seventeenth is refused.
  consumers_.clear();
  std::vector<int> specs(kMaxActiveOutputs + 1);
  for (size_t i = 0; i <= kMaxActiveOutputs; ++i) {
    const std::string name = "o" + std::to_string(i) + ".vnm";
    prepare(name);
    auto opened = open_memory_output(&specs[i], dir_.file(name),
                                     []() -> Result<HostOutputFacts> { return matching_facts(); });
    if (i < kMaxActiveOutputs) {
      ASSERT_TRUE(opened) << opened.error();
    } else {
      ASSERT_FALSE(opened);
      EXPECT_EQ(opened.error(), "output already active or output limit reached");
    }
  }
  for (int& s : specs) (void)flush_memory_output(&s);
  EXPECT_EQ(active_output_count(), 0u);
}

}  // namespace
}  // namespace vel
