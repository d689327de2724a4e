#include "panel/scrub_view.h"

#include <gtest/gtest.h>

#include "panel/scrub_signals.h"

#include <vector>

namespace vel {
namespace {

using platform::NSEvent;
using platform::NSWindow;

// A scrub view of the given width at x 10 in a window, and the signals'
// values before the test acted.
struct Fixture {
  std::shared_ptr<NSWindow> window;
  std::shared_ptr<VelocintaScrubView> view;
  ScrubSignals& sig = scrub_signals();
  uint64_t ends0 = sig.scrub_ends.load();
  uint64_t position0 = sig.scrub_position.load();

  explicit Fixture(ScrubKind kind, double width = 200.0) {
    window = NSWindow::initWithContentRect({0, 0, 400, 300});
    view = VelocintaScrubView::create(kind);
    view->setFrame({10, 20, width, 50});
    window->contentView()->addSubview(view);
  }
  static NSEvent at(double view_x, bool shift = false) {
    NSEvent e;
    e.locationInWindow = {10 + view_x, 40};
    e.modifierFlags = shift ? platform::NSEventModifierFlagShift : 0;
    return e;
  }
  uint64_t posts() const { return sequence_of(sig.scrub_position.load()) - sequence_of(position0); }
  uint64_t ends() const { return sig.scrub_ends.load() - ends0; }
  uint64_t position() const { return position_of(sig.scrub_position.load()); }
};

TEST(ScrubSignalsTest, APostReplacesThePositionAndRaisesTheSequence) {
  std::atomic<uint64_t> word{(uint64_t{7} << kPositionSeqShift) | 999};
  post_position(word, 250);
  EXPECT_EQ(position_of(word.load()), 250u);
  EXPECT_EQ(sequence_of(word.load()), 8u);
  post_position(word, 5000);  // beyond the view: the far end
  EXPECT_EQ(position_of(word.load()), 1000u);
  EXPECT_EQ(sequence_of(word.load()), 9u);
}

// A strip click, a key, a drag and a play click made before the idle hook
// takes them come out in that order, each with its word as it left it; a
// drag's many posts are one entry, its last.
TEST(ScrubSignalsTest, TheQueueKeepsTheOrderOfTheRequestsAndFoldsARunOfOneKind) {
  Fixture f(ScrubKind::Strip, 1000.0);
  f.sig.workarea_marks.store(100 | (uint64_t{900} << 16));
  (void)take_panel_posts();
  f.view->mouseDown(Fixture::at(500));
  f.view->mouseUp(Fixture::at(500));
  const uint64_t clicked = f.sig.scrub_position.load();
  NSEvent o;
  o.charactersIgnoringModifiers = "o";
  f.view->keyDown(o);
  f.view->mouseDown(Fixture::at(898));  // the OUT mark
  for (double x : {800.0, 700.0, 600.0}) f.view->mouseDragged(Fixture::at(x));
  f.view->mouseUp(Fixture::at(600));
  post_play_toggle();
  const std::vector<PanelPost> expected = {{PanelPostKind::ScrubPosition, clicked},
                                           {PanelPostKind::MarkOut, f.sig.mark_out_requests.load()},
                                           {PanelPostKind::OutMove, f.sig.workarea_out_move.load()},
                                           {PanelPostKind::PlayToggle, f.sig.play_toggles.load()}};
  EXPECT_EQ(take_panel_posts(), expected);
  EXPECT_TRUE(take_panel_posts().empty()) << "taken once";
}

// Past its room the queue takes nothing more until it is taken: what it
// holds is the first posts in order, the rest is in the words only.
TEST(ScrubSignalsTest, AFullQueueLeavesTheRestOfTheTurnToTheWords) {
  ScrubSignals& sig = scrub_signals();
  (void)take_panel_posts();
  for (size_t i = 0; i < kPanelPostCapacity + 3; ++i) {
    post_mark_key(i % 2 == 0 ? PanelPostKind::MarkIn : PanelPostKind::MarkOut);
  }
  const uint64_t in_word = sig.mark_in_requests.load();
  post_mark_key(PanelPostKind::MarkOut);  // the kind queued last: not folded into it either
  const std::vector<PanelPost> taken = take_panel_posts();
  ASSERT_EQ(taken.size(), kPanelPostCapacity);
  EXPECT_EQ(taken.front().kind, PanelPostKind::MarkIn);
  EXPECT_EQ(taken.back().kind, PanelPostKind::MarkOut);
  EXPECT_LT(taken[kPanelPostCapacity - 2].word, in_word) << "the posts that found no room are in the words";
  post_scrub_position(10);
  EXPECT_EQ(take_panel_posts(), (std::vector<PanelPost>{{PanelPostKind::ScrubPosition, sig.scrub_position.load()}}))
      << "room again once taken";
}

TEST(ScrubViewTest, PictureDragInsideTheDeadZonePostsNothingButEndsTheScrub) {
  Fixture f(ScrubKind::Picture);
  f.view->mouseDown(Fixture::at(100));
  EXPECT_NE(f.view->scrub_token(), 0u);
  EXPECT_EQ(f.sig.active_scrub.load(), f.view->scrub_token());
  f.view->mouseDragged(Fixture::at(103.9));
  EXPECT_FALSE(f.view->armed());
  f.view->mouseUp(Fixture::at(103.9));
  EXPECT_EQ(f.posts(), 0u);
  EXPECT_EQ(f.ends(), 1u);
  EXPECT_EQ(f.sig.active_scrub.load(), 0u);
  EXPECT_EQ(f.window->firstResponder(), f.view.get());
}

TEST(ScrubViewTest, PictureDragPastTheDeadZoneFollowsTheAbsolutePositionWithoutShift) {
  Fixture f(ScrubKind::Picture);
  f.view->mouseDown(Fixture::at(100));
  f.view->mouseDragged(Fixture::at(150, true));  // Shift changes nothing on a scrub
  EXPECT_TRUE(f.view->armed());
  EXPECT_EQ(f.position(), 750u);
  f.view->mouseUp(Fixture::at(50));
  EXPECT_EQ(f.position(), 250u);
  EXPECT_EQ(f.posts(), 2u);
  EXPECT_EQ(f.ends(), 1u);
}

TEST(ScrubViewTest, EscapeEndsTheScrubAndTheLaterMouseUpPostsNothing) {
  Fixture f(ScrubKind::Picture);
  f.view->mouseDown(Fixture::at(20));
  f.view->mouseDragged(Fixture::at(80));
  const uint64_t posts = f.posts();
  NSEvent esc;
  esc.charactersIgnoringModifiers = "\x1b";
  f.window->sendEvent(NSWindow::EventType::KeyDown, esc);
  EXPECT_EQ(f.view->scrub_token(), 0u);
  EXPECT_EQ(f.ends(), 1u);
  f.view->mouseUp(Fixture::at(120));
  EXPECT_EQ(f.posts(), posts);
  EXPECT_EQ(f.ends(), 1u);
}

TEST(ScrubViewTest, AScrubTakenOverByAnotherViewNeitherPostsNorCountsAnEnd) {
  Fixture f(ScrubKind::Picture);
  auto other = VelocintaScrubView::create(ScrubKind::Picture);
  other->setFrame({0, 200, 100, 50});
  f.window->contentView()->addSubview(other);
  f.view->mouseDown(Fixture::at(20));
  f.view->mouseDragged(Fixture::at(80));
  NSEvent down;
  down.locationInWindow = {50, 220};
  other->mouseDown(down);  // clears the marker: the first scrub counts as ended there
  const uint64_t posts = f.posts(), ends = f.ends();
  f.view->mouseDragged(Fixture::at(150));
  f.view->mouseUp(Fixture::at(150));
  EXPECT_EQ(f.posts(), posts);
  EXPECT_EQ(f.ends(), ends);
  other->end_scrub();
}

struct StripCase {
  const char* name;
  uint64_t in, out;     // marks in thousandths
  double click_x;       // of a 1000-point strip
  DragState expected;
};

TEST(ScrubViewTest, StripClickGrabsTheNearerMarkWithinEightPoints) {
  const StripCase cases[] = {
      {"OUT 5 away, IN 3 away: IN", 500, 508, 503, DragState::InMark},
      {"equal distances: OUT", 496, 504, 500, DragState::OutMark},
      {"8.5 and 9.5 away: scrub", 491, 509, 499.5, DragState::Scrub},
      {"OUT alone within 8: OUT", 100, 900, 893, DragState::OutMark},
  };
  for (const StripCase& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t marks = c.in | (c.out << 16);
    EXPECT_EQ(strip_grab(c.click_x / 1000.0, 1000.0, marks), c.expected);
  }
  EXPECT_EQ(strip_grab(0.5, 0.0, 500 | (500u << 16)), DragState::Scrub);
}

TEST(ScrubViewTest, StripClickAwayFromTheMarksPostsAtOnce) {
  Fixture f(ScrubKind::Strip, 1000.0);
  f.sig.workarea_marks.store(100 | (uint64_t{900} << 16));
  f.view->mouseDown(Fixture::at(500));
  EXPECT_EQ(f.view->drag_state(), DragState::Scrub);
  EXPECT_EQ(f.posts(), 1u);
  EXPECT_EQ(f.position(), 500u);
  f.view->mouseUp(Fixture::at(500));  // the strip posts its final position even unarmed
  EXPECT_EQ(f.posts(), 2u);
  EXPECT_EQ(f.ends(), 1u);
}

TEST(ScrubViewTest, ZeroWidthStripPostsZero) {
  Fixture f(ScrubKind::Strip, 0.0);
  f.view->mouseDown(Fixture::at(0));
  EXPECT_EQ(f.position(), 0u);
  f.view->end_scrub();
}

TEST(ScrubViewTest, MovingAMarkWithShiftIsTenTimesFiner) {
  Fixture f(ScrubKind::Strip, 1000.0);
  f.sig.workarea_marks.store(100 | (uint64_t{500} << 16));
  const uint64_t out0 = f.sig.workarea_out_move.load();
  f.view->mouseDown(Fixture::at(500));
  ASSERT_EQ(f.view->drag_state(), DragState::OutMark);
  f.view->mouseDragged(Fixture::at(900, true));
  EXPECT_EQ(position_of(f.sig.workarea_out_move.load()), 540u);
  f.view->mouseUp(Fixture::at(900, true));
  EXPECT_EQ(position_of(f.sig.workarea_out_move.load()), 540u);
  EXPECT_EQ(sequence_of(f.sig.workarea_out_move.load()) - sequence_of(out0), 2u);
  EXPECT_EQ(f.posts(), 0u);
  EXPECT_EQ(f.ends(), 0u);  // a mark move holds no scrub
}

TEST(ScrubViewTest, KeysMapToInAndOutCaseFolded) {
  struct KeyCase {
    std::optional<std::string> text;
    char expected;
  };
  const KeyCase cases[] = {{"B", 'i'}, {"b", 'i'}, {"i", 'i'}, {"I", 'i'}, {"N", 'o'}, {"o", 'o'},
                           {"bb", 0},  {"\xC3\xA9", 0}, {"x", 0}, {std::nullopt, 0}};
  Fixture f(ScrubKind::Picture);
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.text.value_or("(nil)"));
    EXPECT_EQ(c.text ? mark_key_of(c.text->data(), c.text->size()) : mark_key_of(nullptr, 0), c.expected);
    const uint64_t in0 = f.sig.mark_in_requests.load(), out0 = f.sig.mark_out_requests.load();
    NSEvent e;
    e.charactersIgnoringModifiers = c.text;
    f.view->keyDown(e);
    EXPECT_EQ(f.sig.mark_in_requests.load() - in0, c.expected == 'i' ? 1u : 0u);
    EXPECT_EQ(f.sig.mark_out_requests.load() - out0, c.expected == 'o' ? 1u : 0u);
  }
}

TEST(ScrubViewTest, HidingOrLeavingTheWindowEndsTheScrub) {
  Fixture f(ScrubKind::Picture);
  f.view->mouseDown(Fixture::at(20));
  f.window->contentView()->setHidden(true);
  EXPECT_EQ(f.view->scrub_token(), 0u);
  EXPECT_EQ(f.ends(), 1u);
  f.window->contentView()->setHidden(false);
  f.view->mouseDown(Fixture::at(20));
  f.view->removeFromSuperview();
  EXPECT_EQ(f.view->scrub_token(), 0u);
  EXPECT_EQ(f.ends(), 2u);
}

TEST(ScrubViewTest, AScrubWhoseButtonWentUpIsNoLongerInProgress) {
  Fixture f(ScrubKind::Picture);
  platform::NSEvent::setPressedMouseButtons(1);
  f.view->mouseDown(Fixture::at(20));
  EXPECT_TRUE(scrub_in_progress(true));
  platform::NSEvent::setPressedMouseButtons(0);
  EXPECT_FALSE(scrub_in_progress(false));
  EXPECT_EQ(f.ends(), 1u);
  f.view->mouseUp(Fixture::at(20));  // its token no longer matches: no second end
  EXPECT_EQ(f.ends(), 1u);
}

}  // namespace
}  // namespace vel
