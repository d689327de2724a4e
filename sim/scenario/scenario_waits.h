// The conditions a scenario event may wait for (`when`), checked once per
// turn of the main loop, before the idle hooks run. Main thread only.
#pragma once

#include <chrono>

#include <cstdint>
#include <string>
#include <utility>

#include "scenario/scenario.h"
#include "simhost/host.h"

namespace sim {

class ScenarioWaits {
 public:
  // `opened_record`: the opener recorder's file ("" with another opener).
  ScenarioWaits(const Host& h, std::string opened_record) : h_(h), opened_record_(std::move(opened_record)) {}

  // A panel input event ran: "picture_presented" now asks for a frame shown
  // after it.
  void note_input();
  // The idle hooks were called once more.
  void note_idle_round() { ++idle_rounds_; }
  // Whether the event's condition holds this turn.
  bool holds(const ScenarioEvent& ev);

  // Frames that reached the panel's picture so far, on any path: the
  // stand-in GPU's drawn, blitted and directly written drawables, and the
  // images set on the picture's image view.
  uint64_t picture_frames() const;

 private:
  bool picture_presented();
  // Whether `file` holds `text` at least `count` times; what was read of it
  // is not read again while the same condition waits.
  bool file_holds(const ScenarioEvent& ev);
  // Moves scanned_to_ past the first line holding the event's `when_after`
  // with a range wide enough; false while there is none yet.
  bool passed_range_line(const ScenarioEvent& ev);

  const Host& h_;
  std::string opened_record_;
  uint64_t frames_at_input_ = 0;
  uint64_t frames_last_turn_ = UINT64_MAX;
  std::string scanned_condition_;  // file and text of the file_text wait being read
  uint64_t scanned_to_ = 0;        // bytes of that file already searched
  uint32_t seen_ = 0;              // matches found in those bytes
  bool after_passed_ = false;      // the wait's range line was found
  const ScenarioEvent* timed_ = nullptr;  // the after_ms event being waited for
  std::chrono::steady_clock::time_point timed_since_;
  uint64_t idle_rounds_ = 0;
  const ScenarioEvent* counted_ = nullptr;  // the idle_rounds event being waited for
  uint64_t counted_since_ = 0;
};

}  // namespace sim
