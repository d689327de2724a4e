// ScrubSignals: the process-wide words through which the panel's views and
// controls post requests to the idle hook. Posts happen on the main thread;
// the idle hook reads them there, and `scrub_in_progress` from any thread.
// A position word holds a position in thousandths of a view's width (bits
// 0..15) under a sequence number (bits 16..63), so a reader tells a new post
// from one it already handled.
//
// The words tell what was asked, not in which order: a key and a click made
// between two idle calls would be read in the reader's order. So each post
// of a request (play click, scrub position, mark move, IN/OUT key) is also
// queued, in the order the user made it, with the word as it left it; the
// idle hook takes the queue in order and then whatever the words hold
// beyond it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vel {

inline constexpr uint64_t kPositionMask = 0xFFFF;
inline constexpr unsigned kPositionSeqShift = 16;
inline constexpr uint64_t kPositionSeqStep = uint64_t{1} << kPositionSeqShift;

struct ScrubSignals {
  std::atomic<uint64_t> scrub_tokens{0};
  std::atomic<uint64_t> active_scrub{0};  // token of the scrub in progress; 0 = none
  std::atomic<uint64_t> scrub_ends{0};
  std::atomic<uint64_t> scrub_position{0};
  std::atomic<uint64_t> workarea_out_move{0};
  std::atomic<uint64_t> workarea_in_move{0};
  std::atomic<uint64_t> workarea_marks{0};  // bits 0..15 IN, 16..31 OUT, thousandths of the strip
  std::atomic<uint64_t> mark_in_requests{0};
  std::atomic<uint64_t> mark_out_requests{0};
  std::atomic<uint64_t> play_toggles{0};
};

// Never destroyed: views may post while the process ends.
ScrubSignals& scrub_signals();

enum class PanelPostKind : uint8_t { PlayToggle, ScrubPosition, InMove, OutMove, MarkIn, MarkOut };

// One request as posted: its kind and its word right after the post (a
// position word, or the count with this press or click).
struct PanelPost {
  PanelPostKind kind;
  uint64_t word;
  friend bool operator==(const PanelPost&, const PanelPost&) = default;
};

// How many posts of different kinds in a row the queue holds between two
// takes. A post of the kind of the one queued last replaces it (the words
// keep only the latest position, and a second press of a key or of play
// right after the first counts in the same word), so a drag holds one entry
// however long it is. When a post finds the queue full it goes to its word
// only, and so does every post after it until the next take: the queue is
// then the turn's first posts in order, and the rest is read from the words.
inline constexpr size_t kPanelPostCapacity = 64;

// The requests of the panel, each to its word and to the queue. Main thread.
void post_play_toggle();
void post_scrub_position(uint64_t thousandths);
void post_mark_move(PanelPostKind which, uint64_t thousandths);  // InMove or OutMove
void post_mark_key(PanelPostKind which);                         // MarkIn or MarkOut

// The queued posts, oldest first; the queue is empty and has room again.
std::vector<PanelPost> take_panel_posts();

// Replaces the position bits and raises the sequence by one (release store);
// answers the word stored. Only the main thread posts, so read and store
// need not be one operation.
uint64_t post_position(std::atomic<uint64_t>& word, uint64_t thousandths);

inline uint64_t position_of(uint64_t word) { return word & kPositionMask; }
inline uint64_t sequence_of(uint64_t word) { return word >> kPositionSeqShift; }

// A fresh scrub token, never 0.
uint64_t take_scrub_token(ScrubSignals& s);

// Clears the process-wide scrub marker; counts an end when it held a token.
void clear_active_scrub(ScrubSignals& s);

// Whether a scrub is still held. A scrub whose left button is up, or (on
// the main thread) whose host application lost focus, is ended here.
bool scrub_in_progress(bool on_main_thread);

// The IN and OUT marks as the strip draws them, in thousandths.
void publish_workarea_marks(uint64_t in_thousandths, uint64_t out_thousandths);

}  // namespace vel
