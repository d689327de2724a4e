// PresentJob: what the panel wants the Metal present worker to show, posted
// under one mutex and taken whole by the worker. The worker's reports come
// back through a second mutex; a generation counter makes every result made
// for an older post harmless.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "cache/frame_cache.h"
#include "cache/rgba_frame.h"
#include "panel/present/present_request.h"

namespace vel {

struct PresentJob {
  std::mutex mutex;
  std::condition_variable wake;  // the worker waits on it
  bool woken = false;            // a post since the worker last looked

  PresentRequest request;
  std::optional<std::pair<int64_t, int64_t>> range;
  std::optional<int64_t> seek;
  std::optional<std::chrono::steady_clock::time_point> seek_at;  // when playback was asked from the seek
  std::optional<std::chrono::steady_clock::time_point> stop_at;  // when playback was stopped
  NeighbourList frames = std::make_shared<const std::vector<NeighbourFrame>>();
  double fps = 0.0;
  int64_t count = 0;
  std::optional<RgbaFrame> explicit_frame;
  bool reset = false;
  bool clear = false;
  bool worker_play = false;

  std::atomic<uint64_t> generation{0};
  // Raised with the generation by every stop (a cancel, an emptied job, the
  // end of a playback), not by a seek: a still picture in flight as
  // playback starts from it still lands, nothing drawn before a stop does.
  std::atomic<uint64_t> stops{0};

  std::mutex report_mutex;
  uint64_t report_generation = 0;
  uint64_t report_count = 0;
  int64_t report_index = 0;

  // The screen's gate: the worker's pictures reach the screen only through
  // it, one at a time, each while no stop came since it was drawn, so that
  // once a stop raised the count, nothing drawn before it lands but the one
  // picture that may be going on screen at that instant, which
  // `in_present` names. Only presenting threads take the gate: a stop never
  // waits for a picture to go on screen.
  std::mutex screen_gate;
  uint64_t screen_order = 0;  // under the gate: the order of the last draw put on screen
  // Where each draw stands in the order they are made, whichever presenter
  // of the job makes it.
  std::atomic<uint64_t> draw_orders{0};
  // Under `screen_mutex`, held only to read or write what follows: the
  // worker playback's frame whose picture last reached the screen (its
  // draw ends after the report, by as many draws as the GPU has in
  // flight), and the playback's picture passing the gate now. A frame whose
  // pixels are those of the draw before it is not drawn: it is on screen
  // once that draw is, `screen_draw` naming the draw.
  std::mutex screen_mutex;
  uint64_t screen_generation = 0;
  uint64_t screen_draw = 0;
  std::optional<int64_t> screen_index;
  struct InPresent {
    uint64_t generation = 0, stops = 0;
    int64_t index = 0;
  };
  std::optional<InPresent> in_present;
  std::optional<std::pair<uint64_t, int64_t>> undrawn;  // (draw, the latest frame it shows)

  std::atomic<uint64_t> presented{0};
  std::atomic<uint64_t> missed{0};  // frames the worker's playback let fall due without showing them
  std::atomic<int64_t> view_width{0};
  std::atomic<int64_t> view_height{0};
  std::atomic<uint64_t> pressure_percent{100};
  std::atomic<bool> stop{false};

  // Wakes the worker (call without the mutex).
  void notify();
};

struct PresentPost {
  bool worker_play = false;
  int64_t count = 0;
  std::optional<std::pair<int64_t, int64_t>> range;
  std::optional<int64_t> seek;
  // When playback was asked from the seek: the worker's clock starts then,
  // so that a late start shows as frames missed, not as time lost.
  std::optional<std::chrono::steady_clock::time_point> seek_at;
  // When playback was stopped (a post that ends it): the worker's clock ran
  // until then, however late the worker takes the stop up.
  std::optional<std::chrono::steady_clock::time_point> stop_at;
  NeighbourList frames;
  double fps = 0.0;
};

// Posts to the worker; wakes it unless nothing changed. `request` is the
// present request current now, `pressure` memory_pressure_percent.
void post_present_job(PresentJob& job, PresentPost post, const PresentRequest& request, uint64_t pressure);
// Shows one frame once (the worker takes it).
void post_explicit_frame(PresentJob& job, RgbaFrame frame, const PresentRequest& request);
// Raises the generation and empties the job; the second also asks the view
// to be cleared (teardown, composition change).
void cancel_present_job(PresentJob& job);
void cancel_and_clear_present_job(PresentJob& job);
// Stops the worker.
void stop_present_job(PresentJob& job);

// Ends the worker's playback as a stop the panel took up (`post` with
// `worker_play` off): the generation moves on with it, so that from the
// return on no picture drawn for the playback reaches the screen but the
// one that may be going there at that instant. Answers the frame whose
// picture the playback leaves there, when one of its draws got there or is
// getting there (the frame on screen, for good). Never waits for the
// worker.
std::optional<int64_t> post_playback_stop(PresentJob& job, PresentPost post, const PresentRequest& request,
                                          uint64_t pressure);

// (report count, frame index) when the report was made for the current
// generation.
std::optional<std::pair<uint64_t, int64_t>> read_presenter_result(PresentJob& job);
// The worker's report of the index it presented; false (nothing written)
// when the job stopped or moved to another generation.
bool report_presented_index(PresentJob& job, uint64_t generation, int64_t index);
// The frame index whose picture the screen shows, when a draw of the
// current generation reached it; set from the thread that put it there.
std::optional<int64_t> read_screen_index(PresentJob& job);
// The picture of the worker's draw `draw` (a serial of its own), made for
// frame `index`, reached the screen.
void report_screen_index(PresentJob& job, uint64_t generation, uint64_t draw, int64_t index);
// Puts a picture drawn for `generation` (`stops` the job's count of stops
// then) on screen by calling `show`, under the screen's gate, unless the
// job ended or took a stop since: a picture drawn before a stop is dropped. `playback_draw` (serial,
// frame) names the worker playback's draw it is, then the frame on screen.
// True when shown.
bool show_if_current(PresentJob& job, uint64_t generation, uint64_t stops, uint64_t order,
                     const std::function<void()>& show,
                     std::optional<std::pair<uint64_t, int64_t>> playback_draw);
// The next place in the order the job's draws are made in, taken as a draw
// begins (before its closure, so that no later draw precedes it).
uint64_t take_draw_order(PresentJob& job);
// Frame `index` has the pixels of draw `draw` and is not drawn: it is on
// screen now if that draw is, else once it gets there.
void report_undrawn_index(PresentJob& job, uint64_t generation, uint64_t draw, int64_t index);

}  // namespace vel
