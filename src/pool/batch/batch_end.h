// The end of a batch: what dropping a PoolPlan does before its channels,
// discovery worker and job folder are let go. No aerender process outlives
// the plan that started it.
#pragma once

#include <string>

#include "pool/runtime/pool_runtime.h"

namespace vel {

// Raises the first stop flag, writes the "POOL" report (VELOCINTA_PERF),
// raises the second stop flag, then kills every unfinished job at once and
// raises its cancel flag. Main thread only; never fails.
void drop_pool_plan(PoolPlan& plan, Instant now);

// "POOL optimized=… clients=… … output_format=…" for the plan at `now`.
std::string pool_batch_report(const PoolPlan& plan, bool optimized, Instant now);

}  // namespace vel
