// Weight states and the paced wait for a stable reading.
#include "raroredoziri/WeightState.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "raroredoziri/Scale.h"
#include "raroredoziri/Transport.h"

namespace rd {

const char* WeightStateName(WeightState state) {
  switch (state) {
    case WeightState::kStable:
      return "stable";
    case WeightState::kUnstable:
      return "unstable";
    case WeightState::kZero:
      return "zero";
    case WeightState::kUnderZero:
      return "under_zero";
    case WeightState::kOverCapacity:
      return "over_capacity";
    case WeightState::kNotReady:
      return "not_ready";
    case WeightState::kDisconnected:
      return "disconnected";
    case WeightState::kError:
      return "error";
  }
  return "error";
}

WeightState StateOfReading(std::int32_t result, std::int32_t weight, bool stable,
                           std::optional<std::int64_t> capacity) {
  if (result == kResultNoConnection) return WeightState::kDisconnected;
  if (result != kResultDone) return WeightState::kNotReady;
  if (capacity && weight > *capacity) return WeightState::kOverCapacity;
  if (weight < 0) return WeightState::kUnderZero;
  if (!stable) return WeightState::kUnstable;
  return weight == 0 ? WeightState::kZero : WeightState::kStable;
}

bool GoodForSale(WeightState state, bool allow_zero) {
  return state == WeightState::kStable || (allow_zero && state == WeightState::kZero);
}

StableWait::StableWait(StableRequest request, Pause pause)
    : request_(std::move(request)), pause_(std::move(pause)) {
  if (!pause_) {
    pause_ = [](std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  }
}

StableOutcome StableWait::Run(const Read& read) const {
  const auto limit = static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(request_.timeout.count(), 0, std::int64_t{24} * 3600 * 1000));
  const auto pace =
      static_cast<std::uint32_t>(std::clamp<std::int64_t>(request_.pace.count(), 1, limit + 1));
  const std::uint32_t began = TickCount();
  StableOutcome out;
  while (true) {
    const std::uint32_t asked = TickCount();
    out.last = read();
    ++out.readings;
    out.state =
        StateOfReading(out.last.result, out.last.weight, out.last.stable, request_.capacity);
    if (GoodForSale(out.state, request_.allow_zero)) {
      out.end = StableEnd::kGood;
      return out;
    }
    if (out.state == WeightState::kDisconnected) {
      out.end = StableEnd::kDisconnected;
      return out;
    }
    // Differences modulo 2^32: the tick counter wraps.
    const std::uint32_t now = TickCount();
    const std::uint32_t spent = now - began;
    if (spent >= limit) break;
    const std::uint32_t next = std::min(pace - std::min(pace, now - asked), limit - spent);
    if (next > 0) pause_(next);
    if (TickCount() - began >= limit) break;
  }
  out.end = StableEnd::kDeadline;
  return out;
}

}  // namespace rd
