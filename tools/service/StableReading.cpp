#include "StableReading.h"

namespace rd::service {

WeightState StateOf(const Snapshot& s, const ScaleEntry& scale) {
  switch (s.state) {
    case LinkState::kError:
      return WeightState::kError;
    case LinkState::kDisconnected:
      return WeightState::kDisconnected;
    case LinkState::kConnecting:
      return WeightState::kNotReady;
    case LinkState::kConnected:
      break;
  }
  if (!s.reading) {
    return StateOfReading(s.result == kResultDone ? kResultNoReply : s.result, 0, false);
  }
  return StateOfReading(s.result, s.reading->weight, s.reading->stable, scale.capacity);
}

StableAnswer WaitStable(const ScaleMonitor& monitor, std::chrono::steady_clock::time_point deadline,
                        bool allow_zero) {
  StableAnswer out;
  out.snapshot = monitor.Latest();
  while (true) {
    const WeightState state = StateOf(out.snapshot, monitor.Entry());
    if (GoodForSale(state, allow_zero)) {
      out.end = StableEnd::kGood;
      return out;
    }
    if (state == WeightState::kDisconnected || state == WeightState::kError) {
      out.end = StableEnd::kDisconnected;
      return out;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      out.end = StableEnd::kDeadline;
      return out;
    }
    if (!monitor.WaitNewer(out.snapshot.version, deadline, out.snapshot)) {
      out.end = StableEnd::kDisconnected;  // the service stops
      return out;
    }
  }
}

}  // namespace rd::service
