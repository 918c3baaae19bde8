// Weight states of the service's snapshots, and the wait for a stable
// reading (GET /scales/NAME/weight?stable=true). The wait rides on the
// scale's poller: it only looks at the snapshots the poller publishes, so
// any number of waiting clients cost the scale no extra exchange.
#pragma once

#include <chrono>

#include "Options.h"
#include "ScaleMonitor.h"
#include "raroredoziri/WeightState.h"

namespace rd::service {

// The state of a snapshot: error and disconnected from the link, not_ready
// while it is first opened, else that of the reading (capacity from the
// scale's settings).
WeightState StateOf(const Snapshot& snapshot, const ScaleEntry& scale);

struct StableAnswer {
  StableEnd end = StableEnd::kDeadline;
  Snapshot snapshot;  // the good one, or the last one seen
};

// The latest snapshot when it is good for a sale, else the first newer one
// that is; ends early (kDisconnected) when the scale is disconnected or in
// error, or the monitor stops; kDeadline at `deadline`.
StableAnswer WaitStable(const ScaleMonitor& monitor, std::chrono::steady_clock::time_point deadline,
                        bool allow_zero);

}  // namespace rd::service
