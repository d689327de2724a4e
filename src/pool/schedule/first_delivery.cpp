#include "pool/schedule/first_delivery.h"

#include <algorithm>
#include <cmath>
#include <compare>

namespace vel {
namespace {

// Larger of two doubles under IEEE total order, so a stray NaN sorts
// consistently instead of poisoning the comparison.
double total_max(double a, double b) { return std::strong_order(a, b) < 0 ? b : a; }

std::optional<double> entry_value(const FirstDeliveryEntry& e) {
  if (e.smoothed_ms && e.pending_lower_bound_ms) return total_max(*e.smoothed_ms, *e.pending_lower_bound_ms);
  if (e.smoothed_ms) return e.smoothed_ms;
  return e.pending_lower_bound_ms;
}

bool same_but_downsample(const StartupContext& a, const StartupContext& b) {
  StartupContext a2 = a;
  a2.file_ds = b.file_ds;
  return a2 == b;
}

}  // namespace

void record_first_delivery_ms(FirstDeliveryHistory& history, const StartupContext& key, bool measured, double ms) {
  const bool usable = std::isfinite(ms) && ms > 0.0;
  FirstDeliveryEntry entry{key, std::nullopt, std::nullopt};
  auto found = std::find_if(history.begin(), history.end(), [&](const FirstDeliveryEntry& e) { return e.key == key; });
  if (found != history.end()) {
    entry = *found;
    history.erase(found);
  } else if (!usable) {
    // An empty entry would only push a real one out of the ring.
    return;
  }
  if (usable) {
    if (!measured) {
      entry.pending_lower_bound_ms = std::max(entry.pending_lower_bound_ms.value_or(0.0), ms);
    } else {
      entry.pending_lower_bound_ms.reset();
      if (!entry.smoothed_ms || ms >= *entry.smoothed_ms) entry.smoothed_ms = ms;
      else entry.smoothed_ms = 0.3 * ms + 0.7 * *entry.smoothed_ms;
    }
  }
  history.push_back(std::move(entry));
  while (history.size() > kFirstDeliveryHistoryMax) history.pop_front();
}

std::optional<double> predicted_batch_secs(const FirstDeliveryHistory& history, const StartupContext& key) {
  std::optional<double> ms;
  auto exact = std::find_if(history.begin(), history.end(), [&](const FirstDeliveryEntry& e) { return e.key == key; });
  if (exact != history.end()) ms = entry_value(*exact);
  if (!ms) {
    for (const FirstDeliveryEntry& e : history) {
      if (!same_but_downsample(e.key, key)) continue;
      if (std::optional<double> v = entry_value(e)) ms = ms ? total_max(*ms, *v) : *v;
    }
  }
  if (!ms) return std::nullopt;
  return *ms / 1000.0;
}

}  // namespace vel
