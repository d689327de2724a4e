#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "panel/present/bitmap_present.h"
#include "panel/present/cpu_present_worker.h"
#include "panel/present/cpu_presentation.h"
#include "panel/present/present_bytes.h"
#include "panel/present/present_telemetry.h"
#include "panel/present/present_workers.h"
#include "platform/appkit_display_record.h"

namespace vel {
namespace {

RgbaFrame transparent_frame(uint32_t w, uint32_t h, double time) {
  return RgbaFrame{PixelPayload::adopt(std::vector<uint8_t>(static_cast<size_t>(w) * h * 4, 0)), time, w, h};
}

// Counts worker results; the test waits on the count, never on time.
struct ResultSignal {
  std::mutex mutex;
  std::condition_variable cv;
  uint64_t results = 0;
  std::function<void()> hook() {
    return [this] {
      std::lock_guard lock(mutex);
      ++results;
      cv.notify_all();
    };
  }
  void wait_for(uint64_t n) {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return results >= n; });
  }
};

TEST(Mailbox, KeepsOneJobAndDropsStaleResults) {
  const uint64_t bytes_at_start = present_pixel_bytes().load();
  {
    PresenterMailbox box;
    PresenterSubmission sub;
    const RgbaFrame a = transparent_frame(4, 4, 0.0), b = transparent_frame(4, 4, 0.04);
    EXPECT_TRUE(submit_to_presenter(box, sub, a, 8, 8));
    EXPECT_FALSE(submit_to_presenter(box, sub, a, 8, 8)) << "the same frame for the same view posts once";
    EXPECT_TRUE(submit_to_presenter(box, sub, b, 8, 8));
    ASSERT_TRUE(box.job);
    EXPECT_EQ(box.job->frame.time, 0.04) << "only the newest job waits";

    RgbaFrame bad = a;
    bad.width = 5;
    EXPECT_FALSE(submit_to_presenter(box, sub, bad, 8, 8)) << "pixels of the wrong length are never posted";

    PresenterJob job = *box.job;
    box.job.reset();
    std::vector<uint8_t> pixels(64, 7);
    const uint8_t* stale_buffer = pixels.data();
    clear_presenter_mailbox(box, sub);  // raises the generation under the worker
    {
      std::lock_guard lock(box.mutex);
      EXPECT_FALSE(store_prepared_result(box, PreparedFrame{job, std::move(pixels), 4, 4}));
      EXPECT_FALSE(box.retained);
      EXPECT_EQ(box.output.data(), stale_buffer) << "the stale result's buffer is reused";
    }
    EXPECT_TRUE(submit_to_presenter(box, sub, a, 8, 8));
    {
      std::lock_guard lock(box.mutex);
      PresenterJob fresh = *box.job;
      EXPECT_TRUE(store_prepared_result(box, PreparedFrame{fresh, std::vector<uint8_t>(64, 9), 4, 4}));
    }
    EXPECT_GT(present_pixel_bytes().load(), bytes_at_start);
    EXPECT_TRUE(submit_to_presenter(box, sub, a, 16, 16)) << "a new view size";
    EXPECT_FALSE(box.retained) << "a size change clears the mailbox first";
    auto taken = take_prepared_frame(box);
    EXPECT_FALSE(taken);
  }
  EXPECT_EQ(present_pixel_bytes().load(), bytes_at_start) << "every holder gone";
}

// Whether a frame handed over is posted, against what the panel knows: X's
// picture is up at 8 × 8, then `before` happened.
TEST(Mailbox, AFrameIsNothingNewOnlyOnScreenOrOnItsWay) {
  enum class Before { Nothing, NewRequest, ResizedForNewRequest, YOnItsWay, YDropped, YFailedToShow };
  struct Case {
    const char* what;
    Before before;
    bool hand_y;
    uint32_t size;
    bool posted;
  };
  const Case cases[] = {
      {"the frame on screen", Before::Nothing, false, 8, false},
      {"the frame on screen, resized", Before::Nothing, false, 16, true},
      {"the frame on screen, for a new request", Before::NewRequest, false, 8, true},
      {"the frame on screen, resized since a new request", Before::ResizedForNewRequest, false, 16, true},
      {"the frame on its way", Before::YOnItsWay, true, 8, false},
      {"the frame on screen over one on its way", Before::YOnItsWay, false, 8, true},
      {"a frame a stop dropped", Before::YDropped, true, 8, true},
      {"a frame whose picture failed", Before::YFailedToShow, true, 8, true},
  };
  const RgbaFrame x = transparent_frame(4, 4, 0.0), y = transparent_frame(4, 4, 0.04);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PresenterMailbox box;
    PresenterSubmission sub;
    begin_present_request(5, true, 0.0);
    ASSERT_TRUE(submit_to_presenter(box, sub, x, 8, 8));
    note_picture(sub, *box.job, true);
    if (c.before == Before::NewRequest || c.before == Before::ResizedForNewRequest) {
      begin_present_request(5, true, 0.0);
    }
    if (c.before == Before::ResizedForNewRequest) {
      ASSERT_TRUE(submit_to_presenter(box, sub, x, 16, 16));
      note_picture(sub, *box.job, true);
    }
    if (c.before >= Before::YOnItsWay) {
      ASSERT_TRUE(submit_to_presenter(box, sub, y, 8, 8));
    }
    if (c.before == Before::YDropped) clear_presenter_mailbox(box, sub);
    if (c.before == Before::YFailedToShow) note_picture(sub, *box.job, false);
    EXPECT_EQ(submit_to_presenter(box, sub, c.hand_y ? y : x, c.size, c.size), c.posted);
  }
}

TEST(BitmapPresent, AlternatesTwoBitmapsAndKeepsTheImageOnFailure) {
  auto view = platform::NSImageView::initWithFrame({0, 0, 4, 2});
  const uint64_t bytes_at_start = present_pixel_bytes().load();
  std::vector<uint8_t> px(4 * 2 * 4, 10);
  {
    BitmapPair pair;
    ASSERT_TRUE(present_bitmap_cpu(*view, px.data(), px.size(), 4, 2, true, &pair));
    ASSERT_TRUE(present_bitmap_cpu(*view, px.data(), px.size(), 4, 2, true, &pair));
    EXPECT_NE(pair.slots[0].bitmap, pair.slots[1].bitmap);
    auto first = pair.slots[0].bitmap;
    ASSERT_TRUE(present_bitmap_cpu(*view, px.data(), px.size(), 4, 2, true, &pair));
    EXPECT_EQ(pair.slots[0].bitmap, first) << "same size: reused";
    ASSERT_TRUE(present_bitmap_cpu(*view, px.data(), 2 * 2 * 4, 2, 2, false, &pair));
    EXPECT_NE(pair.slots[1].bitmap->pixelsWide(), 4) << "a size change allocates anew";
    EXPECT_EQ(present_pixel_bytes().load(), bytes_at_start + 4 * 2 * 4 + 2 * 2 * 4);

    auto shown = platform::shown_image(view->viewId());
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->images_set, 4u);
    EXPECT_EQ(shown->pixels_wide, 2);

    platform::fail_next_bitmap_creations(1);
    EXPECT_FALSE(present_bitmap_cpu(*view, px.data(), px.size(), 1, 1, false, &pair));
    platform::fail_next_bitmap_data(1);
    EXPECT_FALSE(present_bitmap_cpu(*view, px.data(), px.size(), 4, 2, false, &pair));
    EXPECT_EQ(platform::shown_image(view->viewId())->images_set, 4u) << "the view keeps its image";
    EXPECT_FALSE(present_bitmap_cpu(*view, px.data(), px.size() - 1, 4, 2, false, &pair));
    EXPECT_FALSE(present_bitmap_cpu(*view, px.data(), px.size(), 0, 2, false, &pair));
  }
  EXPECT_EQ(present_pixel_bytes().load(), bytes_at_start);
}

TEST(CpuPresentation, WorkerPreparesAndThePanelShows) {
  const uint64_t bytes_at_start = present_pixel_bytes().load();
  ResultSignal signal;
  auto view = platform::NSImageView::initWithFrame({0, 0, 8, 4});
  {
    CpuPresentation cpu(view, true, signal.hook());
    ASSERT_TRUE(cpu.has_worker());
    cpu.set_picture_px({8, 4});
    const PresentRequest request = begin_present_request(42, true, 0.5);
    await_present_request(request, 0.5);
    // 16 × 8 for an 8 × 4 picture: halved once, then flattened.
    ASSERT_TRUE(cpu.show_frame(transparent_frame(16, 8, 0.5)));
    signal.wait_for(1);
    ASSERT_TRUE(cpu.represent_retained_frame());
    auto shown = platform::shown_image(view->viewId());
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->pixels_wide, 8);
    EXPECT_EQ(shown->pixels_high, 4);
    // Cell (12 × 8 + 4) / 8 = 12: every pixel on the light grey.
    EXPECT_EQ(shown->pixels[0], 153);
    EXPECT_EQ(shown->pixels[3], 255);
    auto confirmed = take_awaited_presentation(request, 0.5);
    EXPECT_TRUE(confirmed) << "the presentation confirms the awaited request";
    EXPECT_FALSE(cpu.represent_retained_frame()) << "nothing new";

    // A resize posts the frame on screen again at the new size.
    cpu.set_picture_px({16, 8});
    bool shown_again = cpu.represent_retained_frame();  // posts; may already collect
    signal.wait_for(2);
    shown_again = cpu.represent_retained_frame() || shown_again;
    EXPECT_TRUE(shown_again);
    EXPECT_EQ(platform::shown_image(view->viewId())->pixels_wide, 16);
  }
  join_present_workers();
  EXPECT_EQ(present_pixel_bytes().load(), bytes_at_start);
}

TEST(CpuPresentation, MainThreadPathShowsAtOnce) {
  auto view = platform::NSImageView::initWithFrame({0, 0, 4, 4});
  CpuPresentation cpu(view, false);
  EXPECT_FALSE(cpu.has_worker());
  cpu.set_picture_px({4, 4});
  const PresentRequest request = begin_present_request(7, true, 1.0);
  ASSERT_TRUE(cpu.show_frame(transparent_frame(4, 4, 1.0)));
  EXPECT_TRUE(presented_for_request(request));
  EXPECT_EQ(platform::shown_image(view->viewId())->images_set, 1u);
  RgbaFrame bad = transparent_frame(4, 4, 1.0);
  bad.height = 5;
  EXPECT_FALSE(cpu.show_frame(bad));
}

TEST(CpuPresentation, WorkersAtTheLimitFallBackToTheMainThread) {
  std::vector<std::unique_ptr<CpuPresentation>> panels;
  for (size_t i = 0; i < kPresentWorkerLimit; ++i) {
    panels.push_back(std::make_unique<CpuPresentation>(platform::NSImageView::initWithFrame({}), true));
    ASSERT_TRUE(panels.back()->has_worker()) << i;
  }
  CpuPresentation extra(platform::NSImageView::initWithFrame({}), true);
  EXPECT_FALSE(extra.has_worker());
  panels.clear();
  join_present_workers();
  {
    CpuPresentation again(platform::NSImageView::initWithFrame({}), true);
    EXPECT_TRUE(again.has_worker());
  }
  join_present_workers();
}

}  // namespace
}  // namespace vel
