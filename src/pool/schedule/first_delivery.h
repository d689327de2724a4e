// What the pool has learnt about how long a batch of a given configuration
// takes to deliver its first frame, and the prediction drawn from it for the
// launch's watchdogs and the delivery decision. Main thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "pool/schedule/startup_context.h"

namespace vel {

struct FirstDeliveryEntry {
  StartupContext key;
  std::optional<double> smoothed_ms;
  // The longest a batch of this key ran without any frame before it was
  // abandoned: a floor under the next prediction until a frame arrives.
  std::optional<double> pending_lower_bound_ms;
};

// Most recently touched last.
using FirstDeliveryHistory = std::deque<FirstDeliveryEntry>;
inline constexpr size_t kFirstDeliveryHistoryMax = 32;

// Folds one observation into the history and moves the key's entry to the
// back (dropping the least recently touched beyond 32). `measured`: the first
// frame arrived after `ms`; otherwise the batch is being abandoned without a
// frame after `ms`. A slower measurement is believed at once, a faster one
// moves the smoothed time 30 % of the way down. A sample that is not a
// positive finite number changes no value (and adds no entry for a new key).
void record_first_delivery_ms(FirstDeliveryHistory& history, const StartupContext& key, bool measured, double ms);

// Expected seconds to a batch's first frame: the larger of the smoothed time
// and the pending floor of the first entry with this key; failing that, the
// largest value held by an entry that differs at most in its file
// downsample; none when nothing is known.
std::optional<double> predicted_batch_secs(const FirstDeliveryHistory& history, const StartupContext& key);

}  // namespace vel
